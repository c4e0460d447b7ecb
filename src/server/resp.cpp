#include "server/resp.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vellum::server {

std::optional<int64_t> parse_int(std::string_view text) {
  size_t first_digit = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) first_digit = 1;
  if (first_digit == text.size()) return std::nullopt;
  for (size_t i = first_digit; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  // from_chars takes a '-' but not a '+'; the digits were checked above, so dropping the
  // '+' cannot let a second sign through.
  std::string_view number = text[0] == '+' ? text.substr(1) : text;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc{} || end != number.data() + number.size()) return std::nullopt;
  return value;
}

bool RequestBudget::try_reserve(uint64_t n) {
  uint64_t cur = held_.load(std::memory_order_relaxed);
  do {
    if (n > limit_ || cur > limit_ - n) return false;
  } while (!held_.compare_exchange_weak(cur, cur + n, std::memory_order_relaxed));
  return true;
}

namespace {

enum class Step { Ok, End, TooBig, OverBudget };

bool is_inline_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// Removes the one CR that may stand before the LF that ended `line` (the LF is already
// gone).
std::string_view strip_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Splits an inline request line into arguments (quoting rules in the header of this
// form: double quotes with backslash escapes, single quotes with only \' as an escape).
// More than `lim.max_args` arguments is ProtocolError{lim.exceeded}.
std::variant<Request, ProtocolError> split_inline(std::string_view line, const RequestLimits& lim) {
  Request args;
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && is_inline_space(line[i])) ++i;
    if (i == n) return args;
    if (static_cast<int64_t>(args.size()) >= lim.max_args) return ProtocolError{lim.exceeded};
    Bytes arg;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < n) {
        char c = line[i];
        if (c == '\\' && i + 1 < n) {
          char e = line[i + 1];
          arg.push_back(e == 't' ? '\t' : e == 'r' ? '\r' : e == 'n' ? '\n' : e);
          i += 2;
        } else if (c == '"') {
          ++i;
          closed = true;
          break;
        } else {
          arg.push_back(c);
          ++i;
        }
      }
      if (!closed) return ProtocolError{kUnbalancedQuotes};
    } else if (line[i] == '\'') {
      ++i;
      bool closed = false;
      while (i < n) {
        char c = line[i];
        if (c == '\\' && i + 1 < n && line[i + 1] == '\'') {
          arg.push_back('\'');
          i += 2;
        } else if (c == '\'') {
          ++i;
          closed = true;
          break;
        } else {
          arg.push_back(c);
          ++i;
        }
      }
      if (!closed) return ProtocolError{kUnbalancedQuotes};
    } else {
      size_t start = i;
      while (i < n && !is_inline_space(line[i])) ++i;
      arg.assign(line.substr(start, i - start));
    }
    args.push_back(std::move(arg));
  }
}

