#include "persist/wal_reader.h"

#include <algorithm>
#include <array>
#include <vector>

#include "persist/codec.h"
#include "persist/file_io.h"
#include "platform/file.h"

namespace vellum::persist {

namespace {

constexpr size_t kReplayBuffer = 8 * 1024;

// The reasons a record fails its checks. They are shared with the offline reader in
// python/vellum/diskformat.py, which reports the same findings.
constexpr std::string_view kPartialHeader = "partial record header";
constexpr std::string_view kEmptyRecord = "empty record";
constexpr std::string_view kPastEnd = "record runs past the end of the file";
constexpr std::string_view kChecksumMismatch = "checksum mismatch";

// CRC-32 arithmetic on whole checksums. In the reflected representation of the zlib
// polynomial (bit 31 is x^0), crc(A || B) == shift(crc(A), |B|) ^ crc(B), where shift
// multiplies by x^(8|B|) modulo the polynomial. So the checksum of any span follows from
// two prefix checksums in time logarithmic in the span's length, which keeps the search
// for intact records after damage linear in the bytes searched instead of quadratic.
constexpr uint32_t kCrcPoly = 0xEDB88320u;

constexpr uint32_t gf_mul(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if ((a & m) != 0) product ^= b;
    b = (b & 1) != 0 ? (b >> 1) ^ kCrcPoly : b >> 1;
  }
  return product;
}

// x^(2^k) modulo the polynomial, for every k a 64-bit byte count can reach (bit 63 of a
// byte count is bit 66 of the bit count).
constexpr std::array<uint32_t, 67> make_x2n() {
  std::array<uint32_t, 67> t{};
  t[0] = 1u << 30;  // x^1
  for (size_t k = 1; k < t.size(); ++k) t[k] = gf_mul(t[k - 1], t[k - 1]);
  return t;
}

constexpr std::array<uint32_t, 67> kX2n = make_x2n();

// The checksum `crc` of some bytes A, turned into crc(A || B) ^ crc(B) for |B| == n.
uint32_t crc_shift(uint32_t crc, uint64_t n) {
  uint32_t power = 1u << 31;  // x^0
  for (size_t k = 3; n != 0; n >>= 1, ++k) {
    if ((n & 1) != 0) power = gf_mul(kX2n[k], power);
  }
  return gf_mul(power, crc);
}

enum class RecordState : uint8_t { Intact, Malformed, Damaged };

struct Probe {
  RecordState state = RecordState::Damaged;
  uint64_t size = 0;        // header and payload; set unless Damaged
  std::string_view reason;  // set unless Intact
};

// The outcome of a search for the next intact record.
struct Search {
  enum class Outcome : uint8_t { Found, None, GaveUp } outcome = Outcome::None;
  size_t at = 0;  // with Found
};

// The bytes of a segment from its first failing record to its end, held in memory with
// the checksum of every prefix that ends on a multiple of kCheckpoint. Only a segment
// that failed its checks is read this way, and never more of it than the file holds.
class Remainder {
 public:
  static constexpr size_t kCheckpoint = 256;
  // Spans up to this long are hashed directly; longer ones cost about as much through the
  // checkpoints. The offline reader charges its search the same way.
  static constexpr uint64_t kLongSpanCharge = 4096;

  explicit Remainder(std::string bytes) : bytes_(std::move(bytes)) {
    checkpoints_.reserve(bytes_.size() / kCheckpoint + 1);
    Crc32 running;
    checkpoints_.push_back(running.value());
    for (size_t at = kCheckpoint; at <= bytes_.size(); at += kCheckpoint) {
      running.update(bytes_.data() + at - kCheckpoint, kCheckpoint);
      checkpoints_.push_back(running.value());
    }
  }

  size_t size() const { return bytes_.size(); }

  bool all_zero() const {
    return std::all_of(bytes_.begin(), bytes_.end(), [](char c) { return c == 0; });
  }

  // The state of the record that would start at `at`; its checksum is computed directly.
  Probe probe(size_t at) const {
    const size_t left = bytes_.size() - at;
    if (left < kWalHeaderSize) return Probe{RecordState::Damaged, 0, kPartialHeader};
    const uint64_t len = load_u32(bytes_.data() + at);
    if (len == 0) return Probe{RecordState::Damaged, 0, kEmptyRecord};
    if (len > left - kWalHeaderSize) return Probe{RecordState::Damaged, 0, kPastEnd};
    BytesView payload(bytes_.data() + at + kWalHeaderSize, static_cast<size_t>(len));
    if (crc32(payload) != load_u32(bytes_.data() + at + 4)) {
      return Probe{RecordState::Damaged, 0, kChecksumMismatch};
    }
    auto rec = decode_wal_payload(payload);
    if (!rec) return Probe{RecordState::Malformed, kWalHeaderSize + len, rec.error()};
    return Probe{RecordState::Intact, kWalHeaderSize + len, {}};
  }

