#include "persist/wal_writer.h"

#include "persist/codec.h"

namespace vellum::persist {

namespace {

// An encode buffer grown past this by one large record is released after it, so a single
// huge value does not pin its size for the life of the store.
constexpr size_t kKeepBuffer = 1 << 20;

}  // namespace

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
    // whole record again. If the cut fails the fragment stays; the owner appends nothing
    // after a failure, so replay meets it as a torn tail.
    uncut_ = true;
    (void)retry_cut();
    return w;
  }
  switch (policy_) {
    case FsyncPolicy::Always:
      if (auto r = file_.sync_data(); !r) {
        // The cut is synced too where the device still allows, so a crash of the machine
        // does not bring the record back; where it does not, the next save supersedes it.
        uncut_ = true;
        if (retry_cut()) (void)file_.sync_data();
        return r;
      }
      len_ += record_len;
      break;
    case FsyncPolicy::EverySec:
      len_ += record_len;
      dirty_ = true;
      break;
    case FsyncPolicy::Never:
      len_ += record_len;
      break;
  }
  return {};
}

bool WalWriter::retry_cut() {
  if (uncut_ && open_ && file_.set_len(len_)) uncut_ = false;
  return !uncut_;
}

IoResult<void> WalWriter::sync() {
  if (!open_) return io_err(IoError::invalid_input("store is closed"));
  auto r = file_.sync_data();
  if (r) dirty_ = false;
  return r;
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
  dirty_ = false;
  uncut_ = false;
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
