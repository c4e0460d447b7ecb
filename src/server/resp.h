#pragma once
// The RESP2 codec of one connection: RequestReader turns the bytes a client sends into
// Requests, ReplyWriter turns Replies into wire bytes. Each instance belongs to one
// connection thread and is not thread-safe. Both work over small byte-source and
// byte-sink interfaces, so the codec is tested and fuzzed without sockets.
//
// Requests come in two forms, chosen by their first byte: '*' starts the multibulk form
// (an array of bulk strings, what client libraries send); anything else is an inline line
// split into words. Limits, enforced before any allocation they would size:
//   - a line (multibulk header, bulk header or inline request) holds at most
//     kMaxLineBytes bytes counting its LF;
//   - a multibulk count is at most kMaxMultibulkCount, and at most kMaxReservedArgs slots
//     are reserved before the elements arrive;
//   - a bulk length is at most kMaxBulkLength; its buffer is sized when the first payload
//     bytes arrive, to at most kMaxReservedPayload bytes, and at most doubles as more
//     arrive, never past the announced length.
// So a client that announces the largest sizes and then sends nothing costs no large
// allocation. A reader may be given tighter RequestLimits (a connection that has not
// authenticated) and a RequestBudget shared by every connection of a server: the buffers
// of a request (its argument slots, its payloads, a line gathered across reads) grow only
// as bytes arrive, and each growth is charged to the budget before it is allocated.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/bytes.h"
#include "platform/io_error.h"

namespace vellum::server {

inline constexpr size_t kBufferBytes = 8192;
inline constexpr size_t kMaxLineBytes = 65538;
inline constexpr int64_t kMaxMultibulkCount = 1048576;
inline constexpr int64_t kMaxBulkLength = 536870912;
inline constexpr size_t kMaxReservedArgs = 1024;
inline constexpr size_t kMaxReservedPayload = 65536;

// Argument 0 is the command name exactly as sent. An empty Request is valid and gets no
// reply.
using Request = std::vector<Bytes>;

struct EndOfStream {
  bool operator==(const EndOfStream&) const = default;
};

// A malformed request; `message` is one of the fixed texts below. The connection answers
// "ERR Protocol error: {message}" and closes.
struct ProtocolError {
  std::string_view message;
  bool operator==(const ProtocolError&) const = default;
};

inline constexpr std::string_view kTooBigLine = "too big line in request";
inline constexpr std::string_view kInvalidMultibulkLength = "invalid multibulk length";
inline constexpr std::string_view kExpectedBulkHeader = "expected '$' bulk string header";
inline constexpr std::string_view kInvalidBulkLength = "invalid bulk length";
inline constexpr std::string_view kBulkNotTerminated = "bulk string not terminated by CRLF";
inline constexpr std::string_view kUnbalancedQuotes = "unbalanced quotes in request";

// The request needed more buffer than the reader's budget had left. What it held so far
// is freed; the connection answers with an error and closes, since the rest of the
// request is never read.
struct OverBudget {
  bool operator==(const OverBudget&) const = default;
};

using ReadOutcome = std::variant<Request, EndOfStream, ProtocolError, OverBudget>;

// Bounds on one request, checked as its headers arrive, before anything they would size
// is allocated. Limits tighter than the protocol's own maxima answer a request that
// crosses them with ProtocolError{exceeded}.
struct RequestLimits {
  int64_t max_args = kMaxMultibulkCount;  // arguments, counting the command name
  int64_t max_bulk = kMaxBulkLength;      // bytes of one bulk string
  size_t max_line = kMaxLineBytes;        // bytes of one line, counting its LF
  std::string_view exceeded = {};
};

inline constexpr RequestLimits kProtocolLimits{};

// The bytes held in partly read requests by every reader that shares it, against one
// ceiling. Thread-safe; a reader charges it as its buffers grow and releases the charge
// once its request is done with.
class RequestBudget {
 public:
  explicit RequestBudget(uint64_t limit) : limit_(limit) {}
  RequestBudget(const RequestBudget&) = delete;
  RequestBudget& operator=(const RequestBudget&) = delete;

