// The dispatcher against an in-memory Store with a fixed clock: dispatch order, argument
// counts, option parsing, the exact error texts and the administrative commands.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "persist/data_dir.h"
#include "core/store.h"
#include "core/utf8.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "server/commands.h"

namespace vellum::server {
namespace {

using namespace std::string_literals;

class FixedClock final : public Clock {
 public:
  uint64_t now_ms() const override { return now.load(); }
  std::atomic<uint64_t> now{1'700'000'000'000};
};

const std::string kWrongType = "WRONGTYPE Operation against a key holding the wrong kind of value";
const std::string kNotInt = "ERR value is not an integer or out of range";
const std::string kSyntax = "ERR syntax error";
const std::string kNoAuth = "NOAUTH Authentication required.";

Reply err(std::string s) { return Reply::error(std::move(s)); }
Reply num(int64_t v) { return Reply::from_int(v); }
Reply bulk(std::string s) { return Reply::bulk(std::move(s)); }

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { make_context(std::nullopt); }

  void make_context(std::optional<Bytes> password) {
    clock_ = std::make_shared<FixedClock>();
    StoreConfig config;
    config.sweep_interval_ms = 0;
    ctx_.store = Store::create(config, clock_, /*start_sweeper=*/false);
    ctx_.password = std::move(password);
    state_ = initial_connection_state(ctx_);
  }

  Reply run(const Request& req) { return dispatch(ctx_, state_, req).reply; }

  struct Case {
    std::vector<Request> setup;  // run first, replies ignored (some are refused on purpose)
    Request request;
    Reply want;
  };

  // Each case runs on an empty store.
  void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      ASSERT_TRUE(ctx_.store->flush().ok());
      for (const Request& s : c.setup) (void)run(s);
      std::string shown;
      for (const auto& a : c.request) shown += a + " ";
      EXPECT_EQ(run(c.request), c.want) << shown;
    }
  }

  std::shared_ptr<FixedClock> clock_;
  ServerContext ctx_;
  ConnectionState state_;
};

TEST_F(DispatchTest, NamesAndArgumentCounts) {
  run_cases({
      {{{"SET", "K", "v"}}, {"get", "K"}, bulk("v")},
      {{{"SET", "K", "v"}}, {"GeT", "K"}, bulk("v")},
      {{}, {"Foo"}, err("ERR unknown command 'Foo'")},
      {{}, {"Foo", "bar"}, err("ERR unknown command 'Foo'")},
      {{}, {"x\xff" "y\xE2\x82"}, err("ERR unknown command 'x\xEF\xBF\xBDy\xEF\xBF\xBD'")},
      {{}, {"GET"}, err("ERR wrong number of arguments for 'get' command")},
      {{}, {"GeT", "a", "b"}, err("ERR wrong number of arguments for 'get' command")},
      {{}, {"MSET", "a", "1", "b"}, err("ERR wrong number of arguments for 'mset' command")},
      {{}, {"HSET", "h", "f"}, err("ERR wrong number of arguments for 'hset' command")},
      {{}, {"hset", "h", "f", "v", "g"}, err("ERR wrong number of arguments for 'hset' command")},
      {{}, {"PING", "a", "b"}, err("ERR wrong number of arguments for 'ping' command")},
      {{}, {"DBSIZE", "x"}, err("ERR wrong number of arguments for 'dbsize' command")},
      {{}, {"LPUSH", "k"}, num(0)},
      {{}, {"SADD", "k"}, num(0)},
      {{}, {"HDEL", "k"}, num(0)},
  });
  EXPECT_EQ(ctx_.store->key_count(), 0u) << "an empty push created a key";
}