  // The first offset at or after `from` where an intact record starts. Checking a
  // candidate (a length that fits and a known operation byte) is charged to `budget` as
  // its length, or as kLongSpanCharge for a longer one, whose checksum comes from the
  // checkpoints; the search gives up when a charge no longer fits.
  Search next_intact(size_t from, uint64_t& budget) const {
    const size_t n = bytes_.size();
    const char* b = bytes_.data();
    for (size_t q = from; n >= kWalHeaderSize + 1 && q <= n - kWalHeaderSize - 1; ++q) {
      const uint64_t len = load_u32(b + q);
      if (len == 0 || len > n - q - kWalHeaderSize) continue;
      const auto op = static_cast<uint8_t>(b[q + kWalHeaderSize]);
      if (!wal_op_known(op)) continue;
      const uint64_t charge = std::min<uint64_t>(len, kLongSpanCharge);
      if (charge > budget) return Search{Search::Outcome::GaveUp, q};
      budget -= charge;
      const size_t start = q + kWalHeaderSize;
      const size_t end = start + static_cast<size_t>(len);
      if (span_crc(start, end) != load_u32(b + q + 4)) continue;
      if (decode_wal_payload(BytesView(b + start, end - start))) return Search{Search::Outcome::Found, q};
    }
    return Search{};
  }

 private:
  uint32_t prefix_crc(size_t end) const {
    const size_t c = end / kCheckpoint;
    const size_t base = c * kCheckpoint;
    return crc_shift(checkpoints_[c], end - base) ^ crc32(BytesView(bytes_.data() + base, end - base));
  }

  uint32_t span_crc(size_t start, size_t end) const {
    if (end - start <= kLongSpanCharge) return crc32(BytesView(bytes_.data() + start, end - start));
    return prefix_crc(end) ^ crc_shift(prefix_crc(start), end - start);
  }

  std::string bytes_;
  std::vector<uint32_t> checkpoints_;  // [i] is the checksum of the first i*kCheckpoint bytes
};

// What follows a failing record: the intact records after it, found by walking records
// and searching past every further failure.
struct Followers {
  uint64_t intact = 0;
  bool gave_up = false;  // the search budget ran out; more intact records may follow
};

Followers count_followers(const Remainder& rest) {
  // The search may hash 16 times what it searches, plus 64 MiB: linear in the remainder,
  // and far more than any damaged region that is not built to defeat it needs.
  uint64_t budget = (uint64_t{64} << 20) + 16 * static_cast<uint64_t>(rest.size());
  Followers out;
  auto found = rest.next_intact(1, budget);
  size_t at = found.at;
  while (found.outcome == Search::Outcome::Found && at < rest.size()) {
    Probe p = rest.probe(at);
    if (p.state == RecordState::Intact) ++out.intact;
    if (p.state != RecordState::Damaged) {
      at += static_cast<size_t>(p.size);
      continue;
    }
    found = rest.next_intact(at + 1, budget);
    at = found.at;
  }
  out.gave_up = found.outcome == Search::Outcome::GaveUp;
  return out;
}

IoError damaged_error(const std::string& dir, const Segment& segment, uint64_t at, std::string_view reason,
                      const Followers& f) {
  std::string follow;
  if (f.gave_up && f.intact == 0) {
    follow = "intact records may follow it (the search for them gave up)";
  } else {
    follow = std::string(f.gave_up ? "at least " : "") + std::to_string(f.intact) +
             (f.intact == 1 ? " intact record follows it" : " intact records follow it");
  }
  return IoError::invalid_data("WAL segment " + segment.name + " is damaged at byte " + std::to_string(at) + " (" +
                               std::string(reason) + "), and " + follow +
                               ", so it is not a torn tail; the file was left unchanged. Run `vellum check --repair " +
                               shell_word(dir) + "` to set the damaged bytes aside");
}

IoError malformed_error(const std::string& dir, const Segment& segment, uint64_t at, std::string_view reason) {
  return IoError::invalid_data("WAL record malformed: " + std::string(reason) + ", in " + segment.name +
                               " at byte " + std::to_string(at) +
                               "; the file was left unchanged. Inspect it with `vellum check " + shell_word(dir) +
                               "`, which sets the record aside with --repair");
}

// The bytes of `path` from `from` to `size`.
IoResult<std::string> read_tail(const std::string& path, uint64_t from, uint64_t size) {
  auto f = File::open(path, OpenMode::Read);
  if (!f) return io_err(f.take_error());
  BufferedReader in(f.value(), size, kReplayBuffer);
  std::string skip(kReplayBuffer, '\0');
  for (uint64_t left = from; left != 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, skip.size()));
    if (auto r = in.read_exact(skip.data(), n); !r) return io_err(r.take_error());
    left -= n;
  }
  std::string out(static_cast<size_t>(size - from), '\0');
  if (auto r = in.read_exact(out.data(), out.size()); !r) return io_err(r.take_error());
  return out;
}

}  // namespace