  // Takes `n` bytes unless that would put the total past the ceiling.
  bool try_reserve(uint64_t n);
  // Takes `n` bytes even past the ceiling: bytes an allocation already rounded up to.
  void add(uint64_t n) { held_.fetch_add(n, std::memory_order_relaxed); }
  void release(uint64_t n) { held_.fetch_sub(n, std::memory_order_relaxed); }
  uint64_t held() const { return held_.load(std::memory_order_relaxed); }
  uint64_t limit() const { return limit_; }

 private:
  const uint64_t limit_;
  std::atomic<uint64_t> held_{0};
};

// The reply to a request refused because the budget had no room for it.
inline constexpr std::string_view kOverBudgetReply = "OOM request exceeds the server's request memory budget";

// Bytes one owner holds against a RequestBudget beyond the request being read (the
// requests a transaction queued), given back all at once by reset() or when the owner is
// destroyed. Without a budget every charge is taken and only counted.
class BudgetCharge {
 public:
  BudgetCharge() = default;
  ~BudgetCharge() { reset(); }
  BudgetCharge(BudgetCharge&& other) noexcept
      : budget_(std::exchange(other.budget_, nullptr)), held_(std::exchange(other.held_, 0)) {}
  BudgetCharge& operator=(BudgetCharge&& other) noexcept {
    if (this != &other) {
      reset();
      budget_ = std::exchange(other.budget_, nullptr);
      held_ = std::exchange(other.held_, 0);
    }
    return *this;
  }
  BudgetCharge(const BudgetCharge&) = delete;
  BudgetCharge& operator=(const BudgetCharge&) = delete;

  // Takes `n` more bytes from `budget` (none: nothing is refused), unless that would put
  // its total past the ceiling. REQUIRES: the same budget as the charges still held.
  bool try_take(RequestBudget* budget, uint64_t n) {
    if (budget != nullptr && !budget->try_reserve(n)) return false;
    budget_ = budget;
    held_ += n;
    return true;
  }
  void reset() {
    if (budget_ != nullptr) budget_->release(held_);
    budget_ = nullptr;
    held_ = 0;
  }
  uint64_t held() const { return held_; }

 private:
  RequestBudget* budget_ = nullptr;
  uint64_t held_ = 0;
};

// The integer syntax of counts, lengths and numeric arguments: an optional '+' or '-'
// followed by one or more decimal digits and nothing else, within the signed 64-bit range.
std::optional<int64_t> parse_int(std::string_view text);

// Where a reader's bytes come from. read() returns 0 at the end of the stream; an error is
// treated by the reader as the end of the stream.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual IoResult<size_t> read(char* buf, size_t cap) = 0;
  // Ends a read in progress and every later one (end of stream or an error). Safe to call
  // from another thread while the owner reads; a source that cannot be interrupted
  // ignores it.
  virtual void interrupt() {}
};

// Where a writer's bytes go. write_all() accepts every byte or fails.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual IoResult<void> write_all(const char* data, size_t len) = 0;
};

// Reads requests from a ByteSource through an 8 KiB input buffer. `source`, and `budget`
// when given, must outlive the reader. Without a budget nothing is refused for its size
// beyond the limits.
class RequestReader {
 public:
  explicit RequestReader(ByteSource& source, RequestBudget* budget = nullptr) : source_(source), budget_(budget) {}
  ~RequestReader() { release_request(); }
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Applies to the requests read from now on, and to the look-ahead.
  void set_limits(const RequestLimits& limits) { limits_ = limits; }

  // Blocks until a whole request, the end of the stream, a protocol error or a refusal by
  // the budget. Consumes exactly the bytes of the request; a stream ending inside a
  // request is EndOfStream.
  ReadOutcome read_request();

  // Gives back to the budget what the requests read since the last call were charged,
  // and returns that many bytes. The charge stays while a request is in use, so call this
  // once the Request is destroyed; the destructor calls it too.
  uint64_t release_request();
  uint64_t held_bytes() const { return held_; }

  // Whether the bytes already buffered hold a whole request or a prefix that already is a
  // protocol error. Never reads the source and consumes nothing.
  bool buffered_request_complete() const;

  size_t buffered_bytes() const { return end_ - pos_; }

 private:
  friend class BlockingCursor;

  bool charge(uint64_t n);
  void charge_unchecked(uint64_t n);
  void uncharge(uint64_t n);