TEST_F(DispatchTest, SetOptions) {
  const Request existing = {"SET", "k", "old"};
  run_cases({
      {{}, {"SET", "k", "v", "EX", "10", "PX", "100"}, err(kSyntax)},
      {{}, {"SET", "k", "v", "EX", "10", "EX", "10"}, err(kSyntax)},
      {{}, {"SET", "k", "v", "NX", "XX"}, err(kSyntax)},
      {{}, {"SET", "k", "v", "EX"}, err(kSyntax)},
      {{}, {"SET", "k", "v", "EXX", "1"}, err(kSyntax)},
      {{}, {"SET", "k", "v", ""}, err(kSyntax)},
      {{}, {"SET", "k", "v", "EX", "0"}, err("ERR invalid expire time in 'set' command")},
      {{}, {"SET", "k", "v", "PX", "-1"}, err("ERR invalid expire time in 'set' command")},
      {{}, {"SET", "k", "v", "EX", "9223372036854775807"}, err("ERR invalid expire time in 'set' command")},
      {{}, {"SET", "k", "v", "EX", "0", "NX", "XX"}, err("ERR invalid expire time in 'set' command")},
      {{}, {"SET", "k", "v", "EX", "abc"}, err(kNotInt)},
      {{existing}, {"SET", "k", "v", "nx"}, Reply::null()},
      {{existing}, {"SET", "k", "v", "nx", "NX"}, Reply::null()},
      {{}, {"SET", "k", "v", "xx"}, Reply::null()},
      {{existing}, {"SET", "k", "v", "xx", "px", "100"}, Reply::simple("OK")},
      {{{"SET", "k", "v", "ex", "10"}}, {"PTTL", "k"}, num(10000)},
      {{}, {"SETEX", "k", "0", "v"}, err("ERR invalid expire time in 'setex' command")},
      {{}, {"SETEX", "k", "9223372036854775807", "v"}, err("ERR invalid expire time in 'setex' command")},
      {{}, {"SETEX", "k", "x", "v"}, err(kNotInt)},
      {{{"SETEX", "k", "7", "v"}}, {"PTTL", "k"}, num(7000)},
      {{{"LPUSH", "k", "a"}}, {"SET", "k", "v"}, Reply::simple("OK")},
  });
}

TEST_F(DispatchTest, ExpiryAndTtlRounding) {
  const Request make = {"SET", "k", "v"};
  run_cases({
      {{make}, {"EXPIRE", "k", "0"}, num(1)},
      {{make, {"EXPIRE", "k", "-5"}}, {"EXISTS", "k"}, num(0)},
      {{}, {"EXPIRE", "k", "0"}, num(0)},
      {{make}, {"EXPIRE", "k", "9223372036854775807"}, err("ERR invalid expire time in 'expire' command")},
      {{make}, {"EXPIRE", "k", "x"}, err(kNotInt)},
      {{make}, {"PEXPIRE", "k", "9223372036854775807"}, num(1)},
      {{}, {"PEXPIRE", "k", "100"}, num(0)},
      {{make, {"PEXPIRE", "k", "1499"}}, {"TTL", "k"}, num(1)},
      {{make, {"PEXPIRE", "k", "1500"}}, {"TTL", "k"}, num(2)},
      {{make, {"PEXPIRE", "k", "499"}}, {"TTL", "k"}, num(0)},
      {{make}, {"TTL", "k"}, num(-1)},
      {{}, {"TTL", "k"}, num(-2)},
      // Near the top of the range the rounding must not overflow.
      {{{"SET", "k", "v", "PX", "9223372036854775807"}}, {"TTL", "k"}, num(9223372036854776)},
      {{make, {"PEXPIRE", "k", "10"}}, {"PERSIST", "k"}, num(1)},
      {{make}, {"PERSIST", "k"}, num(0)},
  });
  for (int64_t ms : std::vector<int64_t>{0, 499, 500, 999, 1000, INT64_MAX, INT64_MAX - 499, INT64_MAX - 500}) {
    EXPECT_EQ(ttl_seconds_from_ms(ms), ms / 1000 + (ms % 1000 >= 500)) << ms;
  }
  EXPECT_EQ(ttl_seconds_from_ms(-2), -2);
}

