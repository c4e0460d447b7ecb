// The RESP2 codec over in-memory byte sources and sinks: request forms, limits, every
// protocol error, the look-ahead used for the flush decision, reply encodings and output
// buffering.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "server/resp.h"

// Tracks the largest single allocation while `g_track` is set, so a test can show that a
// header announcing huge sizes does not make the reader allocate them.
static std::atomic<bool> g_track{false};
static std::atomic<size_t> g_largest{0};

// The replacement pair uses malloc and free on both sides; the compiler cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  if (g_track.load(std::memory_order_relaxed)) {
    size_t prev = g_largest.load(std::memory_order_relaxed);
    while (n > prev && !g_largest.compare_exchange_weak(prev, n)) {
    }
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace vellum::server {
namespace {

using namespace std::string_literals;

// Hands out the chunks one per read (split further when a chunk exceeds the reader's
// capacity), then reports the end of the stream or, with `fail_at_end`, an error.
class ChunkSource final : public ByteSource {
 public:
  explicit ChunkSource(std::vector<std::string> chunks, bool fail_at_end = false)
      : chunks_(std::move(chunks)), fail_at_end_(fail_at_end) {}

  static ChunkSource bytewise(const std::string& s) {
    std::vector<std::string> chunks;
    for (char c : s) chunks.emplace_back(1, c);
    return ChunkSource(std::move(chunks));
  }

  IoResult<size_t> read(char* buf, size_t cap) override {
    ++reads;
    while (next_ < chunks_.size() && offset_ == chunks_[next_].size()) {
      ++next_;
      offset_ = 0;
    }
    if (next_ == chunks_.size()) {
      if (fail_at_end_) return io_err(IoError::make(IoErrorKind::Other, "reset"));
      return size_t{0};
    }
    const std::string& c = chunks_[next_];
    size_t n = std::min(cap, c.size() - offset_);
    c.copy(buf, n, offset_);
    offset_ += n;
    return n;
  }

  int reads = 0;

 private:
  std::vector<std::string> chunks_;
  bool fail_at_end_;
  size_t next_ = 0;
  size_t offset_ = 0;
};

class RecordingSink final : public ByteSink {
 public:
  IoResult<void> write_all(const char* data, size_t len) override {
    if (fail) return io_err(IoError::make(IoErrorKind::BrokenPipe, "broken pipe"));
    writes.emplace_back(data, len);
    return {};
  }
  std::string joined() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }
  std::vector<std::string> writes;
  bool fail = false;
};

ReadOutcome read_one(const std::string& input) {
  ChunkSource src({input});
  RequestReader reader(src);
  return reader.read_request();
}

// Every request of a stream until the first outcome that is not a Request.
std::vector<ReadOutcome> read_all(ByteSource& src) {
  RequestReader reader(src);
  std::vector<ReadOutcome> out;
  for (int i = 0; i < 1000; ++i) {
    out.push_back(reader.read_request());
    if (!std::holds_alternative<Request>(out.back())) break;
  }
  return out;
}

TEST(ParseInt, AcceptsOnlySignedDecimalWithinInt64) {
  struct Case {
    std::string text;
    std::optional<int64_t> want;
  };
  const std::vector<Case> cases = {
      {"0", 0},
      {"+5", 5},
      {"-5", -5},
      {"007", 7},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"--1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1a", std::nullopt},
      {"0x10", std::nullopt},
      {"1.0", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_int(c.text), c.want) << "'" << c.text << "'";
}

TEST(RequestReader, ParsesBothFormsIntoArguments) {
  struct Case {
    std::string name;
    std::string input;
    Request want;
  };
  const std::vector<Case> cases = {
      {"multibulk", "*2\r\n$3\r\nGET\r\n$1\r\nk\r\n", {"GET", "k"}},
      {"bare LF headers", "*1\n$4\nPING\r\n", {"PING"}},
      {"empty bulk", "*2\r\n$3\r\nGET\r\n$0\r\n\r\n", {"GET", ""}},
      {"binary payload", "*1\r\n$5\r\na\r\n\0b\r\n"s, {"a\r\n\0b"s}},
      {"signed counts", "*+1\r\n$+3\r\nGET\r\n", {"GET"}},
      {"zero count", "*0\r\n", {}},
      {"negative count", "*-1\r\n", {}},
      {"inline CRLF", "PING\r\n", {"PING"}},
      {"inline bare LF", "PING\n", {"PING"}},
      {"blank line", "\r\n", {}},
      {"only whitespace", "  \t \f \r\n", {}},
      {"case preserved", "gEt Key\r\n", {"gEt", "Key"}},
      {"double quotes", "SET k \"a b\"\r\n", {"SET", "k", "a b"}},
      {"single quote escape", "'it\\'s'\r\n", {"it's"}},
      {"single quote keeps other backslashes", "'a\\nb\\\\x'\r\n", {"a\\nb\\\\x"}},
      {"double quote escapes", "\"\\t\\r\\n\\x\\\\\\\"\"\n", {"\t\r\nx\\\""}},
      {"quoted then adjacent word", "\"a\"b\r\n", {"a", "b"}},
      {"empty quotes", "\"\" ''\r\n", {"", ""}},
      {"quotes inside a bare word", "a\"b'c\r\n", {"a\"b'c"}},
      {"vertical tab is not whitespace", "a\vb c\r\n", {"a\vb", "c"}},
      {"inner CR is whitespace", "a\rb\r\n", {"a", "b"}},
  };
  for (const auto& c : cases) {
    ReadOutcome got = read_one(c.input);
    ASSERT_TRUE(std::holds_alternative<Request>(got)) << c.name;
    EXPECT_EQ(std::get<Request>(got), c.want) << c.name;
  }
}

TEST(RequestReader, AnswersEachMalformedRequestWithItsMessage) {
  struct Case {
    std::string input;
    std::string_view want;
  };
  const std::vector<Case> cases = {
      {"*1\r\n$-1\r\n", kInvalidBulkLength},
      {"*1\r\n$536870913\r\n", kInvalidBulkLength},
      {"*1\r\n$1x\r\n", kInvalidBulkLength},
      {"*1\r\n$\r\n", kInvalidBulkLength},
      {"*1\r\n$3\r\nGETxx", kBulkNotTerminated},
      {"*1\n$4\nPING\nX", kBulkNotTerminated},
      {"*1\r\n$4\r\nPING\n\r", kBulkNotTerminated},
      {"*2\r\n:1\r\n", kExpectedBulkHeader},
      {"*1\r\n\r\n", kExpectedBulkHeader},
      {"*1\r\n $1\r\n", kExpectedBulkHeader},
      {"*1048577\r\n", kInvalidMultibulkLength},
      {"*\r\n", kInvalidMultibulkLength},
      {"*x\r\n", kInvalidMultibulkLength},
      {"*1 \r\n", kInvalidMultibulkLength},
      {"*99999999999999999999\r\n", kInvalidMultibulkLength},
      {"SET k \"abc\r\n", kUnbalancedQuotes},
      {"SET k 'abc\r\n", kUnbalancedQuotes},
      {"\"abc\\\"\r\n", kUnbalancedQuotes},
      {"\"abc\\\r\n", kUnbalancedQuotes},
      {std::string(kMaxLineBytes, 'a'), kTooBigLine},
      {"*1\r\n$" + std::string(kMaxLineBytes, '1'), kTooBigLine},
  };
  for (const auto& c : cases) {
    ReadOutcome got = read_one(c.input);
    ASSERT_TRUE(std::holds_alternative<ProtocolError>(got)) << c.input.substr(0, 40);
    EXPECT_EQ(std::get<ProtocolError>(got).message, c.want) << c.input.substr(0, 40);
  }
}

TEST(RequestReader, StreamEndingInsideARequestIsEndOfStream) {
  const std::vector<std::string> inputs = {
      "",
      "PING",
      "*1\r\n",
      "*1\r\n$4",
      "*1\r\n$4\r\nPI",
      "*1\r\n$4\r\nPING",
      "*1\r\n$4\r\nPING\r",
      "*2\r\n$4\r\nPING\r\n",
      "*1048576\r\n",
      std::string(kMaxLineBytes - 1, 'a'),
  };
  for (const auto& input : inputs) {
    EXPECT_EQ(read_one(input), ReadOutcome(EndOfStream{})) << input.substr(0, 40);
    ChunkSource failing({input}, /*fail_at_end=*/true);
    RequestReader reader(failing);
    EXPECT_EQ(reader.read_request(), ReadOutcome(EndOfStream{})) << input.substr(0, 40);
  }
}

TEST(RequestReader, LineLimitCountsTheTerminatingLf) {
  // 65,536 bytes + CR LF and 65,537 bytes + LF are exactly at the limit.
  for (const std::string& end : {"\r\n"s, "\n"s}) {
    std::string word(kMaxLineBytes - end.size(), 'a');
    ReadOutcome got = read_one(word + end);
    ASSERT_TRUE(std::holds_alternative<Request>(got)) << end.size();
    const Request& req = std::get<Request>(got);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].size(), end == "\n" ? kMaxLineBytes - 1 : kMaxLineBytes - 2);
  }
  // A bulk header at the limit is still a header.
  std::string header = "$" + std::string(kMaxLineBytes - 4, '0') + "3\r\n";
  EXPECT_EQ(read_one("*1\r\n" + header + "GET\r\n"), ReadOutcome(Request{"GET"}));
}

