// The dispatcher against an in-memory Store with a fixed clock: dispatch order, argument
// counts, option parsing, the exact error texts and the administrative commands.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
      // IFEQ and IFNE compare with the present value; a missing key equals nothing.
      {{existing}, {"SET", "k", "v", "IFEQ", "old"}, Reply::simple("OK")},
      {{existing, {"SET", "k", "v", "IFEQ", "old"}}, {"GET", "k"}, bulk("v")},
      {{existing}, {"SET", "k", "v", "ifeq", "other"}, Reply::null()},
      {{existing, {"SET", "k", "v", "IFEQ", "other"}}, {"GET", "k"}, bulk("old")},
      {{}, {"SET", "k", "v", "IFEQ", "x"}, Reply::null()},
      {{{"SET", "k", "v", "IFEQ", "x"}}, {"EXISTS", "k"}, num(0)},
      {{existing}, {"SET", "k", "v", "IFNE", "old"}, Reply::null()},
      {{existing}, {"SET", "k", "v", "IFNE", "x", "PX", "100"}, Reply::simple("OK")},
      {{existing, {"SET", "k", "v", "IFNE", "x", "PX", "100"}}, {"PTTL", "k"}, num(100)},
      {{}, {"SET", "k", "v", "IFNE", "x"}, Reply::simple("OK")},
      // With GET the previous value answers, written or not.
      {{existing}, {"SET", "k", "v", "GET", "IFEQ", "old"}, bulk("old")},
      {{existing}, {"SET", "k", "v", "IFEQ", "no", "GET"}, bulk("old")},
      {{}, {"SET", "k", "v", "IFNE", "x", "GET"}, Reply::null()},
      {{{"LPUSH", "k", "a"}}, {"SET", "k", "v", "IFEQ", "a"}, err(kWrongType)},
      {{}, {"SET", "k", "v", "IFEQ"}, err(kSyntax)},
      {{}, {"SET", "k", "v", "IFEQ", "a", "IFNE", "b"}, err(kSyntax)},
      {{}, {"SET", "k", "v", "NX", "IFNE", "b"}, err(kSyntax)},
      {{}, {"SET", "k", "v", "IFEQ", "a", "XX"}, err(kSyntax)},
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
      {{}, {"SELECT", "1"}, err("ERR DB index is out of range: only database 0 exists")},
      {{}, {"SELECT", "-1"}, err("ERR DB index is out of range: only database 0 exists")},
      {{}, {"SELECT", "x"}, err(kNotInt)},
      {{}, {"COMMAND", "DOCS", "nosuch"}, Reply::map({})},
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
      {{},
       {"AUTH", "pw"},
       err("ERR AUTH <password> called without any password configured for the default user. Are you sure your "
           "configuration is correct?")},
      {{}, {"AUTH", "user", "pw"}, err("WRONGPASS invalid password")},
      {{}, {"AUTH", "default", "pw"}, Reply::simple("OK")},
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
      {{"AUTH", "a", "b"}, err("WRONGPASS invalid password")},
      {{"AUTH", "a", "s3cret"}, err("WRONGPASS invalid password")},
      {{"AUTH", "default", "s3cret", "x"}, err("ERR wrong number of arguments for 'auth' command")},
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
  ctx.started_unix_ms = 1'600'000'000'500;  // before any snapshot: when the server started
  EXPECT_EQ(run({"LASTSAVE"}), num(1'600'000'000));
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
  EXPECT_EQ(run({"BGSAVE", "NOW"}), err(kSyntax));
  EXPECT_EQ(run({"BGSAVE", "schedule"}), Reply::simple("Background saving scheduled"));
  EXPECT_TRUE(ctx.bgsave_scheduled->load());
  ctx.bgsave_running->store(false);
  ctx.bgsave_scheduled->store(false);
  auto wait_idle = [&] {
    for (int i = 0; i < 3000 && ctx.bgsave_running->load(); ++i) sleep_ms(10);
    EXPECT_FALSE(ctx.bgsave_running->load()) << "the background save never cleared its flag";
  };
  EXPECT_EQ(run({"BGSAVE"}), Reply::simple("Background saving started"));
  wait_idle();
  // Without a save in progress, SCHEDULE starts one at once. A save scheduled while one
  // runs is taken by the running one, so the flag ends cleared either way.
  EXPECT_EQ(run({"BGSAVE", "SCHEDULE"}), Reply::simple("Background saving started"));
  const Reply again = run({"BGSAVE", "SCHEDULE"});
  EXPECT_TRUE(again == Reply::simple("Background saving scheduled") || again == Reply::simple("Background saving started"))
      << again.text;
  wait_idle();
  EXPECT_FALSE(ctx.bgsave_scheduled->load()) << "a scheduled save never ran";

  EXPECT_TRUE(persist::close(*ctx.store).ok());
  EXPECT_EQ(run({"SAVE"}), err("ERR save failed: store is closed"));
  std::filesystem::remove_all(dir);
}

// A reopened store reports the save it was loaded from, and a new save replaces it.
TEST(PersistenceCommands, LastsaveReportsTheLoadedSnapshotUntilTheNextSave) {
  const auto dir = std::filesystem::temp_directory_path() / ("vellum-lastsave-" + std::to_string(monotonic_ns()));
  std::filesystem::remove_all(dir);
  StoreConfig config;
  config.persist_dir = dir.string();
  config.snapshot_interval = 0;
  config.sweep_interval_ms = 0;
  {
    auto first = persist::open_store(config);
    ASSERT_TRUE(first.ok()) << first.error().text;
    ServerContext ctx;
    ctx.store = first.value();
    ConnectionState state = initial_connection_state(ctx);
    EXPECT_EQ(dispatch(ctx, state, {"LASTSAVE"}).reply, num(0)) << "a fresh directory has no save";
    ASSERT_EQ(dispatch(ctx, state, {"SET", "k", "v"}).reply, Reply::simple("OK"));
    ASSERT_TRUE(persist::close(*first.value()).ok());
  }
  // A snapshot from an hour ago, as a long-running server would have left it.
  const auto snapshot = dir / "snapshot.kvs";
  ASSERT_TRUE(std::filesystem::exists(snapshot));
  const auto written = std::filesystem::last_write_time(snapshot) - std::chrono::hours(1);
  std::filesystem::last_write_time(snapshot, written);
  const int64_t want = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::file_clock::to_sys(written).time_since_epoch())
                           .count();

  auto reopened = persist::open_store(config);
  ASSERT_TRUE(reopened.ok()) << reopened.error().text;
  ServerContext ctx;
  ctx.store = reopened.value();
  ConnectionState state = initial_connection_state(ctx);
  EXPECT_EQ(dispatch(ctx, state, {"LASTSAVE"}).reply, num(want));
  ASSERT_EQ(dispatch(ctx, state, {"SAVE"}).reply, Reply::simple("OK"));
  EXPECT_GE(dispatch(ctx, state, {"LASTSAVE"}).reply.integer, want + 3000);
  EXPECT_TRUE(persist::close(*ctx.store).ok());
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

// ---- HELLO, CLIENT and the introspection commands ----

const std::string kNoPassSet =
    "ERR AUTH <password> called without any password configured for the default user. Are you sure your "
    "configuration is correct?";

Reply hello_props(int proto, int64_t id) {
  return Reply::map({bulk("server"), bulk("vellum"), bulk("version"), bulk("0.1.0"), bulk("proto"), num(proto),
                     bulk("id"), num(id), bulk("mode"), bulk("standalone"), bulk("role"), bulk("master"),
                     bulk("modules"), Reply::array({})});
}

TEST_F(DispatchTest, HelloWithoutPassword) {
  state_.id = 42;
  run_cases({
      {{}, {"HELLO"}, hello_props(2, 42)},
      {{}, {"HELLO", "4"}, err("NOPROTO unsupported protocol version")},
      {{}, {"HELLO", "1"}, err("NOPROTO unsupported protocol version")},
      {{}, {"HELLO", "x"}, err("ERR Protocol version is not an integer or out of range")},
      {{}, {"HELLO", "3", "AUTH", "default"}, err("ERR Syntax error in HELLO option 'AUTH'")},
      {{}, {"HELLO", "3", "SETNAME"}, err("ERR Syntax error in HELLO option 'SETNAME'")},
      {{}, {"HELLO", "3", "bogus"}, err("ERR Syntax error in HELLO option 'bogus'")},
      {{}, {"HELLO", "3", "AUTH", "alice", "x"}, err("WRONGPASS invalid password")},
      {{}, {"HELLO", "3", "SETNAME", "a b"},
       err("ERR Client names cannot contain spaces, newlines or special characters.")},
  });
  EXPECT_EQ(state_.protocol, kResp2) << "a refused HELLO switched the protocol";
  EXPECT_EQ(state_.name, "");
  EXPECT_EQ(run({"HELLO", "3", "AUTH", "default", "anything", "SETNAME", "web-1"}), hello_props(3, 42));
  EXPECT_EQ(state_.protocol, kResp3);
  EXPECT_EQ(run({"CLIENT", "GETNAME"}), bulk("web-1"));
  // Under version 3 maps and sets keep their kinds; under 2 they are the arrays of before.
  ASSERT_EQ(run({"HSET", "h", "f", "v"}), num(1));
  ASSERT_EQ(run({"SADD", "s", "m"}), num(1));
  EXPECT_EQ(run({"HGETALL", "h"}), Reply::map({bulk("f"), bulk("v")}));
  EXPECT_EQ(run({"SMEMBERS", "s"}), Reply::set({bulk("m")}));
  EXPECT_EQ(run({"HELLO", "2"}), hello_props(2, 42));
  EXPECT_EQ(run({"HGETALL", "h"}), Reply::array({bulk("f"), bulk("v")}));
  EXPECT_EQ(run({"SMEMBERS", "s"}), Reply::array({bulk("m")}));
}

TEST_F(DispatchTest, HelloAndAuthWithPassword) {
  make_context("s3cret");
  const std::string hello_noauth =
      "NOAUTH HELLO must be called with the client already authenticated, otherwise the HELLO <proto> AUTH "
      "<user> <pass> option can be used to authenticate the client and select the RESP protocol version at the "
      "same time";
  struct Step {
    Request request;
    Reply want;
    bool authenticated;
  };
  const std::vector<Step> steps = {
      {{"HELLO", "3"}, err(hello_noauth), false},
      {{"HELLO", "3", "AUTH", "default", "wrong"}, err("WRONGPASS invalid password"), false},
      {{"HELLO", "3", "AUTH", "admin", "s3cret"}, err("WRONGPASS invalid password"), false},
      {{"HELLO", "5", "AUTH", "default", "s3cret"}, err("NOPROTO unsupported protocol version"), false},
      {{"CLIENT", "ID"}, err(kNoAuth), false},
      {{"HELLO", "3", "AUTH", "default", "s3cret"}, hello_props(3, 0), true},
      {{"HELLO", "2", "AUTH", "default", "bad"}, err("WRONGPASS invalid password"), false},
      {{"AUTH", "default", "s3cret"}, Reply::simple("OK"), true},
      {{"AUTH", "other", "s3cret"}, err("WRONGPASS invalid password"), false},
      {{"AUTH", "s3cret"}, Reply::simple("OK"), true},
      {{"HELLO"}, hello_props(3, 0), true},
  };
  for (const Step& s : steps) {
    std::string shown;
    for (const auto& a : s.request) shown += a + " ";
    EXPECT_EQ(run(s.request), s.want) << shown;
    EXPECT_EQ(state_.authenticated, s.authenticated) << shown;
  }
  EXPECT_EQ(state_.protocol, kResp3) << "a refused HELLO changed the protocol";
}

TEST_F(DispatchTest, ClientSubcommandsAndRegistry) {
  state_.id = ctx_.clients->add("10.0.0.1:999", 0);
  ConnectionState other = initial_connection_state(ctx_);
  other.id = ctx_.clients->add("10.0.0.2:7", 0);
  const std::string bad_name = "ERR Client names cannot contain spaces, newlines or special characters.";
  auto unknown_sub = [](std::string sub) {
    return "ERR unknown subcommand or wrong number of arguments for '" + sub + "'. Try CLIENT HELP.";
  };
  run_cases({
      {{}, {"CLIENT", "GETNAME"}, Reply::null()},
      {{}, {"CLIENT", "ID"}, num(state_.id)},
      {{}, {"client", "setname", "a b"}, err(bad_name)},
      {{}, {"CLIENT", "SETNAME", "x\n"}, err(bad_name)},
      {{}, {"CLIENT", "SETNAME"}, err(unknown_sub("SETNAME"))},
      {{}, {"CLIENT", "KILL"}, err(unknown_sub("KILL"))},
      {{}, {"CLIENT", "SETINFO", "LIB-NAME", "redis-py"}, Reply::simple("OK")},
      {{}, {"CLIENT", "SETINFO", "lib-ver", "8.2.0"}, Reply::simple("OK")},
      {{},
       {"CLIENT", "SETINFO", "LIB-VER", "1 2"},
       err("ERR lib-ver cannot contain spaces, newlines or special characters.")},
      {{}, {"CLIENT", "SETINFO", "COLOUR", "x"}, err("ERR Unrecognized option 'COLOUR'")},
      {{}, {"CLIENT", "SETNAME", "conn-1"}, Reply::simple("OK")},
      {{}, {"CLIENT", "GETNAME"}, bulk("conn-1")},
  });
  ASSERT_EQ(dispatch(ctx_, other, {"CLIENT", "SETNAME", "peer"}).reply, Reply::simple("OK"));
  const std::string me = run({"CLIENT", "INFO"}).text;
  EXPECT_TRUE(me.starts_with("id=" + std::to_string(state_.id) + " addr=10.0.0.1:999 name=conn-1 age=")) << me;
  EXPECT_TRUE(me.ends_with(" db=0 resp=2 lib-name=redis-py lib-ver=8.2.0\n")) << me;
  const std::string list = run({"CLIENT", "LIST"}).text;
  EXPECT_EQ(list.substr(0, me.size()), me);
  EXPECT_TRUE(list.substr(me.size()).starts_with("id=" + std::to_string(other.id) + " addr=10.0.0.2:7 name=peer "))
      << list;
  // Filters: every connection is of type normal; ID keeps the named connections.
  EXPECT_EQ(run({"CLIENT", "LIST", "TYPE", "normal"}).text, list);
  for (const char* type : {"master", "replica", "pubsub"}) {
    EXPECT_EQ(run({"CLIENT", "LIST", "type", type}), Reply::verbatim("")) << type;
  }
  EXPECT_EQ(run({"CLIENT", "LIST", "TYPE", "x"}), err("ERR Unknown client type 'x'"));
  EXPECT_EQ(run({"CLIENT", "LIST", "ID", std::to_string(state_.id)}).text, me);
  EXPECT_EQ(run({"CLIENT", "LIST", "ID", std::to_string(other.id), std::to_string(state_.id), "99999"}).text, list);
  EXPECT_EQ(run({"CLIENT", "LIST", "ID", "99999"}).text, "");
  EXPECT_EQ(run({"CLIENT", "LIST", "ID", "x"}), err("ERR Invalid client ID"));
  EXPECT_EQ(run({"CLIENT", "LIST", "ID"}), err(kSyntax));
  EXPECT_EQ(run({"CLIENT", "LIST", "TYPE", "master", "ID", std::to_string(state_.id)}).text, "");
  ctx_.clients->remove(other.id);
  EXPECT_EQ(run({"CLIENT", "LIST"}).text, me);
  EXPECT_NE(run({"INFO", "clients"}).text.find("\r\nconnected_clients:1\r\n"), std::string::npos);
}

// CLIENT KILL withdraws the connections its filters match at once, interrupting each one's
// reads; the caller is skipped unless SKIPME no, and then closes after its reply.
TEST_F(DispatchTest, ClientKillFiltersAndWithdraws) {
  int interrupted_a = 0, interrupted_b = 0;
  state_.id = ctx_.clients->add("10.0.0.1:1", 0, [] { ADD_FAILURE() << "the caller's own reads were interrupted"; });
  const int64_t a = ctx_.clients->add("10.0.0.2:2", 0, [&] { ++interrupted_a; });
  const int64_t b = ctx_.clients->add("10.0.0.3:3", 0, [&] { ++interrupted_b; });
  const std::string me = std::to_string(state_.id);
  run_cases({
      {{}, {"CLIENT", "KILL", "ID", "0"}, err("ERR client-id should be greater than 0")},
      {{}, {"CLIENT", "KILL", "ID", "x"}, err("ERR client-id should be greater than 0")},
      {{}, {"CLIENT", "KILL", "ADDR", "10.0.0.2:2", "SKIPME"}, err(kSyntax)},
      {{}, {"CLIENT", "KILL", "SKIPME", "maybe"}, err(kSyntax)},
      {{}, {"CLIENT", "KILL", "COLOUR", "red"}, err(kSyntax)},
      {{}, {"CLIENT", "KILL", "MAXAGE", "-1"}, err(kSyntax)},
      {{}, {"CLIENT", "KILL", "TYPE", "x"}, err("ERR Unknown client type 'x'")},
      {{}, {"CLIENT", "KILL", "10.9.9.9:9"}, err("ERR No such client")},
      // Filters that match nobody: another type, another user, an id or address not listed,
      // an age not reached, or only the caller (skipped).
      {{}, {"CLIENT", "KILL", "TYPE", "pubsub"}, num(0)},
      {{}, {"CLIENT", "KILL", "USER", "alice"}, num(0)},
      {{}, {"CLIENT", "KILL", "ID", "99999"}, num(0)},
      {{}, {"CLIENT", "KILL", "ID", std::to_string(b), "ADDR", "10.0.0.2:2"}, num(0)},
      {{}, {"CLIENT", "KILL", "MAXAGE", "100000000000"}, num(0)},
      {{}, {"CLIENT", "KILL", "ID", me}, num(0)},
      // Each filter kind, one connection at a time.
      {{}, {"CLIENT", "KILL", "ID", std::to_string(a), "USER", "default", "TYPE", "normal"}, num(1)},
      {{}, {"CLIENT", "KILL", "ID", std::to_string(a)}, num(0)},
      {{}, {"CLIENT", "KILL", "10.0.0.3:3"}, Reply::simple("OK")},
  });
  EXPECT_EQ(interrupted_a, 1);
  EXPECT_EQ(interrupted_b, 1);
  EXPECT_EQ(ctx_.clients->size(), 1u);
  EXPECT_FALSE(state_.closing);
  // Killing itself: the reply is given, then the connection closes; its reads are never
  // interrupted under it.
  const DispatchResult self = dispatch(ctx_, state_, {"CLIENT", "KILL", "ID", me, "SKIPME", "no"});
  EXPECT_EQ(self.reply, num(1));
  EXPECT_TRUE(self.close);
  EXPECT_EQ(ctx_.clients->size(), 0u);
}

TEST_F(DispatchTest, CommandIntrospection) {
  const Reply count_reply = run({"COMMAND", "COUNT"});
  ASSERT_EQ(count_reply.kind, Reply::Kind::Integer);
  const Reply all = run({"COMMAND"});
  const Reply names = run({"COMMAND", "LIST"});
  EXPECT_EQ(static_cast<int64_t>(all.elements.size()), count_reply.integer);
  EXPECT_EQ(static_cast<int64_t>(names.elements.size()), count_reply.integer);
  EXPECT_EQ(run({"COMMAND", "INFO"}), all);
  auto entry = [](std::string name, int64_t arity, std::vector<std::string> flags, int first, int last, int step) {
    std::vector<Reply> f;
    for (auto& s : flags) f.push_back(Reply::simple(s));
    return Reply::array({bulk(std::move(name)), num(arity), Reply::set(std::move(f)), num(first), num(last), num(step),
                         Reply::set({}), Reply::set({}), Reply::array({}), Reply::array({})});
  };
  EXPECT_EQ(run({"COMMAND", "INFO", "get", "nosuch", "MSET", "auth", "ping"}),
            Reply::array({entry("get", 2, {"readonly"}, 1, 1, 1), Reply::null(),
                          entry("mset", -3, {"write"}, 1, -1, 2), entry("auth", -2, {"no_auth", "fast"}, 0, 0, 0),
                          entry("ping", -1, {"fast"}, 0, 0, 0)}));
  for (const Reply& e : all.elements) {
    const std::string& name = e.elements[0].text;
    EXPECT_EQ(run({"COMMAND", "INFO", name}), Reply::array({e})) << name;
  }
  run_cases({
      {{}, {"COMMAND", "GETKEYS", "MSET", "a", "1", "b", "2"}, Reply::array({bulk("a"), bulk("b")})},
      {{}, {"COMMAND", "GETKEYS", "get", "k"}, Reply::array({bulk("k")})},
      {{}, {"COMMAND", "GETKEYS", "DEL", "a", "b", "c"}, Reply::array({bulk("a"), bulk("b"), bulk("c")})},
      {{}, {"COMMAND", "GETKEYS", "MSET", "a"}, err("ERR Invalid number of arguments specified for command")},
      {{}, {"COMMAND", "GETKEYS", "PING"}, err("ERR The command has no key arguments")},
      {{}, {"COMMAND", "GETKEYS", "NOSUCH", "k"}, err("ERR Invalid command specified")},
      {{}, {"COMMAND", "DOCS", "get", "nosuch"}, Reply::map({bulk("get"), Reply::map({bulk("arity"), num(2)})})},
      {{},
       {"COMMAND", "BOGUS"},
       err("ERR unknown subcommand or wrong number of arguments for 'BOGUS'. Try COMMAND HELP.")},
  });
}

TEST_F(DispatchTest, ConfigTimeAndInfoSections) {
  auto kv = [](std::vector<std::string> items) {
    std::vector<Reply> out;
    for (auto& s : items) out.push_back(bulk(std::move(s)));
    return Reply::map(std::move(out));
  };
  run_cases({
      {{}, {"CONFIG", "GET", "maxmemory"}, kv({"maxmemory", "0"})},
      {{}, {"CONFIG", "GET", "MAXMEMORY*"}, kv({"maxmemory", "0", "maxmemory-policy", "noeviction"})},
      {{}, {"CONFIG", "GET", "databases", "appendfsync", "save"},
       kv({"appendfsync", "everysec", "save", "", "databases", "1"})},
      {{}, {"CONFIG", "GET", "nosuch"}, kv({})},
      {{}, {"CONFIG", "GET", "*"}, kv({"maxmemory", "0", "maxmemory-policy", "noeviction", "appendonly", "no",
                                       "appendfsync", "everysec", "save", "", "databases", "1"})},
      {{}, {"CONFIG", "SET", "maxmemory", "10"},
       err("ERR CONFIG SET is not supported: settings are fixed when the server starts ('maxmemory')")},
      {{}, {"CONFIG", "GET"}, err("ERR unknown subcommand or wrong number of arguments for 'GET'. Try CONFIG HELP.")},
      {{}, {"TIME", "x"}, err("ERR wrong number of arguments for 'time' command")},
  });
  clock_->now = 1'700'000'123'456;
  EXPECT_EQ(run({"TIME"}), Reply::array({bulk("1700000123"), bulk("456000")}));

  ctx_.started_ms = ~uint64_t{0};
  const std::string server = run({"INFO", "server"}).text;
  EXPECT_EQ(server, "# Server\r\nuptime_in_seconds:0\r\ndatabases:1\r\n");
  EXPECT_EQ(run({"INFO", "SERVER", "server"}).text, server);
  ASSERT_EQ(run({"SET", "a", "1"}), Reply::simple("OK"));
  (void)run({"GET", "a"});
  (void)run({"GET", "missing"});
  const std::string two = run({"INFO", "stats", "server"}).text;
  EXPECT_EQ(two,
            server + "\r\n# Stats\r\nkeyspace_hits:1\r\nkeyspace_misses:1\r\nevicted_keys:0\r\nexpired_keys:0\r\n");
  EXPECT_EQ(run({"INFO", "nosuch"}).text, "");
  const std::string all = run({"INFO", "all"}).text;
  for (std::string_view head : {"# Server\r\n", "# Clients\r\n", "# Memory\r\n", "# Stats\r\n", "# Persistence\r\n",
                                "# Keyspace\r\n", "\r\nmaxmemory:0\r\nmaxmemory_policy:noeviction\r\n"}) {
    EXPECT_NE(all.find(head), std::string::npos) << head;
  }
  EXPECT_EQ(run({"INFO", "default"}), run({"INFO"}));
}

}  // namespace
}  // namespace vellum::server