TEST_F(DispatchTest, CountersAndStrings) {
  const Request seven = {"SET", "n", "7"};
  run_cases({
      {{seven}, {"DECRBY", "n", "-9223372036854775808"}, err("ERR increment or decrement would overflow")},
      {{seven, {"DECRBY", "n", "-9223372036854775808"}}, {"GET", "n"}, bulk("7")},
      {{seven}, {"DECRBY", "n", "10"}, num(-3)},
      {{seven}, {"INCRBY", "n", "-7"}, num(0)},
      {{seven}, {"INCRBY", "n", "1.5"}, err(kNotInt)},
      {{}, {"INCR", "n"}, num(1)},
      {{}, {"DECR", "n"}, num(-1)},
      {{{"SET", "n", "x"}}, {"INCR", "n"}, err(kNotInt)},
      {{{"SET", "n", "9223372036854775807"}}, {"INCR", "n"}, err("ERR increment or decrement would overflow")},
      {{{"LPUSH", "n", "a"}}, {"INCR", "n"}, err(kWrongType)},
      {{seven}, {"APPEND", "n", "89"}, num(3)},
      {{{"SET", "a", "1"}}, {"EXISTS", "a", "a", "b"}, num(2)},
      {{{"MSET", "a", "1", "b", "2"}}, {"MGET", "a", "x", "b"},
       Reply::array({bulk("1"), Reply::null(), bulk("2")})},
      {{{"MSET", "a", "1", "b", "2"}}, {"DEL", "a", "b", "a", "c"}, num(2)},
      {{{"SET", "ab", "1"}}, {"KEYS", "a*"}, Reply::array({bulk("ab")})},
      {{}, {"KEYS", "a\xff"}, err("ERR invalid pattern")},
      {{}, {"KEYS", "\xED\xA0\x80"}, err("ERR invalid pattern")},
  });
}

TEST_F(DispatchTest, Collections) {
  run_cases({
      {{}, {"HSET", "h", "a", "1", "b", "2"}, num(2)},
      {{{"HSET", "h", "a", "1"}}, {"HSET", "h", "a", "2", "b", "2"}, num(1)},
      {{{"SET", "h", "s"}}, {"HSET", "h", "a", "1"}, err(kWrongType)},
      {{{"HSET", "h", "a", "1"}}, {"HGETALL", "h"}, Reply::array({bulk("a"), bulk("1")})},
      {{{"HSET", "h", "a", "1"}}, {"HGET", "h", "b"}, Reply::null()},
      {{{"HSET", "h", "a", "1", "b", "2"}}, {"HDEL", "h", "a", "z"}, num(1)},
      {{{"HSET", "h", "a", "1", "b", "2"}}, {"HLEN", "h"}, num(2)},
      {{{"RPUSH", "l", "a", "b", "c"}}, {"LRANGE", "l", "0", "-1"}, Reply::array({bulk("a"), bulk("b"), bulk("c")})},
      {{{"RPUSH", "l", "a"}}, {"LRANGE", "l", "x", "-1"}, err(kNotInt)},
      {{{"RPUSH", "l", "a"}}, {"LRANGE", "l", "0", "y"}, err(kNotInt)},
      {{{"LPUSH", "l", "a", "b"}}, {"LPOP", "l"}, bulk("b")},
      {{{"LPUSH", "l", "a", "b"}}, {"RPOP", "l"}, bulk("a")},
      {{}, {"LPOP", "l"}, Reply::null()},
      {{{"LPUSH", "l", "a", "b"}}, {"LLEN", "l"}, num(2)},
      {{{"SADD", "s", "a", "b", "a"}}, {"SCARD", "s"}, num(2)},
      {{{"SADD", "s", "a"}}, {"SISMEMBER", "s", "a"}, num(1)},
      {{{"SADD", "s", "a"}}, {"SREM", "s", "a", "b"}, num(1)},
      {{{"SADD", "s", "a"}}, {"SMEMBERS", "s"}, Reply::array({bulk("a")})},
      {{{"SADD", "s", "a"}}, {"GET", "s"}, err(kWrongType)},
  });
  // The WRONGTYPE HSET left the string untouched.
  ASSERT_TRUE(ctx_.store->flush().ok());
  ASSERT_EQ(run({"SET", "h", "s"}), Reply::simple("OK"));
  ASSERT_EQ(run({"HSET", "h", "a", "1"}), err(kWrongType));
  EXPECT_EQ(run({"GET", "h"}), bulk("s"));
}

