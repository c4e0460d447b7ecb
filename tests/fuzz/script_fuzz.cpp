// Fuzzes scripts through EVAL with the interpreter's bounds on (a 50 ms time limit and an
// 8 MiB interpreter). Fragments end their loops: a script that has written and never
// ends would run for good, which is the server's documented behaviour, not a finding. The first byte chooses the form of the rest: raw script text, or a
// script assembled from fragments (commands on declared and undeclared keys, errors and
// pcall, recursion, big strings and tables, conversions of odd values) picked by the
// following bytes. The connection, and so its interpreter, persists across inputs. On
// every input it checks that
//   - the reply encodes in both protocols;
//   - the key the script did not declare is untouched when the script was refused it;
//   - the store's memory accounting still adds up.
// Crashes, sanitizer reports and oversized allocations (-malloc_limit_mb) are failures.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/store.h"
#include "server/commands.h"

namespace {

using namespace vellum;
using namespace vellum::server;

void check(bool ok) {
  if (!ok) std::abort();
}

constexpr std::string_view kFragments[] = {
    "redis.call('set', KEYS[1], ARGV[1] or 'v') ",
    "redis.call('incr', KEYS[2]) ",
    "redis.pcall('incr', KEYS[1]) ",
    "redis.call('rpush', KEYS[3], 'a', 'b') ",
    "redis.call('hset', KEYS[2], 'f', 1) ",
    "redis.call('get', 'undeclared') ",
    "redis.call('set', 'undeclared', 'changed') ",
    "redis.call('del', KEYS[1], KEYS[2], KEYS[3]) ",
    "redis.call('keys', '*') ",
    "redis.call('eval', 'return 1', 0) ",
    "local x = redis.call('lrange', KEYS[3], 0, -1) ",
    "local ok, e = pcall(redis.call, 'nosuch') ",
    "local ok, e = pcall(error, {err = 'E'}) ",
    "error('fail') ",
    "error({err = 'MINE'}) ",
    "local s = string.rep('x', 4096) ",
    "local s = string.rep('ab', 1e7) ",
    "local t = {} for i = 1, 1000 do t[i] = i end ",
    "local t = {} for i = 1, 1e7 do t[i] = {} end ",
    "local function f(s) return (string.gsub('x', '.', f)) end f('x') ",
    "local function f(n) return f(n + 1) + 1 end f(1) ",
    "local t = setmetatable({}, {__index = function(t, k) return t[k] end}) local _ = t.x ",
    "for i = 1, 100 do local _ = tostring(i) .. 'x' end ",
    "global_name = 1 ",
    "loadstring('return 1')() ",
    "loadstring('\\27Lua')",
    "local x = bit.bxor(5, 3) ",
    "local x = cjson ",
    "local t = {} t[1] = t return t ",
    "return {1, 2.5, 'x', false, {ok = 'S'}, {err = 'E'}} ",
    "return redis.status_reply('S') ",
    "return redis.error_reply('E') ",
    "return 0/0 ",
    "return -1e300 ",
    "return redis.sha1hex(ARGV[1] or '') ",
    "return {KEYS, ARGV} ",
    // A loop past the time limit: stopped before a write, run to its end after one (a
    // script that has written and never ends would hold its keys for good, by design).
    "local t0 = os.clock() while os.clock() - t0 < 0.2 do end ",
    "if #KEYS > 1 then ",
    "end ",
    "for i = 1, 3 do ",
    "return ",
};

std::string assemble(const uint8_t* data, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) out += kFragments[data[i] % std::size(kFragments)];
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ServerContext ctx = [] {
    ServerContext c;
    StoreConfig config;
    config.shards = 4;
    config.sweep_interval_ms = 0;
    c.store = Store::create(config, nullptr, false);
    c.scripts = std::make_shared<Scripts>(50, uint64_t{8} << 20);
    return c;
  }();
  static ConnectionState state = initial_connection_state(ctx);
  if (size == 0) return 0;
  check(ctx.store->set("undeclared", "untouched", std::nullopt, false, false).ok());

  const uint8_t mode = data[0];
  const std::string script =
      (mode & 1) != 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : assemble(data + 1, size - 1);
  Request req = {"EVAL", script, std::to_string(mode >> 6), "k1", "k2", "k3", "a1", "a2"};
  if ((mode & 2) != 0) req[0] = "EVAL_RO";
  const Reply reply = dispatch(ctx, state, req).reply;
  (void)encode_reply(reply, kResp2);
  (void)encode_reply(reply, kResp3);

  // A script may reach an undeclared key only by running again with every shard held, which
  // it does before it writes anything; refused past that point, it changed nothing there.
  if (reply.kind == Reply::Kind::Error && reply.text.find("is not among them") != std::string::npos) {
    check(ctx.store->get("undeclared").value() == std::optional<Bytes>("untouched"));
  }
  check(ctx.store->used_memory() == ctx.store->audit_charge_sum());
  if ((mode & 4) != 0) check(ctx.store->flush().ok());
  return 0;
}