  ByteSource& source_;
  RequestBudget* const budget_;
  RequestLimits limits_;
  uint64_t held_ = 0;  // charged to budget_ (or counted, without one) since the last release
  std::array<char, kBufferBytes> buf_{};
  size_t pos_ = 0;  // unread bytes are buf_[pos_, end_)
  size_t end_ = 0;
};

// A reply of the command layer. Map, Set, Double and Verbatim are the richer kinds of the
// third protocol version; on a version-2 connection each goes out as its older equivalent
// (a map as a flat array of keys and values, a set as an array, a double and a verbatim
// text as bulk strings), so a handler builds one reply for both versions. Null is "$-1"
// under version 2 and "_" under version 3; NullArray, the absent array (an aborted
// transaction, a pop with a count from a missing list), is "*-1" under version 2, where
// clients tell it apart from an absent string, and "_" under version 3.
struct Reply {
  enum class Kind : uint8_t { Simple, Error, Integer, Bulk, Null, NullArray, Array, Map, Set, Double, Verbatim };

  Kind kind = Kind::Null;
  std::string text;  // Simple and Error text, Bulk bytes, Double digits, Verbatim text
  int64_t integer = 0;
  std::vector<Reply> elements;  // Array and Set members; Map keys and values alternating

  static Reply simple(std::string s) { return Reply{Kind::Simple, std::move(s), 0, {}}; }
  static Reply error(std::string s) { return Reply{Kind::Error, std::move(s), 0, {}}; }
  static Reply from_int(int64_t v) { return Reply{Kind::Integer, {}, v, {}}; }
  static Reply bulk(Bytes b) { return Reply{Kind::Bulk, std::move(b), 0, {}}; }
  static Reply null() { return Reply{}; }
  static Reply null_array() { return Reply{Kind::NullArray, {}, 0, {}}; }
  static Reply array(std::vector<Reply> items) { return Reply{Kind::Array, {}, 0, std::move(items)}; }
  // REQUIRES: an even number of elements, key then value.
  static Reply map(std::vector<Reply> keys_and_values) { return Reply{Kind::Map, {}, 0, std::move(keys_and_values)}; }
  static Reply set(std::vector<Reply> items) { return Reply{Kind::Set, {}, 0, std::move(items)}; }
  // `digits` is the number as the command would send it in a bulk string ("3.5", "inf").
  static Reply dbl(std::string digits) { return Reply{Kind::Double, std::move(digits), 0, {}}; }
  // Plain text; version 3 sends it with the "txt" format tag.
  static Reply verbatim(std::string s) { return Reply{Kind::Verbatim, std::move(s), 0, {}}; }

  bool operator==(const Reply&) const = default;
};

// The reply encodings a connection may choose with HELLO.
inline constexpr int kResp2 = 2;
inline constexpr int kResp3 = 3;

// Encodes replies into an 8 KiB output buffer in front of a ByteSink. A piece that does
// not fit in the space left sends the buffered bytes first; a piece of kBufferBytes or
// more is then sent straight to the sink. `sink` must outlive the writer.
class ReplyWriter {
 public:
  explicit ReplyWriter(ByteSink& sink) : sink_(sink) {}
  ReplyWriter(const ReplyWriter&) = delete;
  ReplyWriter& operator=(const ReplyWriter&) = delete;

  // Replies written from now on use `protocol` (kResp2 or kResp3); kResp2 at first.
  void set_protocol(int protocol) { protocol_ = protocol; }
  int protocol() const { return protocol_; }

  IoResult<void> write_reply(const Reply& reply);
  // An Error reply of `text`, written without allocating: the reply of last resort when
  // memory has run out.
  IoResult<void> write_error(std::string_view text);
  IoResult<void> flush_output();
  size_t buffered_bytes() const { return len_; }

 private:
  IoResult<void> put(std::string_view piece);
  // Simple and Error texts: CR and LF become spaces so a reply line cannot be split.
  IoResult<void> put_line_text(std::string_view text);

  ByteSink& sink_;
  std::array<char, kBufferBytes> buf_{};
  size_t len_ = 0;
  int protocol_ = kResp2;
};

// The whole encoding of one reply, for tests and callers that need the bytes.
std::string encode_reply(const Reply& reply, int protocol = kResp2);

}  // namespace vellum::server