TEST_F(DispatchTest, AdministrativeCommands) {
  run_cases({
      {{}, {"PING"}, Reply::simple("PONG")},
      {{}, {"ping", "hello"}, bulk("hello")},
      {{}, {"ECHO", ""}, bulk("")},
      {{}, {"SELECT", "0"}, Reply::simple("OK")},
      {{}, {"SELECT", "1"}, err("ERR DB index is out of range")},
      {{}, {"SELECT", "-1"}, err("ERR DB index is out of range")},
      {{}, {"SELECT", "x"}, err(kNotInt)},
      {{}, {"COMMAND", "DOCS"}, Reply::array({})},
      {{{"MSET", "a", "1", "b", "2"}}, {"DBSIZE"}, num(2)},
      {{{"SET", "a", "1"}}, {"FLUSHALL", "now"}, err(kSyntax)},
      {{{"SET", "a", "1"}, {"FLUSHALL", "now"}}, {"DBSIZE"}, num(1)},
      {{{"SET", "a", "1"}, {"FLUSHDB", ""}}, {"DBSIZE"}, num(1)},
      {{{"SET", "a", "1"}, {"FLUSHALL", "async"}}, {"DBSIZE"}, num(0)},
      {{{"SET", "a", "1"}, {"FLUSHDB", "Sync"}}, {"DBSIZE"}, num(0)},
      {{{"SET", "a", "1"}, {"FLUSHDB"}}, {"DBSIZE"}, num(0)},
      {{}, {"SAVE"}, err("ERR persistence is not enabled for this server")},
      {{}, {"BGSAVE"}, err("ERR persistence is not enabled for this server")},
      {{}, {"LASTSAVE"}, num(0)},
      {{}, {"AUTH", "pw"}, err("ERR AUTH <password> called without any password configured")},
      {{}, {"AUTH", "user", "pw"}, err("ERR wrong number of arguments for 'auth' command")},
  });
  EXPECT_TRUE(state_.authenticated);
  EXPECT_FALSE(ctx_.bgsave_running->load()) << "a refused BGSAVE left the flag set";

  DispatchResult quit = dispatch(ctx_, state_, {"quit", "extra", "words"});
  EXPECT_EQ(quit.reply, Reply::simple("OK"));
  EXPECT_TRUE(quit.close);
  EXPECT_FALSE(dispatch(ctx_, state_, {"PING"}).close);
}

TEST_F(DispatchTest, InfoText) {
  ctx_.started_ms = 0;  // the monotonic clock is far past this
  ASSERT_EQ(run({"SET", "a", "1"}), Reply::simple("OK"));
  const std::string used = std::to_string(ctx_.store->used_memory());
  ctx_.started_ms = ~uint64_t{0};  // a start in the future reads as 0 seconds
  const std::string want = "# Server\r\nuptime_in_seconds:0\r\n\r\n# Memory\r\nused_memory:" + used +
                           "\r\n\r\n# Keyspace\r\nkeys:1\r\n\r\n# Persistence\r\npersistence_enabled:0\r\n";
  EXPECT_EQ(run({"INFO"}), bulk(want));
  EXPECT_EQ(run({"info", "everything"}), bulk(want));
}

TEST_F(DispatchTest, AuthenticationGate) {
  make_context("s3cret");
  EXPECT_FALSE(state_.authenticated);
  struct Step {
    Request request;
    Reply want;
  };
  const std::vector<Step> steps = {
      {{"GET", "k"}, err(kNoAuth)},
      {{"NOSUCH"}, err(kNoAuth)},
      {{"GET"}, err(kNoAuth)},
      {{"AUTH", "wrong"}, err("WRONGPASS invalid password")},
      {{"AUTH", "s3cre"}, err("WRONGPASS invalid password")},
      {{"AUTH", "s3cret!"}, err("WRONGPASS invalid password")},
      {{"AUTH", "a", "b"}, err("ERR wrong number of arguments for 'auth' command")},
      {{"auth", "s3cret"}, Reply::simple("OK")},
      {{"GET", "k"}, Reply::null()},
      {{"AUTH", "nope"}, err("WRONGPASS invalid password")},
      {{"GET", "k"}, err(kNoAuth)},
      {{"AUTH", "s3cret"}, Reply::simple("OK")},
      {{"PING"}, Reply::simple("PONG")},
  };
  for (const Step& s : steps) EXPECT_EQ(run(s.request), s.want) << s.request[0] << " " << s.request.size();

  state_.authenticated = false;
  DispatchResult quit = dispatch(ctx_, state_, {"QUIT"});
  EXPECT_EQ(quit.reply, Reply::simple("OK"));
  EXPECT_TRUE(quit.close);
}

