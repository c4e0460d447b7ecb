// Fuzzes the RESP2 request reader. On every input it checks that
//   - the look-ahead (buffered_request_complete) answers yes exactly when the blocking
//     read finishes a request or a protocol error from the buffered bytes alone;
//   - the sequence of outcomes does not depend on how the stream is cut into reads;
//   - every parsed request survives a round trip through the multibulk encoding.
// Crashes, sanitizer reports and oversized allocations (-malloc_limit_mb) are failures.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/resp.h"

namespace {

using vellum::IoResult;
using namespace vellum::server;

// Hands out `data` in pieces whose sizes follow `seed`, then reports the end.
class PieceSource final : public ByteSource {
 public:
  PieceSource(std::string data, uint32_t seed) : data_(std::move(data)), state_(seed | 1) {}
  IoResult<size_t> read(char* buf, size_t cap) override {
    if (pos_ == data_.size()) return size_t{0};
    size_t n = cap;
    if (state_ != 1) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 17;
      state_ ^= state_ << 5;
      n = std::min<size_t>(cap, 1 + state_ % 64);
    }
    n = std::min(n, data_.size() - pos_);
    data_.copy(buf, n, pos_);
    pos_ += n;
    return n;
  }

 private:
  std::string data_;
  size_t pos_ = 0;
  uint32_t state_;
};

void check(bool ok) {
  if (!ok) std::abort();
}

std::vector<ReadOutcome> read_all(ByteSource& src) {
  RequestReader reader(src);
  std::vector<ReadOutcome> out;
  for (;;) {
    out.push_back(reader.read_request());
    if (!std::holds_alternative<Request>(out.back())) return out;
  }
}

std::string as_multibulk(const Request& req) {
  std::string out = "*" + std::to_string(req.size()) + "\r\n";
  for (const auto& a : req) out += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Look-ahead agreement. The leading blank line is an empty request whose read loads the
  // whole input into the buffer; after that the source is exhausted, so the blocking read
  // can only finish what the buffered bytes hold.
  if (input.size() < kBufferBytes) {
    PieceSource src("\n" + input, 1);
    RequestReader reader(src);
    check(reader.read_request() == ReadOutcome(Request{}));
    for (;;) {
      const size_t before = reader.buffered_bytes();
      const bool complete = reader.buffered_request_complete();
      check(reader.buffered_bytes() == before);
      ReadOutcome got = reader.read_request();
      check(complete == !std::holds_alternative<EndOfStream>(got));
      if (!std::holds_alternative<Request>(got)) break;
    }
  }

  // Chunking independence and round trips.
  PieceSource whole(input, 1);
  std::vector<ReadOutcome> expected = read_all(whole);
  const uint32_t seed = size >= 4 ? static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24) : 7;
  PieceSource pieces(input, seed == 1 ? 3 : seed);
  check(read_all(pieces) == expected);
  for (const ReadOutcome& o : expected) {
    const Request* req = std::get_if<Request>(&o);
    if (req == nullptr || req->empty()) continue;
    PieceSource again(as_multibulk(*req), 1);
    RequestReader reader(again);
    check(reader.read_request() == ReadOutcome(*req));
  }
  return 0;
}