// The request grammar, shared by the blocking read and the look-ahead over buffered bytes
// so the two can never disagree. A Cursor supplies bytes; Step::End means "no more bytes":
// the end of the stream for a blocking cursor, the end of the buffer for a look-ahead one.
// The line view a cursor hands out is valid only until its next call. Every limit is
// checked here, so the look-ahead refuses exactly what the blocking read refuses; only
// the budget, which the look-ahead never charges, is the blocking cursor's alone.
template <class Cursor>
ReadOutcome parse_request(Cursor& c, const RequestLimits& lim) {
  char first = 0;
  if (!c.peek(first)) return EndOfStream{};

  const size_t max_line = std::min(lim.max_line, kMaxLineBytes);
  auto not_ok = [&](Step s) -> ReadOutcome {
    if (s == Step::End) return EndOfStream{};
    if (s == Step::OverBudget) return OverBudget{};
    return ProtocolError{max_line < kMaxLineBytes ? lim.exceeded : kTooBigLine};
  };
  std::string_view line;
  if (first != '*') {
    Step s = c.read_line(line, max_line);
    if (s != Step::Ok) return not_ok(s);
    auto split = split_inline(line, lim);
    if (auto* err = std::get_if<ProtocolError>(&split)) return *err;
    return std::get<Request>(std::move(split));
  }

  Step s = c.read_line(line, max_line);
  if (s != Step::Ok) return not_ok(s);
  std::optional<int64_t> count = parse_int(line.substr(1));
  if (!count || *count > kMaxMultibulkCount) return ProtocolError{kInvalidMultibulkLength};
  if (*count > lim.max_args) return ProtocolError{lim.exceeded};
  Request req;
  if (*count <= 0) return req;
  const auto slots = static_cast<size_t>(*count);
  if constexpr (Cursor::kKeepsArguments) {
    if (!c.reserve_slots(req, std::min(slots, kMaxReservedArgs))) return OverBudget{};
  }
  for (int64_t i = 0; i < *count; ++i) {
    s = c.read_line(line, max_line);
    if (s != Step::Ok) return not_ok(s);
    if (line.empty() || line[0] != '$') return ProtocolError{kExpectedBulkHeader};
    std::optional<int64_t> len = parse_int(line.substr(1));
    if (!len || *len < 0 || *len > kMaxBulkLength) return ProtocolError{kInvalidBulkLength};
    if (*len > lim.max_bulk) return ProtocolError{lim.exceeded};
    Bytes arg;
    s = c.read_payload(static_cast<size_t>(*len), arg);
    if (s != Step::Ok) return not_ok(s);
    char term[2];
    if (!c.read_two(term)) return EndOfStream{};
    if (term[0] != '\r' || term[1] != '\n') return ProtocolError{kBulkNotTerminated};
    if constexpr (Cursor::kKeepsArguments) {
      if (req.size() == req.capacity() && !c.reserve_slots(req, std::min(slots, 2 * req.capacity()))) {
        return OverBudget{};
      }
      req.push_back(std::move(arg));
    }
  }
  return req;
}

// Looks at the bytes of a buffer without consuming them; running out is Step::End.
class LookaheadCursor {
 public:
  static constexpr bool kKeepsArguments = false;

  LookaheadCursor(const char* data, size_t len) : data_(data), len_(len) {}

  bool peek(char& c) {
    if (pos_ == len_) return false;
    c = data_[pos_];
    return true;
  }

  Step read_line(std::string_view& line, size_t max_line) {
    size_t window = std::min(len_ - pos_, max_line);
    const char* start = data_ + pos_;
    const void* lf = std::memchr(start, '\n', window);
    if (lf == nullptr) return window == max_line ? Step::TooBig : Step::End;
    size_t n = static_cast<size_t>(static_cast<const char*>(lf) - start);
    line = strip_cr(std::string_view(start, n));
    pos_ += n + 1;
    return Step::Ok;
  }

  Step read_payload(size_t n, Bytes&) {
    if (len_ - pos_ < n) return Step::End;
    pos_ += n;
    return Step::Ok;
  }

  bool read_two(char out[2]) {
    if (len_ - pos_ < 2) return false;
    out[0] = data_[pos_];
    out[1] = data_[pos_ + 1];
    pos_ += 2;
    return true;
  }

 private:
  const char* data_;
  size_t len_;
  size_t pos_ = 0;
};

}  // namespace

// Takes bytes from the reader's buffer, refilling it from the source when it is empty. A
// failed or empty refill is Step::End. Lines that span refills are gathered in `scratch_`,
// which never holds more than the line limit. Every buffer a request grows is charged to
// the reader first (RequestReader::charge), and only for bytes that have arrived.
class BlockingCursor {
 public:
  static constexpr bool kKeepsArguments = true;

  explicit BlockingCursor(RequestReader& r) : r_(r) {}

  bool peek(char& c) {
    if (!ensure()) return false;
    c = r_.buf_[r_.pos_];
    return true;
  }

  Step read_line(std::string_view& line, size_t max_line) {
    scratch_.clear();
    size_t taken = 0;
    for (;;) {
      if (!ensure()) return Step::End;
      const char* start = r_.buf_.data() + r_.pos_;
      size_t window = std::min(r_.end_ - r_.pos_, max_line - taken);
      const void* lf = std::memchr(start, '\n', window);
      if (lf != nullptr) {
        size_t n = static_cast<size_t>(static_cast<const char*>(lf) - start);
        if (taken == 0) {
          line = strip_cr(std::string_view(start, n));
        } else {
          if (!grow(scratch_, taken + n, max_line, 0)) return Step::OverBudget;
          scratch_.append(start, n);
          line = strip_cr(scratch_);
        }
        r_.pos_ += n + 1;
        return Step::Ok;
      }
      if (!grow(scratch_, taken + window, max_line, 0)) return Step::OverBudget;
      scratch_.append(start, window);
      taken += window;
      r_.pos_ += window;
      if (taken == max_line) return Step::TooBig;
    }
  }