TEST(RequestReader, ChunkingDoesNotChangeTheParse) {
  const std::string stream = "*2\r\n$3\r\nGET\r\n$1\r\nk\r\n"
                             "PING\n"
                             "SET k \"a b\"\r\n"
                             "*0\r\n" +
                             std::string("*1\r\n$20000\r\n") + std::string(20000, 'x') + "\r\n" +
                             std::string(60000, ' ') + "x\r\n" + "*1\r\n$3\r\nGETxx";
  ChunkSource whole({stream});
  ChunkSource bytes = ChunkSource::bytewise(stream);
  std::vector<ReadOutcome> a = read_all(whole);
  std::vector<ReadOutcome> b = read_all(bytes);
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::get<Request>(a[4]), Request{std::string(20000, 'x')});
  EXPECT_EQ(a.back(), ReadOutcome(ProtocolError{kBulkNotTerminated}));
}

TEST(RequestReader, ConsumesExactlyOneRequest) {
  ChunkSource src({"PING\r\n*1\r\n$4\r\nECHO\r\nTAIL"});
  RequestReader reader(src);
  EXPECT_EQ(reader.read_request(), ReadOutcome(Request{"PING"}));
  EXPECT_EQ(reader.buffered_bytes(), 18u);
  EXPECT_EQ(reader.read_request(), ReadOutcome(Request{"ECHO"}));
  EXPECT_EQ(reader.buffered_bytes(), 4u);
  EXPECT_EQ(src.reads, 1);
}

