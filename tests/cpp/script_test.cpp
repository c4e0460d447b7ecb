// Server-side scripts: conversions between replies and Lua values, the sandbox, the script
// cache, the keys a script may name, atomicity against other connections, the log record
// of a script's writes, and the bounds on a run (time, SCRIPT KILL, memory, C stack).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/store.h"
#include "persist/data_dir.h"
#include "persist_util.h"
#include "server_conn.h"
#include "server/commands.h"
#include "server/sha1.h"

namespace vellum {
namespace {

using server::Reply;
using server::Request;
using server::Scripts;
using server::ServerContext;
using testing::Enc;
using testing::read_file;

struct Conn : testing::Conn {
  using testing::Conn::Conn;
  // EVAL of `script` over `keys` then `args`.
  Reply eval(const std::string& script, const std::vector<Bytes>& keys = {}, const std::vector<Bytes>& args = {},
             const char* command = "EVAL") {
    Request r = {command, script, std::to_string(keys.size())};
    r.insert(r.end(), keys.begin(), keys.end());
    r.insert(r.end(), args.begin(), args.end());
    return (*this)(r);
  }
};

bool error_has(const Reply& r, std::string_view part) {
  return r.kind == Reply::Kind::Error && r.text.find(part) != std::string::npos;
}

struct ScriptTest : testing::PersistFixture {
  ServerContext ctx;
  ScriptTest() { use_memory(); }
  void use_memory(uint64_t shards = 64) {
    StoreConfig c;
    c.shards = shards;
    c.sweep_interval_ms = 0;
    ctx.store = Store::create(c, clock, false);
  }
  void limits(uint64_t time_limit_ms, uint64_t memory_limit = server::kDefaultScriptMemoryLimit) {
    ctx.scripts = std::make_shared<Scripts>(time_limit_ms, memory_limit);
  }
  Bytes key_in_other_shard(BytesView than) { return testing::key_in_other_shard(*ctx.store, than); }
};

const Reply kOk = Reply::simple("OK");
Reply bulk(const char* s) { return Reply::bulk(s); }
Reply num(int64_t v) { return Reply::from_int(v); }

TEST(Sha1, KnownDigestsAcrossPaddingBoundaries) {
  EXPECT_EQ(server::sha1_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(server::sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // 56 bytes: the length no longer fits the first padded block.
  EXPECT_EQ(server::sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(server::sha1_hex("The quick brown fox jumps over the lazy dog"),
            "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
  EXPECT_EQ(server::sha1_hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

struct ConversionCase {
  const char* script;
  Reply expected;
};

TEST_F(ScriptTest, RepliesBecomeLuaValuesAndBack) {
  Conn c(ctx);
  ASSERT_EQ(c({"SET", "s", "text"}), kOk);
  ASSERT_EQ(c({"HSET", "h", "f", "v"}), num(1));
  const ConversionCase cases[] = {
      {"return 1", num(1)},
      {"return 3.99", num(3)},
      {"return -2.5", num(-2)},
      {"return 1e30", num(INT64_MAX)},
      {"return -1e30", num(INT64_MIN)},
      {"return 0/0", num(0)},
      {"return 'x'", bulk("x")},
      {"return true", num(1)},
      {"return false", Reply::null()},
      {"return nil", Reply::null()},
      {"return {1, 'a', {2, {}}}", Reply::array({num(1), bulk("a"), Reply::array({num(2), Reply::array({})})})},
      {"return {1, nil, 3}", Reply::array({num(1)})},
      {"return {1, x = 2}", Reply::array({num(1)})},
      {"return {ok = 'FINE'}", Reply::simple("FINE")},
      {"return {err = 'MINE went wrong'}", Reply::error("MINE went wrong")},
      {"return redis.status_reply('DONE')", Reply::simple("DONE")},
      {"return redis.error_reply('ERR custom')", Reply::error("ERR custom")},
      {"return function() end", Reply::null()},
      {"return {KEYS[1], KEYS[2], ARGV[1], #KEYS, #ARGV}", Reply::array({bulk("s"), bulk("h"), bulk("a1"), num(5), num(1)})},
      // Command replies seen from Lua: bulk -> string, null -> false, integer -> number,
      // status -> {ok}, error -> {err} through pcall, array -> table.
      {"return redis.call('GET', KEYS[1])", bulk("text")},
      {"return type(redis.call('get', 'missing'))", bulk("boolean")},
      {"return redis.call('exists', KEYS[1]) + 41", num(42)},
      {"return redis.call('set', 'fresh', 'v')", kOk},
      {"return redis.call('set', 'fresh', 'v').ok", bulk("OK")},
      {"return redis.pcall('incr', KEYS[1]).err", bulk("ERR value is not an integer or out of range")},
      {"return redis.pcall('incr', KEYS[1])", Reply::error("ERR value is not an integer or out of range")},
      {"return redis.call('hgetall', KEYS[2])", Reply::array({bulk("f"), bulk("v")})},
      {"return redis.call('incrby', 'n', 5) + redis.call('incrby', 'n', 2.0)", num(12)},
      {"return redis.call('ping')", Reply::simple("PONG")},
      {"return redis.sha1hex('abc')", bulk("a9993e364706816aba3e25717850c26c9cd0d89d")},
      {"redis.log(redis.LOG_WARNING, 'note') return redis.LOG_DEBUG + redis.LOG_NOTICE", num(2)},
  };
  for (const auto& [script, expected] : cases) {
    // Keys the script writes are declared, so every case runs with the same KEYS.
    EXPECT_EQ(c.eval(script, {"s", "h", "fresh", "n", "missing"}, {"a1"}), expected) << script;
  }
  // A false value from a command and a missing key read the same.
  EXPECT_EQ(c.eval("return redis.call('get', KEYS[1]) == false", {"missing"}), num(1));
  // A failing redis.call raises the command's error unchanged, and pcall catches it.
  EXPECT_EQ(c.eval("return redis.call('incr', KEYS[1])", {"s"}),
            Reply::error("ERR value is not an integer or out of range"));
  EXPECT_EQ(c.eval("local ok, e = pcall(redis.call, 'incr', KEYS[1]) return {ok, e.err}", {"s"}),
            Reply::array({Reply::null(), bulk("ERR value is not an integer or out of range")}));
  EXPECT_TRUE(error_has(c.eval("return redis.call()"), "at least one argument"));
  EXPECT_TRUE(error_has(c.eval("return redis.call('get', {})"), "strings or integers"));
  EXPECT_TRUE(error_has(c.eval("error('boom')"), "boom"));
  EXPECT_EQ(c.eval("error({err = 'CODE from a table'})"), Reply::error("CODE from a table"));
}

TEST_F(ScriptTest, RespThreeClientsGetTheSameShapes) {
  Conn c(ctx);
  ASSERT_EQ(c({"HELLO", "3"}).kind, Reply::Kind::Map);
  ASSERT_EQ(c({"HSET", "h", "f", "v"}), num(1));
  EXPECT_EQ(c.eval("return redis.call('hgetall', KEYS[1])", {"h"}), Reply::array({bulk("f"), bulk("v")}));
  EXPECT_EQ(c.eval("return {ok = 'S'}"), Reply::simple("S"));
  EXPECT_EQ(c.eval("return false"), Reply::null());
}

TEST_F(ScriptTest, SandboxRefusesEachForbiddenThing) {
  Conn c(ctx);
  // Each forbidden library or function is absent, and each refusal says why.
  const std::pair<const char*, const char*> refused[] = {
      {"io.write('x')", "a nil value"},
      {"os.exit(1)", "a nil value"},
      {"os.execute('true')", "a nil value"},
      {"os.getenv('HOME')", "a nil value"},
      {"require('os')", "a nil value"},
      {"loadfile('/etc/passwd')", "a nil value"},
      {"dofile('/etc/passwd')", "a nil value"},
      {"load(function() return nil end)", "a nil value"},
      {"print('x')", "a nil value"},
      {"debug.getinfo(1)", "a nil value"},
      {"setfenv(1, {})", "a nil value"},
      {"getfenv(1)", "a nil value"},
      {"coroutine.create(function() end)", "a nil value"},
      {"string.dump(function() end)", "a nil value"},
      {"newproxy(true)", "a nil value"},
      {"module('m')", "a nil value"},
      {"package.loaded.x = 1", "a nil value"},
      {"created = 1", "create global variable 'created'"},
      {"rawset(_G, 'created', 1)", "global variable with rawset"},
      {"function named() end", "create global variable 'named'"},
      {"setmetatable(_G, nil)", "protected metatable"},
  };
  for (const auto& [script, why] : refused) {
    const Reply r = c.eval(script);
    EXPECT_TRUE(error_has(r, why)) << script << ": " << r.text;
  }
  // The refused global was not created after all.
  EXPECT_EQ(c.eval("return created == nil"), num(1));
  EXPECT_EQ(c.eval("return getmetatable(_G)"), Reply::null());
  // Text chunks load; binary ones do not.
  EXPECT_EQ(c.eval("return loadstring('return 1 + 1')()"), num(2));
  EXPECT_EQ(c.eval("local f, e = loadstring('\\27Lua\\81\\0') return e"), bulk("loading binary chunks is not allowed"));
  EXPECT_TRUE(error_has(c.eval("\x1bLua\x51"), "binary chunks are not allowed"));
  // What stays: string, table, math, bit, os.clock, undeclared reads giving nil, locals.
  EXPECT_EQ(c.eval("return {string.upper('a'), table.concat({'b', 'c'}, '-'), math.floor(2.7), bit.band(6, 3), "
                   "type(os.clock()), undeclared == nil, rawget(_G, 'x') == nil}"),
            Reply::array({bulk("A"), bulk("b-c"), num(2), num(2), bulk("number"), num(1), num(1)}));
  EXPECT_EQ(c.eval("local t = {} rawset(t, 'k', 5) return t.k"), num(5));
}

TEST_F(ScriptTest, ScriptCacheLoadExistsFlushAndNoscript) {
  Conn c(ctx);
  Conn other(ctx);
  const std::string script = "return ARGV[1]";
  const std::string sha = server::sha1_hex(script);
  const Reply noscript = Reply::error("NOSCRIPT No matching script. Please use EVAL.");
  EXPECT_EQ(c({"EVALSHA", sha, "0", "x"}), noscript);
  EXPECT_EQ(c({"SCRIPT", "LOAD", script}), Reply::bulk(sha));
  EXPECT_EQ(other({"EVALSHA", sha, "0", "x"}), bulk("x"));
  // A digest is matched in either letter case.
  std::string upper = sha;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(other({"EVALSHA_RO", upper, "0", "y"}), bulk("y"));
  // EVAL caches its script server-wide.
  const std::string second = "return 2";
  EXPECT_EQ(c.eval(second), num(2));
  EXPECT_EQ(other({"SCRIPT", "EXISTS", sha, server::sha1_hex(second), "ffff"}),
            Reply::array({num(1), num(1), num(0)}));
  // A script that does not compile is not cached.
  const Reply bad = c.eval("return +");
  EXPECT_TRUE(error_has(bad, "ERR Error compiling script")) << bad.text;
  EXPECT_EQ(c({"SCRIPT", "EXISTS", server::sha1_hex("return +")}), Reply::array({num(0)}));
  EXPECT_TRUE(error_has(c({"SCRIPT", "LOAD", "x ="}), "ERR Error compiling script"));
  // FLUSH forgets the texts and the functions compiled on every connection.
  EXPECT_EQ(c({"SCRIPT", "FLUSH"}), kOk);
  EXPECT_EQ(other({"EVALSHA", sha, "0", "x"}), noscript);
  EXPECT_EQ(c({"EVALSHA", server::sha1_hex(second), "0"}), noscript);
  EXPECT_EQ(c({"SCRIPT", "FLUSH", "ASYNC"}), kOk);
  EXPECT_EQ(c({"SCRIPT", "FLUSH", "LATER"}), Reply::error("ERR syntax error"));
  EXPECT_EQ(c({"SCRIPT", "KILL"}), Reply::error("NOTBUSY No scripts in execution right now."));
  EXPECT_TRUE(error_has(c({"SCRIPT", "NOPE"}), "unknown subcommand"));
  // Argument checks.
  EXPECT_EQ(c({"EVAL", "return 1", "x"}), Reply::error("ERR value is not an integer or out of range"));
  EXPECT_EQ(c({"EVAL", "return 1", "-1"}), Reply::error("ERR Number of keys can't be negative"));
  EXPECT_EQ(c({"EVAL", "return 1", "2", "k"}), Reply::error("ERR Number of keys can't be greater than number of args"));
}

TEST_F(ScriptTest, ScriptsCallOnlyTheCommandsAllowedToThem) {
  Conn c(ctx);
  const std::vector<Bytes> keys = {"a"};
  const char* refused[] = {
      "return redis.call('eval', 'return 1', 0)",
      "return redis.call('multi')",
      "return redis.call('watch', 'a')",
      "return redis.call('client', 'id')",
      "return redis.call('nosuch')",
      "return redis.call('get')",  // arity
  };
  for (const char* script : refused) {
    const Reply r = c.eval(script, keys);
    EXPECT_EQ(r.kind, Reply::Kind::Error) << script;
  }
  EXPECT_EQ(c.eval("return redis.call('echo', 'x')", keys), bulk("x"));
  EXPECT_EQ(c.eval("return #redis.call('time')", keys), num(2));
  // Read-only scripts read and may not write; nothing they tried is left behind.
  EXPECT_EQ(c({"SET", "a", "1"}), kOk);
  EXPECT_EQ(c.eval("return redis.call('get', KEYS[1])", keys, {}, "EVAL_RO"), bulk("1"));
  EXPECT_EQ(c.eval("return redis.call('set', KEYS[1], 'x')", keys, {}, "EVAL_RO"),
            Reply::error("ERR Write commands are not allowed from read-only scripts."));
  EXPECT_EQ(c({"GET", "a"}), bulk("1"));
}

// A script that names an undeclared key or a keyspace command before it writes runs again
// from the start holding every shard; the dropped run leaves no trace, even when the
// script caught the refusal with pcall. After a write, or inside a transaction, it is an
// error, and what the script wrote stands.
TEST_F(ScriptTest, ScriptsBeyondTheirDeclaredKeysRunAgainHoldingEveryShard) {
  Conn c(ctx);
  const std::vector<Bytes> keys = {"a"};
  for (const char* k : {"b", "LIMITS:x", "LIMITS:y", "LIMITS:z"}) ASSERT_EQ(c({"SET", k, "v"}), kOk);
  EXPECT_EQ(c.eval("return redis.call('get', 'b')", keys), bulk("v"));
  EXPECT_EQ(c.eval("return redis.call('get', 'b')", keys, {}, "EVAL_RO"), bulk("v"));
  EXPECT_EQ(c.eval("return redis.call('dbsize')", keys), num(4));
  EXPECT_EQ(c.eval("local v = redis.call('get', 'b') redis.call('incr', KEYS[1]) return v", keys), bulk("v"));
  EXPECT_EQ(c.eval("redis.pcall('get', 'b') return redis.call('incr', KEYS[1])", keys), num(2));
  EXPECT_EQ(c.eval("return redis.call('mset', 'a', 5, 'b', 6)", keys), kOk);
  EXPECT_EQ(c({"GET", "b"}), bulk("6"));
  // A rate limiter's clear script: KEYS then DEL of what it found, in batches.
  const char* clear =
      "local keys = redis.call('keys', KEYS[1]) local res = 0 "
      "for i=1,#keys,2 do res = res + redis.call('del', unpack(keys, i, math.min(i+1, #keys))) end return res";
  EXPECT_EQ(c.eval(clear, {"LIMITS:*"}), num(3));
  EXPECT_EQ(c({"DBSIZE"}), num(2));

  EXPECT_TRUE(error_has(c.eval("redis.call('set', KEYS[1], 'w') return redis.call('get', 'b')", keys),
                        "'b' is not among them"));
  EXPECT_TRUE(error_has(c.eval("redis.call('set', KEYS[1], 'w2') return redis.call('keys', '*')", keys),
                        "'keys' spans the key space"));
  EXPECT_EQ(c({"GET", "a"}), bulk("w2"));
  EXPECT_EQ(c({"MULTI"}), kOk);
  EXPECT_EQ(c({"EVAL", "return redis.call('get', 'b')", "1", "a"}), Reply::simple("QUEUED"));
  const Reply exec = c({"EXEC"});
  ASSERT_EQ(exec.kind, Reply::Kind::Array);
  EXPECT_TRUE(error_has(exec.elements.at(0), "'b' is not among them"));
}

TEST_F(ScriptTest, KeyPositionsServeGetkeysAndExec) {
  Conn c(ctx);
  EXPECT_EQ(c({"COMMAND", "GETKEYS", "EVAL", "return 1", "2", "a", "b", "arg"}),
            Reply::array({bulk("a"), bulk("b")}));
  EXPECT_EQ(c({"COMMAND", "GETKEYS", "EVALSHA_RO", "abc", "1", "k"}), Reply::array({bulk("k")}));
  EXPECT_EQ(c({"COMMAND", "GETKEYS", "SINTERCARD", "3", "x", "y", "z", "LIMIT", "1"}),
            Reply::array({bulk("x"), bulk("y"), bulk("z")}));
  EXPECT_EQ(c({"COMMAND", "GETKEYS", "EVAL", "return 1", "0"}),
            Reply::error("ERR The command has no key arguments"));
  // A script queued in a transaction runs inside its batch, over its declared keys.
  const Bytes b = key_in_other_shard("a");
  EXPECT_EQ(c({"MULTI"}), kOk);
  EXPECT_EQ(c({"SET", "a", "1"}), Reply::simple("QUEUED"));
  EXPECT_EQ(c({"EVAL", "redis.call('incr', KEYS[1]) return redis.call('incrby', KEYS[2], 10)", "2", "a", b}),
            Reply::simple("QUEUED"));
  EXPECT_EQ(c({"EXEC"}), Reply::array({kOk, num(10)}));
  EXPECT_EQ(c({"GET", "a"}), bulk("2"));
}

// Writers move one unit between two keys in separate shards in one script, with work in
// between; readers read both in one script. A reader that saw half a script would see a
// sum other than zero.
TEST_F(ScriptTest, AScriptIsAtomicAgainstOtherConnections) {
  use_memory(8);
  const Bytes a = "a";
  const Bytes b = key_in_other_shard(a);
  std::atomic<bool> bad{false};
  testing::run_together(4, [&](int t) {
    Conn c(ctx);
    for (int i = 0; i < 1000; ++i) {
      if (t < 2) {
        const Reply r = c.eval("return (tonumber(redis.call('get', KEYS[1])) or 0) + "
                               "(tonumber(redis.call('get', KEYS[2])) or 0)",
                               {a, b}, {}, "EVAL_RO");
        if (r != num(0)) bad = true;
      } else {
        const Reply r = c.eval("redis.call('incrby', KEYS[1], 1) local x = 0 for i = 1, 2000 do x = x + i end "
                               "return redis.call('incrby', KEYS[2], -1)",
                               {a, b});
        if (r.kind != Reply::Kind::Integer) bad = true;
      }
    }
  });
  EXPECT_FALSE(bad);
  EXPECT_EQ(ctx.store->get("a").value(), std::optional<Bytes>("2000"));
}

TEST_F(ScriptTest, AScriptsWritesAreOneLogRecordReplayedWhole) {
  {
    ctx.store = open(FsyncPolicy::Always);
    Conn c(ctx);
    // Reads log nothing; the writes, with a failing command in between, log one batch.
    ASSERT_EQ(c.eval("return redis.call('get', KEYS[1])", {"a"}), Reply::null());
    ASSERT_EQ(c.eval("redis.call('set', KEYS[1], '1') redis.pcall('incr', KEYS[2]) "
                     "return redis.call('rpush', KEYS[3], 'x', 'y')",
                     {"a", "nothing", "l"}),
              num(2));
    ctx.store.reset();
  }
  const std::string sub_set = Enc::op(1) + Enc::u64(0) + Enc::bytes("a") + "1";
  const std::string sub_incr = Enc::op(1) + Enc::u64(0) + Enc::bytes("nothing") + "1";
  const std::string sub_push = Enc::op(7) + Enc::bytes("l") + Enc::list({"x", "y"});
  const std::string seg = read_file(dir.file("wal-0.log"));
  EXPECT_EQ(seg, Enc::record(Enc::op(13) + Enc::list({sub_set, sub_incr, sub_push})));
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->get("a").value(), std::optional<Bytes>("1"));
  EXPECT_EQ(s->get("nothing").value(), std::optional<Bytes>("1"));
  EXPECT_TRUE(s->exists("l"));
}

TEST_F(ScriptTest, TheTimeLimitStopsAScriptThatHasNotWritten) {
  limits(200);
  Conn c(ctx);
  const char* runaway[] = {
      "while true do end",
      // pcall and xpcall cannot catch the stop.
      "while true do pcall(function() while true do end end) end",
      "while true do xpcall(function() while true do end end, function(e) return e end) end",
      "local function spin() while true do end end while true do pcall(string.gsub, 'x', '.', spin) end",
  };
  for (const char* script : runaway) {
    const Reply r = c.eval(script, {"k"});
    EXPECT_TRUE(error_has(r, "time limit of 200 ms")) << script << ": " << r.text;
  }
  // One that wrote runs past the limit to its end: here a second of CPU time.
  const Reply done = c.eval("redis.call('set', KEYS[1], 'v') local t = os.clock() "
                            "while os.clock() - t < 1 do end return 'done'",
                            {"k"});
  EXPECT_EQ(done, bulk("done"));
  EXPECT_EQ(c({"GET", "k"}), bulk("v"));
  // The connection's interpreter still works.
  EXPECT_EQ(c.eval("return 7"), num(7));
}

TEST_F(ScriptTest, ScriptKillStopsOnlyAScriptThatHasNotWritten) {
  limits(600000);
  const Bytes other_key = key_in_other_shard("k");
  std::atomic<bool> done{false};
  Reply result;
  std::thread runner([&] {
    Conn c(ctx);
    result = c.eval("while true do end", {"k"});
    done = true;
  });
  Conn killer(ctx);
  // Other shards keep serving while the script holds its own.
  Reply kill;
  for (;;) {
    kill = killer({"SCRIPT", "KILL"});
    if (kill != Reply::error("NOTBUSY No scripts in execution right now.")) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  runner.join();
  EXPECT_EQ(kill, kOk);
  EXPECT_TRUE(error_has(result, "stopped by SCRIPT KILL")) << result.text;

  // A script that has written cannot be killed; it ends on its own. The kill may land in
  // the moment before the first write: that run is retried.
  bool unkillable_seen = false;
  for (int attempt = 0; attempt < 20 && !unkillable_seen; ++attempt) {
    std::thread writer([&] {
      Conn c(ctx);
      result = c.eval("redis.call('set', KEYS[1], 'w') local t = os.clock() while os.clock() - t < 0.5 do end "
                      "return 'finished'",
                      {"k"});
    });
    for (;;) {
      kill = killer({"SCRIPT", "KILL"});
      if (kill != Reply::error("NOTBUSY No scripts in execution right now.")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(killer({"SET", other_key, "served"}), kOk);
    writer.join();
    if (kill.kind == Reply::Kind::Error) {
      EXPECT_TRUE(error_has(kill, "UNKILLABLE")) << kill.text;
      EXPECT_EQ(result, bulk("finished"));
      unkillable_seen = true;
    } else {
      EXPECT_TRUE(error_has(result, "stopped by SCRIPT KILL")) << result.text;
    }
  }
  EXPECT_TRUE(unkillable_seen);
  EXPECT_EQ(killer({"GET", "k"}), bulk("w"));
}

TEST_F(ScriptTest, TheMemoryLimitEndsAScriptWithAnErrorAndTheConnectionGoesOn) {
  limits(600000, 8u << 20);
  Conn c(ctx);
  const char* hungry[] = {
      "local t = {} for i = 1, 1e8 do t[i] = string.rep('x', 64) .. i end",
      "return string.rep('x', 1e9)",
      "return pcall(string.rep, 'x', 1e9)",
      "local s = 'x' while true do s = s .. s end",
      "local t = {} while true do t[#t + 1] = {} end",
  };
  for (const char* script : hungry) {
    const Reply r = c.eval(script);
    EXPECT_TRUE(error_has(r, "out of memory")) << script << ": " << r.text;
    EXPECT_EQ(c.eval("return 'still here'"), bulk("still here"));
  }
}

TEST_F(ScriptTest, DeepRecursionIsAnErrorNotACrash) {
  Conn c(ctx);
  const char* deep[] = {
      // Nested C calls through string.gsub's callbacks.
      "local function f(s) return (string.gsub('x', '.', f)) end return f('x')",
      // Nested metamethods.
      "local t = setmetatable({}, {__index = function(t, k) return t[k] end}) return t.x",
      // Lua recursion without end.
      "local function f(n) return 1 + f(n + 1) end return f(1)",
      "local function f(...) local r = f(1, ...) return r end return f()",
      // Replies nested past the conversion's depth, and a table that contains itself.
      "local t = {} local c = t for i = 1, 1000 do c[1] = {} c = c[1] end return t",
      "local t = {} t[1] = t return t",
      // Comparisons recursing through table.sort.
      "local function f() table.sort({3, 2, 1}, function(a, b) f() return a < b end) end f()",
  };
  for (const char* script : deep) {
    EXPECT_EQ(c.eval(script).kind, Reply::Kind::Error) << script;
  }
  EXPECT_TRUE(error_has(c.eval(deep[0]), "C stack overflow"));
  EXPECT_EQ(c.eval("return 1"), num(1));
}

}  // namespace
}  // namespace vellum
