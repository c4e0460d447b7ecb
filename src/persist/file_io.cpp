#include "persist/file_io.h"

#include <algorithm>
#include <cstring>

namespace vellum::persist {

BufferedReader::BufferedReader(File& file, uint64_t limit, size_t capacity)
    : file_(file), limit_(limit), buf_(capacity, '\0') {}

IoResult<bool> BufferedReader::fill() {
  uint64_t want = std::min<uint64_t>(buf_.size(), limit_ - fetched_);
  if (want == 0) return false;
  auto r = file_.read(buf_.data(), static_cast<size_t>(want));
  if (!r) return io_err(r.take_error());
  if (r.value() == 0) return false;
  begin_ = 0;
  end_ = r.value();
  fetched_ += r.value();
  return true;
}

IoResult<void> BufferedReader::read_exact(char* out, size_t n) {
  if (n > remaining()) return io_err(IoError::unexpected_eof());
  while (n > 0) {
    if (begin_ == end_) {
      auto more = fill();
      if (!more) return io_err(more.take_error());
      if (!more.value()) return io_err(IoError::unexpected_eof());
    }
    size_t take = std::min(n, end_ - begin_);
    std::memcpy(out, buf_.data() + begin_, take);
    begin_ += take;
    consumed_ += take;
    out += take;
    n -= take;
  }
  return {};
}

IoResult<uint8_t> BufferedReader::read_u8() {
  char c = 0;
  auto r = read_exact(&c, 1);
  if (!r) return io_err(r.take_error());
  return static_cast<uint8_t>(c);
}

IoResult<Bytes> BufferedReader::read_bytes(uint64_t n) {
  if (n > remaining()) return io_err(IoError::unexpected_eof());
  Bytes out(static_cast<size_t>(n), '\0');
  auto r = read_exact(out.data(), out.size());
  if (!r) return io_err(r.take_error());
  return out;
}

BufferedWriter::BufferedWriter(File& file, size_t capacity) : file_(file), capacity_(capacity) {
  buf_.reserve(capacity);
}

IoResult<void> BufferedWriter::write(BytesView data) {
  written_ += data.size();
  if (buf_.size() + data.size() <= capacity_) {
    buf_.append(data);
    return {};
  }
  auto f = flush();
  if (!f) return f;
  if (data.size() >= capacity_) {
    crc_.update(data);
    return file_.write_all(data);
  }
  buf_.append(data);
  return {};
}

IoResult<void> BufferedWriter::flush() {
  if (buf_.empty()) return {};
  crc_.update(buf_);
  auto r = file_.write_all(buf_);
  buf_.clear();
  return r;
}

uint32_t BufferedWriter::crc() const {
  Crc32 c = crc_;
  c.update(buf_);
  return c.value();
}

}  // namespace vellum::persist