TEST(RequestReader, LookaheadSeesOnlyBufferedBytes) {
  struct Case {
    std::string buffered;
    bool complete;
  };
  const std::vector<Case> cases = {
      {"", false},
      {"PING", false},
      {"PING\n", true},
      {"\r\n", true},
      {"*0\r\n", true},
      {"*1\r\n$4\r\nPING", false},
      {"*1\r\n$4\r\nPING\r", false},
      {"*1\r\n$4\r\nPING\r\n", true},
      {"*1048576\r\n", false},
      {"*1\r\n$-1\r\n", true},
      {"*1\r\n$3\r\nGETxx", true},
      {"\"abc\n", true},
      {"*2\r\n:1", false},
      {"*2\r\n:1\r\n", true},
  };
  for (const auto& c : cases) {
    // The leading blank line is an empty request; reading it buffers the rest in one go.
    ChunkSource src({"\n" + c.buffered});
    RequestReader reader(src);
    ASSERT_EQ(reader.read_request(), ReadOutcome(Request{}));
    EXPECT_EQ(reader.buffered_request_complete(), c.complete) << c.buffered;
    EXPECT_EQ(reader.buffered_bytes(), c.buffered.size()) << "look-ahead consumed bytes";
    EXPECT_EQ(src.reads, 1) << "look-ahead read the source";
    // With the source exhausted, the blocking read agrees with the look-ahead.
    EXPECT_EQ(!std::holds_alternative<EndOfStream>(reader.read_request()), c.complete) << c.buffered;
  }
}

