#include "persist/wal_reader.h"

#include <algorithm>

#include "persist/codec.h"
#include "persist/file_io.h"
#include "platform/file.h"

namespace vellum::persist {

namespace {

constexpr size_t kReplayBuffer = 8 * 1024;

}  // namespace

IoResult<std::vector<Segment>> list_segments(const std::string& dir) {
  auto names = list_dir(dir);
  if (!names) return io_err(names.take_error());
  std::vector<Segment> out;
  for (std::string& name : names.value()) {
    if (auto n = parse_segment_name(name)) out.push_back(Segment{*n, std::move(name)});
  }
  std::sort(out.begin(), out.end(), [](const Segment& a, const Segment& b) {
    return a.n != b.n ? a.n < b.n : a.name < b.name;
  });
  return out;
}

IoResult<std::optional<std::string>> replay_segment(
    const std::string& dir, const Segment& segment,
    const std::function<void(const DecodedWalRecord&)>& apply) {
  std::string path = join_path(dir, segment.name);
  uint64_t torn_at = 0;
  bool torn = false;
  {
    auto f = File::open(path, OpenMode::Read);
    if (!f) return io_err(f.take_error());
    auto size = f.value().size();
    if (!size) return io_err(size.take_error());
    const uint64_t s = size.value();
    BufferedReader in(f.value(), s, kReplayBuffer);
    std::string payload;
    uint64_t pos = 0;
    while (pos != s) {
      char header[kWalHeaderSize];
      if (s - pos < kWalHeaderSize) {
        torn = true;
        break;
      }
      auto h = in.read_exact(header, kWalHeaderSize);
      if (!h) {
        // A file that shrank under us is a torn tail; a failing device is not, and
        // cutting the file on its account would destroy records that may be intact.
        if (h.error().kind != IoErrorKind::UnexpectedEof) return io_err(h.take_error());
        torn = true;
        break;
      }
      const uint64_t len = load_u32(header);
      const uint32_t crc = load_u32(header + 4);
      if (pos + kWalHeaderSize + len > s) {
        torn = true;
        break;
      }
      payload.resize(static_cast<size_t>(len));
      auto p = in.read_exact(payload.data(), payload.size());
      if (!p) {
        if (p.error().kind != IoErrorKind::UnexpectedEof) return io_err(p.take_error());
        torn = true;
        break;
      }
      if (crc32(payload) != crc) {
        torn = true;
        break;
      }
      auto rec = decode_wal_payload(payload);
      if (!rec) {
        return io_err(IoError::invalid_data("WAL record malformed: " + std::string(rec.error())));
      }
      apply(rec.value());
      pos += kWalHeaderSize + len;
    }
    torn_at = pos;
  }  // the reader is closed before the file is reopened for the repair
  if (!torn) return std::optional<std::string>{};

  auto w = File::open(path, OpenMode::Write);
  if (!w) return io_err(w.take_error());
  if (auto r = w.value().set_len(torn_at); !r) return io_err(r.take_error());
  if (auto r = w.value().sync(); !r) return io_err(r.take_error());
  return std::optional<std::string>("truncated torn WAL tail in " + segment.name + " at byte " +
                                    std::to_string(torn_at));
}

}  // namespace vellum::persist
