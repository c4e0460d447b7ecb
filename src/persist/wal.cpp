#include "persist/wal.h"

#include <algorithm>
#include <charconv>

#include "persist/codec.h"
#include "persist/file_io.h"

namespace vellum::persist {

namespace {

constexpr std::string_view kSegmentPrefix = "wal-";
constexpr std::string_view kSegmentSuffix = ".log";
constexpr size_t kReplayBuffer = 8 * 1024;
// An encode buffer grown past this by one large record is released after it, so a single
// huge value does not pin its size for the life of the store.
constexpr size_t kKeepBuffer = 1 << 20;

bool has_list(WalOp op) {
  return op == WalOp::HDel || op == WalOp::LPush || op == WalOp::RPush || op == WalOp::SAdd ||
         op == WalOp::SRem;
}

Err<std::string_view> malformed(std::string_view reason) { return Err<std::string_view>{reason}; }

}  // namespace

std::string segment_name(uint64_t n) {
  return std::string(kSegmentPrefix) + std::to_string(n) + std::string(kSegmentSuffix);
}

std::optional<uint64_t> parse_segment_name(std::string_view name) {
  if (name.size() < kSegmentPrefix.size() + kSegmentSuffix.size() + 1) return std::nullopt;
  if (!name.starts_with(kSegmentPrefix) || !name.ends_with(kSegmentSuffix)) return std::nullopt;
  std::string_view digits =
      name.substr(kSegmentPrefix.size(), name.size() - kSegmentPrefix.size() - kSegmentSuffix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return n;
}

void encode_wal_payload(const WalRecord& r, std::string& out) {
  put_u8(out, static_cast<uint8_t>(r.op));
  switch (r.op) {
    case WalOp::Set:
      put_u64(out, r.expires_at_ms);
      put_bytes(out, r.key);
      out.append(r.value);
      break;
    case WalOp::ExpireAt:
      put_u64(out, r.expires_at_ms);
      put_bytes(out, r.key);
      break;
    case WalOp::HSet:
      put_bytes(out, r.key);
      put_bytes(out, r.field);
      out.append(r.value);
      break;
    case WalOp::HDel:
    case WalOp::LPush:
    case WalOp::RPush:
    case WalOp::SAdd:
    case WalOp::SRem:
      put_bytes(out, r.key);
      put_varint(out, r.items.size());
      for (const Bytes& item : r.items) put_bytes(out, item);
      break;
    case WalOp::Del:
    case WalOp::LPop:
    case WalOp::RPop:
      put_bytes(out, r.key);
      break;
    case WalOp::FlushAll:
      break;
  }
}

Result<DecodedWalRecord, std::string_view> decode_wal_payload(BytesView payload) {
  Cursor c(payload);
  uint8_t code = 0;
  if (!c.get_u8(code)) return malformed(kMalformedTruncated);
  if (code == 0 || code > kWalOpMax) return malformed(kMalformedUnknownOp);
  DecodedWalRecord rec;
  rec.op = static_cast<WalOp>(code);
  // Every varint problem inside a payload (cut short or over 10 bytes) reads as truncated.
  auto bytes = [&c](BytesView& out) { return c.get_bytes(out) == DecodeStatus::Ok; };
  switch (rec.op) {
    case WalOp::Set:
      if (!c.get_u64(rec.expires_at_ms) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      rec.value = c.rest();
      break;
    case WalOp::ExpireAt:
      if (!c.get_u64(rec.expires_at_ms) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      break;
    case WalOp::HSet:
      if (!bytes(rec.key) || !bytes(rec.field)) return malformed(kMalformedTruncated);
      rec.value = c.rest();
      break;
    case WalOp::Del:
    case WalOp::LPop:
    case WalOp::RPop:
      if (!bytes(rec.key)) return malformed(kMalformedTruncated);
      break;
    case WalOp::FlushAll:
      break;
    default: {
      if (!has_list(rec.op) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      uint64_t count = 0;
      if (c.get_varint(count) != DecodeStatus::Ok) return malformed(kMalformedTruncated);
      // Each item takes at least its one-byte length, so this bounds the reservation by
      // the payload rather than by the count the payload claims.
      rec.items.reserve(static_cast<size_t>(std::min<uint64_t>(count, c.remaining())));
      for (uint64_t i = 0; i < count; ++i) {
        BytesView item;
        if (!bytes(item)) return malformed(kMalformedTruncated);
        rec.items.emplace_back(item);
      }
      break;
    }
  }
  return rec;
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

void apply_wal_record(Store& store, const DecodedWalRecord& r) {
  switch (r.op) {
    case WalOp::Set:
      (void)store.restore_string(r.key, r.value, r.expires_at_ms);
      break;
    case WalOp::Del: {
      Bytes key(r.key);
      (void)store.del(std::span<const Bytes>(&key, 1));
      break;
    }
    case WalOp::ExpireAt:
      (void)store.expire_at(r.key, r.expires_at_ms);
      break;
    case WalOp::HSet:
      (void)store.hset(r.key, r.field, r.value);
      break;
    case WalOp::HDel:
      (void)store.hdel(r.key, r.items);
      break;
    case WalOp::LPush:
      (void)store.lpush(r.key, r.items);
      break;
    case WalOp::RPush:
      (void)store.rpush(r.key, r.items);
      break;
    case WalOp::LPop:
      (void)store.lpop(r.key);
      break;
    case WalOp::RPop:
      (void)store.rpop(r.key);
      break;
    case WalOp::SAdd:
      (void)store.sadd(r.key, r.items);
      break;
    case WalOp::SRem:
      (void)store.srem(r.key, r.items);
      break;
    case WalOp::FlushAll:
      store.flush();
      break;
  }
}

WalWriter::WalWriter(std::string dir, Segment segment, File file, uint64_t len, FsyncPolicy policy)
    : dir_(std::move(dir)),
      segment_(std::move(segment)),
      file_(std::move(file)),
      len_(len),
      policy_(policy),
      open_(true) {}

IoResult<void> WalWriter::append(const WalRecord& record) {
  buf_.clear();
  buf_.append(kWalHeaderSize, '\0');
  encode_wal_payload(record, buf_);
  const uint64_t payload_len = buf_.size() - kWalHeaderSize;
  if (payload_len > kWalMaxPayload) {
    buf_.clear();
    buf_.shrink_to_fit();
    return io_err(IoError::invalid_input("WAL record over 4 GiB"));
  }
  store_u32(buf_.data(), static_cast<uint32_t>(payload_len));
  store_u32(buf_.data() + 4, crc32(BytesView(buf_).substr(kWalHeaderSize)));
  auto w = file_.write_all(buf_);
  const uint64_t record_len = buf_.size();
  if (buf_.capacity() > kKeepBuffer) {
    buf_.clear();
    buf_.shrink_to_fit();
  }
  if (!w) {
    // Cut off whatever part of the record reached the file, so the segment ends on a
    // whole record again. The segment is in append mode, so the next record lands at
    // len_ even if this cut fails; replay then treats the fragment as a torn tail.
    (void)file_.set_len(len_);
    return w;
  }
  len_ += record_len;
  switch (policy_) {
    case FsyncPolicy::Always:
      return file_.sync_data();
    case FsyncPolicy::EverySec:
      dirty_ = true;
      break;
    case FsyncPolicy::Never:
      break;
  }
  return {};
}

IoResult<void> WalWriter::flush_if_dirty() {
  if (!dirty_) return {};
  if (!open_) {
    dirty_ = false;
    return {};
  }
  auto r = file_.sync_data();
  if (r) dirty_ = false;
  return r;
}

IoResult<void> WalWriter::rotate() {
  if (!open_) return io_err(IoError::invalid_input("store is closed"));
  if (auto r = file_.sync_data(); !r) return r;
  dirty_ = false;
  Segment next{segment_.n + 1, segment_name(segment_.n + 1)};
  auto f = File::open(join_path(dir_, next.name), OpenMode::Append);
  if (!f) return io_err(f.take_error());
  // The snapshot about to be written names this segment as the first it does not cover;
  // its directory entry must be durable before that snapshot can be.
  if (auto r = sync_dir(dir_); !r) return r;
  auto size = f.value().size();
  if (!size) return io_err(size.take_error());
  file_ = std::move(f.value());
  segment_ = std::move(next);
  len_ = size.value();
  return {};
}

IoResult<void> WalWriter::close() {
  IoResult<void> result;
  if (dirty_ && open_) result = file_.sync_data();
  dirty_ = false;
  if (open_) {
    file_.close();
    open_ = false;
  }
  return result;
}

}  // namespace vellum::persist