TEST(RequestReader, HugeAnnouncedSizesAllocateLittle) {
  const std::string input = "*1048576\r\n$536870912\r\nabc";
  ChunkSource src({input});
  RequestReader reader(src);
  g_largest = 0;
  g_track = true;
  ReadOutcome got = reader.read_request();
  g_track = false;
  EXPECT_EQ(got, ReadOutcome(EndOfStream{}));
  EXPECT_LE(g_largest.load(), size_t{100000});
}

TEST(ReplyWriter, EncodesEveryKind) {
  struct Case {
    Reply reply;
    std::string want;
  };
  const std::vector<Case> cases = {
      {Reply::simple("OK"), "+OK\r\n"},
      {Reply::error("ERR syntax error"), "-ERR syntax error\r\n"},
      {Reply::error("ERR a\r\nb\nc\r"), "-ERR a  b c \r\n"},
      {Reply::simple("x\ny"), "+x y\r\n"},
      {Reply::from_int(-2), ":-2\r\n"},
      {Reply::from_int(INT64_MIN), ":-9223372036854775808\r\n"},
      {Reply::bulk(""), "$0\r\n\r\n"},
      {Reply::bulk("a\r\nb"), "$4\r\na\r\nb\r\n"},
      {Reply::null(), "$-1\r\n"},
      {Reply::array({}), "*0\r\n"},
      {Reply::array({Reply::bulk("f"), Reply::null(), Reply::array({Reply::from_int(1)})}),
       "*3\r\n$1\r\nf\r\n$-1\r\n*1\r\n:1\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode_reply(c.reply), c.want);
}

TEST(ReplyWriter, BuffersSmallRepliesUntilFull) {
  RecordingSink sink;
  ReplyWriter writer(sink);
  std::string want;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(writer.write_reply(Reply::simple("OK")).ok());
    want += "+OK\r\n";
  }
  ASSERT_EQ(sink.writes.size(), 1u);
  EXPECT_LE(sink.writes[0].size(), kBufferBytes);
  ASSERT_TRUE(writer.flush_output().ok());
  EXPECT_EQ(sink.writes.size(), 2u);
  EXPECT_EQ(sink.joined(), want);
  ASSERT_TRUE(writer.flush_output().ok());
  EXPECT_EQ(sink.writes.size(), 2u) << "an empty flush wrote";
}

TEST(ReplyWriter, LargeBulkBypassesTheBuffer) {
  RecordingSink sink;
  ReplyWriter writer(sink);
  const std::string big(kBufferBytes, 'z');
  ASSERT_TRUE(writer.write_reply(Reply::simple("OK")).ok());
  ASSERT_TRUE(writer.write_reply(Reply::bulk(big)).ok());
  ASSERT_EQ(sink.writes.size(), 2u);
  EXPECT_EQ(sink.writes[0], "+OK\r\n$8192\r\n");
  EXPECT_EQ(sink.writes[1], big);
  ASSERT_TRUE(writer.flush_output().ok());
  EXPECT_EQ(sink.writes.back(), "\r\n");
}

TEST(ReplyWriter, SinkFailureIsReturned) {
  RecordingSink sink;
  sink.fail = true;
  ReplyWriter writer(sink);
  ASSERT_TRUE(writer.write_reply(Reply::simple("OK")).ok());
  EXPECT_FALSE(writer.flush_output().ok());
  EXPECT_FALSE(writer.write_reply(Reply::bulk(std::string(10000, 'a'))).ok());
}

}  // namespace
}  // namespace vellum::server