  // The announced length `n` only caps the capacity: the string grows as bytes come.
  Step read_payload(size_t n, Bytes& out) {
    while (out.size() < n) {
      if (!ensure()) return Step::End;
      size_t k = std::min(n - out.size(), r_.end_ - r_.pos_);
      if (!grow(out, out.size() + k, n, kMaxReservedPayload)) return Step::OverBudget;
      out.append(r_.buf_.data() + r_.pos_, k);
      r_.pos_ += k;
    }
    return Step::Ok;
  }

  // Room for `n` argument slots, charged like a payload's growth (see grow).
  bool reserve_slots(Request& req, size_t n) {
    if (n <= req.capacity()) return true;
    if (!r_.charge(n * sizeof(Bytes))) return false;
    const size_t old = req.capacity() * sizeof(Bytes);
    req.reserve(n);
    r_.uncharge(old);
    return true;
  }

  bool read_two(char out[2]) {
    for (int i = 0; i < 2; ++i) {
      if (!ensure()) return false;
      out[i] = r_.buf_[r_.pos_++];
    }
    return true;
  }

 private:
  bool ensure() {
    if (r_.pos_ < r_.end_) return true;
    r_.pos_ = r_.end_ = 0;
    auto got = r_.source_.read(r_.buf_.data(), r_.buf_.size());
    if (!got || got.value() == 0) return false;
    r_.end_ = got.value();
    return true;
  }

  // Heap bytes a string holds: none while its bytes fit in the string object itself.
  static size_t heap_bytes(const Bytes& s) {
    static const size_t inline_capacity = Bytes().capacity();
    return s.capacity() > inline_capacity ? s.capacity() : 0;
  }

  // Gives `s` room for `need` bytes, need <= limit. The capacity at least doubles, is at
  // least `floor` and never passes `limit`. Both buffers exist during the copy, so the new
  // one is charged in full before it is allocated and the old one's charge ends once it
  // is freed. False, with `s` unchanged, when the budget refuses.
  bool grow(Bytes& s, size_t need, size_t limit, size_t floor) {
    if (need <= s.capacity()) return true;
    const size_t target = std::min(limit, std::max({need, 2 * s.capacity(), floor}));
    if (!r_.charge(target)) return false;
    const size_t old = heap_bytes(s);
    {
      // A fresh string reserves exactly `target`; growing `s` in place could double past it.
      Bytes grown;
      grown.reserve(target);
      grown.append(s);
      s.swap(grown);
    }
    r_.uncharge(old);
    if (heap_bytes(s) > target) r_.charge_unchecked(heap_bytes(s) - target);
    return true;
  }

  RequestReader& r_;
  std::string scratch_;
};

bool RequestReader::charge(uint64_t n) {
  if (n == 0) return true;
  if (budget_ != nullptr && !budget_->try_reserve(n)) return false;
  held_ += n;
  return true;
}

void RequestReader::charge_unchecked(uint64_t n) {
  if (budget_ != nullptr) budget_->add(n);
  held_ += n;
}

void RequestReader::uncharge(uint64_t n) {
  if (budget_ != nullptr && n != 0) budget_->release(n);
  held_ -= n;
}

uint64_t RequestReader::release_request() {
  const uint64_t n = held_;
  held_ = 0;
  if (budget_ != nullptr && n != 0) budget_->release(n);
  return n;
}

ReadOutcome RequestReader::read_request() {
  BlockingCursor cursor(*this);
  return parse_request(cursor, limits_);
}

bool RequestReader::buffered_request_complete() const {
  LookaheadCursor cursor(buf_.data() + pos_, end_ - pos_);
  return !std::holds_alternative<EndOfStream>(parse_request(cursor, limits_));
}