std::string shell_word(const std::string& dir) {
  const bool plain = !dir.empty() && std::all_of(dir.begin(), dir.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/._-+:,@%=").find(c) != std::string_view::npos;
  });
  if (plain) return dir;
  std::string out = "'";
  for (char c : dir) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

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
  uint64_t fault_at = 0;
  uint64_t size = 0;
  std::string_view reason;  // empty while every record passed
  {
    auto f = File::open(path, OpenMode::Read);
    if (!f) return io_err(f.take_error());
    auto s = f.value().size();
    if (!s) return io_err(s.take_error());
    size = s.value();
    BufferedReader in(f.value(), size, kReplayBuffer);
    std::string payload;
    uint64_t pos = 0;
    while (pos != size) {
      char header[kWalHeaderSize];
      if (size - pos < kWalHeaderSize) {
        reason = kPartialHeader;
        break;
      }
      auto h = in.read_exact(header, kWalHeaderSize);
      if (!h) {
        // A file that shrank under us is a torn tail; a failing device is not, and
        // cutting the file on its account would destroy records that may be intact.
        if (h.error().kind != IoErrorKind::UnexpectedEof) return io_err(h.take_error());
        reason = kPartialHeader;
        break;
      }
      const uint64_t len = load_u32(header);
      const uint32_t crc = load_u32(header + 4);
      if (len == 0) {
        // The writer never writes an empty payload (every payload starts with its
        // operation), and a zero-filled tail starts this way.
        reason = kEmptyRecord;
        break;
      }
      if (pos + kWalHeaderSize + len > size) {
        reason = kPastEnd;
        break;
      }
      payload.resize(static_cast<size_t>(len));
      auto p = in.read_exact(payload.data(), payload.size());
      if (!p) {
        if (p.error().kind != IoErrorKind::UnexpectedEof) return io_err(p.take_error());
        reason = kPastEnd;
        break;
      }
      if (crc32(payload) != crc) {
        reason = kChecksumMismatch;
        break;
      }
      auto rec = decode_wal_payload(payload);
      // A record with a valid checksum was written whole, so failing to decode it is not
      // the mark of an interrupted write: it is refused wherever it stands.
      if (!rec) return io_err(malformed_error(dir, segment, pos, rec.error()));
      apply(rec.value());
      pos += kWalHeaderSize + len;
    }
    fault_at = pos;
  }  // the reader is closed before the file is reopened for the repair
  if (reason.empty()) return std::optional<std::string>{};

  // A failing record is a torn tail only when nothing intact follows it. Otherwise the
  // damage is in the middle of the log, and cutting there would destroy the records after
  // it: the open is refused and the file kept as it is.
  auto tail = read_tail(path, fault_at, size);
  if (!tail) return io_err(tail.take_error());
  Remainder rest(std::move(tail.value()));
  if (!rest.all_zero()) {
    Followers f = count_followers(rest);
    if (f.intact != 0 || f.gave_up) return io_err(damaged_error(dir, segment, fault_at, reason, f));
  }

  auto w = File::open(path, OpenMode::Write);
  if (!w) return io_err(w.take_error());
  if (auto r = w.value().set_len(fault_at); !r) return io_err(r.take_error());
  if (auto r = w.value().sync(); !r) return io_err(r.take_error());
  return std::optional<std::string>("truncated torn WAL tail in " + segment.name + " at byte " +
                                    std::to_string(fault_at));
}

}  // namespace vellum::persist