TEST(PersistenceCommands, SaveBgsaveLastsaveAndInfo) {
  const auto dir = std::filesystem::temp_directory_path() / ("vellum-server-cmd-" + std::to_string(monotonic_ns()));
  std::filesystem::remove_all(dir);
  StoreConfig config;
  config.persist_dir = dir.string();
  config.snapshot_interval = 0;
  config.sweep_interval_ms = 0;
  auto opened = persist::open_store(config);
  ASSERT_TRUE(opened.ok()) << opened.error().text;
  ServerContext ctx;
  ctx.store = opened.value();
  ConnectionState state = initial_connection_state(ctx);
  auto run = [&](const Request& r) { return dispatch(ctx, state, r).reply; };

  EXPECT_EQ(run({"LASTSAVE"}), num(0));
  ASSERT_EQ(run({"SET", "k", "v"}), Reply::simple("OK"));
  EXPECT_EQ(run({"SAVE"}), Reply::simple("OK"));
  const Reply last = run({"LASTSAVE"});
  EXPECT_GT(last.integer, 1'600'000'000);
  const std::string info = run({"INFO"}).text;
  EXPECT_NE(info.find("\r\npersistence_enabled:1\r\nlast_save_time:" + std::to_string(last.integer) + "\r\n"),
            std::string::npos)
      << info;
  EXPECT_TRUE(info.ends_with("\r\nlast_error:\r\n")) << info;

  ctx.bgsave_running->store(true);  // a background save of this run is in progress
  EXPECT_EQ(run({"BGSAVE"}), err("ERR Background save already in progress"));
  ctx.bgsave_running->store(false);
  EXPECT_EQ(run({"BGSAVE"}), Reply::simple("Background saving started"));
  for (int i = 0; i < 500 && ctx.bgsave_running->load(); ++i) sleep_ms(10);
  EXPECT_FALSE(ctx.bgsave_running->load()) << "the background save never cleared its flag";

  EXPECT_TRUE(persist::close(*ctx.store).ok());
  EXPECT_EQ(run({"SAVE"}), err("ERR save failed: store is closed"));
  std::filesystem::remove_all(dir);
}

TEST(TextHelpers, Utf8LossyReplacesMaximalInvalidPrefixes) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string in, want;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"plain", "plain", true},
      {"\xC3\xA9\xF0\x9F\x98\x80", "\xC3\xA9\xF0\x9F\x98\x80", true},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", true},
      {"\xFF", r, false},
      {"\xE2\x82", r, false},
      {"\xF0\x9F\x98x", r + "x", false},
      {"\xC0\xAF", r + r, false},
      {"\xE0\x80\x80", r + r + r, false},
      {"\xED\xA0\x80", r + r + r, false},
      {"\xF4\x90\x80\x80", r + r + r + r, false},
      {"\x80" "a", r + "a", false},
      {"\0"s, "\0"s, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8::lossy(c.in), c.want);
    EXPECT_EQ(utf8::is_valid(c.in), c.valid);
  }
}

TEST(TextHelpers, ConstantTimeEqualComparesWholeStrings) {
  struct Case {
    std::string a, b;
    bool equal;
  };
  const std::vector<Case> cases = {
      {"", "", true},           {"pw", "pw", true},    {"pw", "pW", false},  {"pw", "p", false},
      {"p", "pw", false},       {"", "x", false},      {"pw\0"s, "pw", false}, {"a\0"s, "a\0"s, true},
  };
  for (const auto& c : cases) EXPECT_EQ(constant_time_equal(c.a, c.b), c.equal) << c.a << "|" << c.b;
}

}  // namespace
}  // namespace vellum::server