IoResult<void> ReplyWriter::put(std::string_view piece) {
  if (piece.size() > buf_.size() - len_ || piece.size() >= buf_.size()) {
    if (auto r = flush_output(); !r) return r;
  }
  if (piece.size() >= buf_.size()) return sink_.write_all(piece.data(), piece.size());
  std::memcpy(buf_.data() + len_, piece.data(), piece.size());
  len_ += piece.size();
  return {};
}

IoResult<void> ReplyWriter::put_line_text(std::string_view text) {
  if (text.find_first_of("\r\n") == std::string_view::npos) return put(text);
  std::string clean(text);
  std::replace_if(clean.begin(), clean.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return put(clean);
}

IoResult<void> ReplyWriter::write_error(std::string_view text) {
  if (auto r = put("-"); !r) return r;
  if (auto r = put_line_text(text); !r) return r;
  return put("\r\n");
}

IoResult<void> ReplyWriter::write_reply(const Reply& reply) {
  auto header = [this](char tag, int64_t n) {
    char text[24];
    text[0] = tag;
    auto [end, ec] = std::to_chars(text + 1, text + sizeof text - 2, n);
    (void)ec;  // 20 digits and a sign always fit
    end[0] = '\r';
    end[1] = '\n';
    return put(std::string_view(text, static_cast<size_t>(end + 2 - text)));
  };
  switch (reply.kind) {
    case Reply::Kind::Simple:
    case Reply::Kind::Error: {
      if (auto r = put(reply.kind == Reply::Kind::Simple ? "+" : "-"); !r) return r;
      if (auto r = put_line_text(reply.text); !r) return r;
      return put("\r\n");
    }
    case Reply::Kind::Integer:
      return header(':', reply.integer);
    case Reply::Kind::Bulk: {
      if (auto r = header('$', static_cast<int64_t>(reply.text.size())); !r) return r;
      if (auto r = put(reply.text); !r) return r;
      return put("\r\n");
    }
    case Reply::Kind::Null:
      return put(protocol_ == kResp3 ? "_\r\n" : "$-1\r\n");
    case Reply::Kind::NullArray:
      return put(protocol_ == kResp3 ? "_\r\n" : "*-1\r\n");
    case Reply::Kind::Array:
    case Reply::Kind::Set:
    case Reply::Kind::Map: {
      const bool v3 = protocol_ == kResp3;
      char tag = '*';
      auto n = static_cast<int64_t>(reply.elements.size());
      if (v3 && reply.kind == Reply::Kind::Set) tag = '~';
      if (v3 && reply.kind == Reply::Kind::Map) {
        tag = '%';
        n /= 2;
      }
      if (auto r = header(tag, n); !r) return r;
      for (const Reply& e : reply.elements) {
        if (auto r = write_reply(e); !r) return r;
      }
      return {};
    }
    case Reply::Kind::Double: {
      if (protocol_ != kResp3) return write_reply(Reply::bulk(reply.text));
      if (auto r = put(","); !r) return r;
      if (auto r = put_line_text(reply.text); !r) return r;
      return put("\r\n");
    }
    case Reply::Kind::Verbatim: {
      if (protocol_ != kResp3) return write_reply(Reply::bulk(reply.text));
      if (auto r = header('=', static_cast<int64_t>(reply.text.size() + 4)); !r) return r;
      if (auto r = put("txt:"); !r) return r;
      if (auto r = put(reply.text); !r) return r;
      return put("\r\n");
    }
  }
  return {};
}

IoResult<void> ReplyWriter::flush_output() {
  if (len_ == 0) return {};
  size_t n = len_;
  len_ = 0;
  return sink_.write_all(buf_.data(), n);
}

namespace {

class StringSink final : public ByteSink {
 public:
  IoResult<void> write_all(const char* data, size_t len) override {
    out.append(data, len);
    return {};
  }
  std::string out;
};

}  // namespace

std::string encode_reply(const Reply& reply, int protocol) {
  StringSink sink;
  ReplyWriter writer(sink);
  writer.set_protocol(protocol);
  // A StringSink never fails, so neither can the writer.
  (void)writer.write_reply(reply);
  (void)writer.flush_output();
  return std::move(sink.out);
}

}  // namespace vellum::server
