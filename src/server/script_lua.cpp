// The interpreter side of scripting: Lua 5.1 states, one per connection, sandboxed; the
// callback table scripts reach the server through; and the conversions between command
// replies and Lua values.
//
// The library is the C++ build of the interpreter, so a Lua error unwinds as an exception
// and the C++ objects of the frames it crosses are destroyed. Every call into the
// interpreter that may raise runs under lua_cpcall: an error outside a protected call
// would end the process. C++ exceptions of our own (an allocation failure) never cross
// the interpreter's frames: each callback turns them into a Lua error.
//
// The sandbox: the base library without file access, printing, environments, coroutines
// or binary chunks; string (without dump), table, math, bit, and an os table that holds
// only clock. Assigning an undeclared global is an error. pcall and xpcall cannot catch
// the error that stops a script (time limit, SCRIPT KILL) or an allocation refused by the
// interpreter's memory limit: they pass it on, so the script ends.
//
// Bounds: the interpreter allocates through a counting allocator that refuses to grow
// past Scripts::memory_limit(); an interpreter that ran out is replaced before the next
// script. Nested C calls are bounded by the interpreter itself (at most 200, about 2 MiB
// of C stack in string.gsub callbacks, within a connection thread's 8 MiB); Lua-to-Lua
// calls live on the interpreter's heap stack, bounded by the memory limit. The
// conversions between replies and Lua values are in script_values.h.

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <limits>
#include <new>
#include <unordered_set>

#include "platform/clock.h"
#include "server/command_util.h"
#include "server/script_values.h"
#include "server/sha1.h"

#ifdef VELLUM_LUA_BITOP
extern "C" int luaopen_bit(lua_State* L);
#endif

namespace vellum::server {

namespace {

constexpr int kHookInstructions = 1000;
constexpr const char* kFunctions = "vellum.functions";
constexpr const char* kChunkName = "@user_script";

// Why a run ends early. Widen: before writing, the script named a key it did not declare
// or a command that spans the key space; the run is dropped and the script runs again
// from the start holding every shard.
enum class Stop : uint8_t { None, Killed, TimedOut, Widen };

// What the callbacks need while a script runs.
struct ActiveRun {
  const ServerContext* ctx = nullptr;
  Scripts::Run* run = nullptr;
  std::unordered_set<BytesView> keys;
  bool read_only = false;
  bool every_shard = false;  // the run holds every shard: any key, and keyspace commands
  bool may_widen = false;    // a run that needs every shard may start again with them
  uint64_t deadline_ms = 0;
  Stop stop = Stop::None;
};

}  // namespace

struct ScriptVm {
  // The allocator's account; the state's allocator userdata is the ScriptVm itself.
  uint64_t used = 0;
  uint64_t limit = 0;
  bool refused = false;

  lua_State* L = nullptr;
  uint64_t generation = 0;
  std::unordered_set<std::string> compiled;  // the SHA-1s in the functions table
  ConnectionState inner;                     // the state the script's commands run with
  ActiveRun* active = nullptr;

  ScriptVm() = default;
  ScriptVm(const ScriptVm&) = delete;
  ScriptVm& operator=(const ScriptVm&) = delete;
  ~ScriptVm() {
    if (L != nullptr) lua_close(L);
  }
};

namespace {

void* bounded_alloc(void* ud, void* ptr, size_t osize, size_t nsize) noexcept {
  auto* vm = static_cast<ScriptVm*>(ud);
  if (nsize == 0) {
    std::free(ptr);
    vm->used -= osize;
    return nullptr;
  }
  if (nsize > osize && vm->used - osize + nsize > vm->limit) {
    vm->refused = true;
    return nullptr;
  }
  void* p = std::realloc(ptr, nsize);
  if (p == nullptr) {
    vm->refused = true;
    return nullptr;
  }
  vm->used = vm->used - osize + nsize;
  return p;
}

ScriptVm& vm_of(lua_State* L) {
  void* ud = nullptr;
  lua_getallocf(L, &ud);
  return *static_cast<ScriptVm*>(ud);
}

// Whether an error caught inside the script must travel on to its end.
bool must_end(lua_State* L, int status) {
  const ScriptVm& vm = vm_of(L);
  return status == LUA_ERRMEM || vm.refused || (vm.active != nullptr && vm.active->stop != Stop::None);
}

// Runs `body` and turns a C++ exception into a Lua error raised after the handler ends,
// so none crosses the interpreter's frames.
template <int (*Body)(lua_State*)>
int guarded(lua_State* L) {
  const char* failure = nullptr;
  try {
    return Body(L);
  } catch (const std::bad_alloc&) {
    failure = "out of memory";
  } catch (const std::exception&) {
    failure = "internal error";
  }
  return luaL_error(L, "%s", failure);
}

void count_hook(lua_State* L, lua_Debug*) {
  ActiveRun* a = vm_of(L).active;
  if (a == nullptr || a->run->has_written()) return;
  if (a->stop == Stop::None) {
    if (a->run->killed()) {
      a->stop = Stop::Killed;
    } else if (monotonic_ms() >= a->deadline_ms) {
      a->stop = Stop::TimedOut;
    }
  }
  if (a->stop != Stop::None) luaL_error(L, "script stopped");
}

// ---- the callback table ----

bool callable_without_keys(std::string_view name) { return name == "PING" || name == "ECHO" || name == "TIME"; }

// One command called by a script, checked against what scripts may do.
Reply call_command(ScriptVm& vm, const Request& req) {
  ActiveRun& a = *vm.active;
  if (a.stop != Stop::None) return Reply::error("ERR the script is being stopped");
  const std::string name = ascii_upper(req[0]);
  const CommandSpec* row = find_command(name);
  if (row == nullptr) return Reply::error("ERR unknown command '" + utf8::lossy(req[0]) + "' called from a script");
  const auto argc = static_cast<int64_t>(req.size());
  if (argc < row->min_args || (row->max_args != kAny && argc > row->max_args)) return wrong_args(req[0]);
  if ((row->flags & kNoScript) != 0) return Reply::error("ERR this command is not allowed from scripts");
  const std::optional<std::vector<size_t>> keys = key_indices(*row, req);
  const bool data_command = (row->flags & (kWrite | kReadOnly)) != 0;
  if (!keys && !data_command && !callable_without_keys(name)) {
    return Reply::error("ERR '" + ascii_lower(name) + "' acts on the connection and cannot run in a script");
  }
  // Past the declared keys: the whole run starts again holding every shard, unless it has
  // written (its effects cannot be taken back) or runs inside a transaction's locks.
  const Bytes* undeclared = nullptr;
  if (keys) {
    for (size_t i : *keys) {
      if (!a.keys.contains(req[i])) {
        undeclared = &req[i];
        break;
      }
    }
  }
  if ((!keys && data_command) || undeclared != nullptr) {
    if (!a.every_shard) {
      if (a.may_widen && !a.run->has_written()) {
        a.stop = Stop::Widen;
        return Reply::error("ERR the script is being stopped");
      }
      if (undeclared == nullptr) {
        return Reply::error("ERR '" + ascii_lower(name) +
                            "' spans the key space: a script may call it only before it writes, and not inside a "
                            "transaction");
      }
      return Reply::error("ERR a script may only name the keys it declares once it has written, or inside a "
                          "transaction; '" + utf8::lossy(*undeclared) + "' is not among them");
    }
  }
  if ((row->flags & kWrite) != 0) {
    if (a.read_only) return Reply::error("ERR Write commands are not allowed from read-only scripts.");
    if (!a.run->may_write()) {
      a.stop = Stop::Killed;
      return Reply::error("ERR the script is being stopped");
    }
  }
  return row->handler(*a.ctx, vm.inner, req);
}

int redis_call_body(lua_State* L, bool raise) {
  ScriptVm& vm = vm_of(L);
  const int argc = lua_gettop(L);
  if (argc == 0) return luaL_error(L, "Please specify at least one argument for this call");
  if (vm.active == nullptr) return luaL_error(L, "no script is running");
  Request req;
  req.reserve(static_cast<size_t>(argc));
  for (int i = 1; i <= argc; ++i) {
    const int t = lua_type(L, i);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) {
      return luaL_error(L, "Command arguments must be strings or integers");
    }
    size_t len = 0;
    const char* s = lua_tolstring(L, i, &len);
    req.emplace_back(s, len);
  }
  const Reply reply = call_command(vm, req);
  push_reply(L, reply);
  if (raise && reply.kind == Reply::Kind::Error) return lua_error(L);
  return 1;
}

int redis_call(lua_State* L) { return redis_call_body(L, true); }
int redis_pcall(lua_State* L) { return redis_call_body(L, false); }

int reply_table(lua_State* L, const char* field) {
  luaL_checktype(L, 1, LUA_TSTRING);
  lua_settop(L, 1);
  lua_createtable(L, 0, 1);
  lua_pushvalue(L, 1);
  lua_setfield(L, -2, field);
  return 1;
}
int redis_error_reply(lua_State* L) { return reply_table(L, "err"); }
int redis_status_reply(lua_State* L) { return reply_table(L, "ok"); }

int redis_sha1hex(lua_State* L) {
  size_t len = 0;
  const char* s = luaL_checklstring(L, 1, &len);
  const std::string hex = sha1_hex(BytesView(s, len));
  lua_pushlstring(L, hex.data(), hex.size());
  return 1;
}

// Accepts a level and a message and keeps nothing: scripts log, the server has no log.
int redis_log(lua_State* L) {
  const lua_Number level = luaL_checknumber(L, 1);
  if (level < 0 || level > 3) return luaL_error(L, "Invalid log level.");
  luaL_checkany(L, 2);
  return 0;
}

int redis_replicate_commands(lua_State* L) {
  lua_pushboolean(L, 1);
  return 1;
}

// ---- the sandbox ----

int sandbox_pcall(lua_State* L) {
  luaL_checkany(L, 1);
  const int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
  if (status != 0 && must_end(L, status)) return lua_error(L);
  lua_pushboolean(L, status == 0);
  lua_insert(L, 1);
  return lua_gettop(L);
}

int sandbox_xpcall(lua_State* L) {
  luaL_checkany(L, 2);
  lua_settop(L, 2);
  lua_insert(L, 1);  // the handler below the function
  const int status = lua_pcall(L, 0, LUA_MULTRET, 1);
  if (status != 0 && must_end(L, status)) return lua_error(L);
  lua_pushboolean(L, status == 0);
  lua_replace(L, 1);
  return lua_gettop(L);
}

// loadstring for source text only: a binary chunk would bypass the compiler's checks.
int sandbox_loadstring(lua_State* L) {
  size_t len = 0;
  const char* s = luaL_checklstring(L, 1, &len);
  const char* chunkname = luaL_optstring(L, 2, s);
  if (len > 0 && s[0] == LUA_SIGNATURE[0]) {
    lua_pushnil(L);
    lua_pushliteral(L, "loading binary chunks is not allowed");
    return 2;
  }
  if (luaL_loadbuffer(L, s, len, chunkname) == 0) return 1;
  lua_pushnil(L);
  lua_insert(L, -2);
  return 2;
}

// rawset, except on the globals table, which scripts may not extend.
int sandbox_rawset(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  luaL_checkany(L, 2);
  luaL_checkany(L, 3);
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  const bool globals = lua_rawequal(L, 1, -1) != 0;
  if (globals) return luaL_error(L, "Script attempted to create a global variable with rawset");
  lua_settop(L, 3);
  lua_rawset(L, 1);
  return 1;
}

int os_clock(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(std::clock()) / static_cast<lua_Number>(CLOCKS_PER_SEC));
  return 1;
}

int refuse_new_global(lua_State* L) {
  const char* name = lua_tostring(L, 2);
  return luaL_error(L, "Script attempted to create global variable '%s'", name != nullptr ? name : "?");
}

void open_library(lua_State* L, lua_CFunction open, const char* name) {
  lua_pushcfunction(L, open);
  lua_pushstring(L, name);
  lua_call(L, 1, 0);
}

void set_function(lua_State* L, const char* name, lua_CFunction f) {
  lua_pushcfunction(L, f);
  lua_setfield(L, -2, name);
}

void remove_global(lua_State* L, const char* name) {
  lua_pushnil(L);
  lua_setfield(L, LUA_GLOBALSINDEX, name);
}

int build_sandbox(lua_State* L) {
  open_library(L, luaopen_base, "");
  open_library(L, luaopen_table, LUA_TABLIBNAME);
  open_library(L, luaopen_string, LUA_STRLIBNAME);
  open_library(L, luaopen_math, LUA_MATHLIBNAME);
#ifdef VELLUM_LUA_BITOP
  open_library(L, luaopen_bit, "bit");
#endif
  for (const char* name : {"dofile", "loadfile", "load", "print", "getfenv", "setfenv", "newproxy", "gcinfo",
                           "coroutine", "module", "require"}) {
    remove_global(L, name);
  }
  lua_getglobal(L, "string");
  lua_pushnil(L);
  lua_setfield(L, -2, "dump");
  lua_pop(L, 1);

  lua_pushvalue(L, LUA_GLOBALSINDEX);
  set_function(L, "pcall", sandbox_pcall);
  set_function(L, "xpcall", sandbox_xpcall);
  set_function(L, "loadstring", sandbox_loadstring);
  set_function(L, "rawset", sandbox_rawset);

  lua_createtable(L, 0, 1);
  set_function(L, "clock", os_clock);
  lua_setfield(L, -2, "os");

  lua_createtable(L, 0, 12);
  set_function(L, "call", guarded<redis_call>);
  set_function(L, "pcall", guarded<redis_pcall>);
  set_function(L, "error_reply", redis_error_reply);
  set_function(L, "status_reply", redis_status_reply);
  set_function(L, "sha1hex", redis_sha1hex);
  set_function(L, "log", redis_log);
  set_function(L, "replicate_commands", redis_replicate_commands);
  const std::pair<const char*, int> levels[] = {
      {"LOG_DEBUG", 0}, {"LOG_VERBOSE", 1}, {"LOG_NOTICE", 2}, {"LOG_WARNING", 3}};
  for (const auto& [name, level] : levels) {
    lua_pushinteger(L, level);
    lua_setfield(L, -2, name);
  }
  lua_setfield(L, -2, "redis");

  // Reads of undeclared globals give nil; creating one is an error. The metatable is
  // hidden from getmetatable and setmetatable.
  lua_createtable(L, 0, 2);
  lua_pushcfunction(L, refuse_new_global);
  lua_setfield(L, -2, "__newindex");
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "__metatable");
  lua_setmetatable(L, -2);
  lua_pop(L, 1);

  lua_newtable(L);
  lua_setfield(L, LUA_REGISTRYINDEX, kFunctions);
  return 0;
}

std::shared_ptr<ScriptVm> create_vm(const ServerContext& ctx) {
  auto vm = std::make_shared<ScriptVm>();
  vm->limit = ctx.scripts->memory_limit();
  vm->L = lua_newstate(bounded_alloc, vm.get());
  if (vm->L == nullptr) return nullptr;
  if (lua_cpcall(vm->L, build_sandbox, nullptr) != 0) return nullptr;
  vm->generation = ctx.scripts->generation();
  vm->inner.authenticated = true;
  return vm;
}

// ---- one run ----

struct Frame {
  ScriptVm* vm = nullptr;
  const ScriptCall* call = nullptr;
  BytesView text;  // compile: the source
  Reply reply;
};

Reply compile_error(lua_State* L) {
  const char* msg = lua_tostring(L, -1);
  return Reply::error(std::string("ERR Error compiling script (new function): ") + (msg != nullptr ? msg : "?"));
}

// Compiles frame.text into the functions table under the call's SHA-1; on failure the
// frame's reply is the compile error.
int compile_protected(lua_State* L) {
  auto& f = *static_cast<Frame*>(lua_touserdata(L, 1));
  if (!f.text.empty() && f.text[0] == LUA_SIGNATURE[0]) {
    f.reply = Reply::error("ERR Error compiling script (new function): binary chunks are not allowed");
    return 0;
  }
  if (luaL_loadbuffer(L, f.text.data(), f.text.size(), kChunkName) != 0) {
    f.reply = compile_error(L);
    return 0;
  }
  lua_getfield(L, LUA_REGISTRYINDEX, kFunctions);
  lua_pushlstring(L, f.call->sha.data(), f.call->sha.size());
  lua_pushvalue(L, -3);
  lua_rawset(L, -3);
  f.vm->compiled.insert(f.call->sha);
  return 0;
}

void set_array(lua_State* L, const char* name, std::span<const Bytes> items) {
  lua_pushstring(L, name);
  lua_createtable(L, static_cast<int>(items.size()), 0);
  for (size_t i = 0; i < items.size(); ++i) {
    lua_pushlstring(L, items[i].data(), items[i].size());
    lua_rawseti(L, -2, static_cast<int>(i + 1));
  }
  lua_rawset(L, LUA_GLOBALSINDEX);
}

Reply error_object_reply(lua_State* L) {
  if (lua_type(L, -1) == LUA_TTABLE) {
    if (auto err = string_field(L, "err")) return Reply::error(err->empty() ? "ERR" : std::move(*err));
  }
  if (const char* msg = lua_tostring(L, -1)) return Reply::error(std::string("ERR ") + msg);
  return Reply::error("ERR the script raised an error that is not a string");
}

int execute_protected(lua_State* L) {
  auto& f = *static_cast<Frame*>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  set_array(L, "KEYS", f.call->keys);
  set_array(L, "ARGV", f.call->args);
  lua_getfield(L, LUA_REGISTRYINDEX, kFunctions);
  lua_pushlstring(L, f.call->sha.data(), f.call->sha.size());
  lua_rawget(L, -2);
  lua_sethook(L, count_hook, LUA_MASKCOUNT, kHookInstructions);
  const int status = lua_pcall(L, 0, 1, 0);
  lua_sethook(L, nullptr, 0, 0);
  if (status != 0) {
    f.reply = error_object_reply(L);
    return 0;
  }
  Reply out;
  f.reply = to_reply(L, 0, out) ? std::move(out) : Reply::error("ERR the script's reply nests too deeply");
  return 0;
}

// The reply of a run that the interpreter failed or that was stopped, if it was.
std::optional<Reply> stopped_reply(const ServerContext& ctx, const ScriptVm& vm, const ActiveRun& a) {
  if (vm.refused) {
    return Reply::error("ERR the script ran out of memory: its interpreter may hold at most " +
                        std::to_string(ctx.scripts->memory_limit()) + " bytes");
  }
  if (a.stop == Stop::TimedOut) {
    return Reply::error("ERR the script ran past the time limit of " + std::to_string(ctx.scripts->time_limit_ms()) +
                        " ms before writing anything and was stopped");
  }
  if (a.stop == Stop::Killed) return Reply::error("ERR the script was stopped by SCRIPT KILL before writing anything");
  return std::nullopt;
}

ScriptVm* vm_for(const ServerContext& ctx, ConnectionState& state) {
  if (!state.script_vm) state.script_vm = create_vm(ctx);
  ScriptVm* vm = state.script_vm.get();
  if (vm == nullptr) return nullptr;
  const uint64_t generation = ctx.scripts->generation();
  if (vm->generation != generation) {
    // SCRIPT FLUSH: a fresh interpreter drops the compiled functions with everything else.
    state.script_vm = create_vm(ctx);
    vm = state.script_vm.get();
  }
  return vm;
}

Reply no_interpreter() { return Reply::error("ERR cannot create a script interpreter: out of memory"); }

// Compiles `text` into `vm` unless it holds the function already; the compile error if any.
std::optional<Reply> ensure_compiled(ScriptVm& vm, const ScriptCall& call, BytesView text) {
  if (vm.compiled.contains(call.sha)) return std::nullopt;
  Frame frame;
  frame.vm = &vm;
  frame.call = &call;
  frame.text = text;
  vm.refused = false;
  if (lua_cpcall(vm.L, compile_protected, &frame) != 0) {
    return Reply::error("ERR Error compiling script (new function): out of memory");
  }
  if (frame.reply.kind == Reply::Kind::Error) return std::move(frame.reply);
  return std::nullopt;
}

// Ends a run: drops what the script left on the interpreter and, after a refused
// allocation, the interpreter itself.
void finish(ConnectionState& state, ScriptVm& vm) {
  lua_settop(vm.L, 0);
  vm.active = nullptr;
  if (vm.refused) state.script_vm.reset();
}

}  // namespace

bool scripting_available() { return true; }

Reply load_script(const ServerContext& ctx, ConnectionState& state, BytesView text) {
  ScriptCall call;
  call.sha = sha1_hex(text);
  ScriptVm* vm = vm_for(ctx, state);
  if (vm == nullptr) return no_interpreter();
  std::optional<Reply> failed = ensure_compiled(*vm, call, text);
  const bool refused = vm->refused;
  if (refused) state.script_vm.reset();
  if (failed) return std::move(*failed);
  ctx.scripts->remember(call.sha, text);
  return Reply::bulk(call.sha);
}

Reply run_script(const ServerContext& ctx, ConnectionState& state, const ScriptCall& call) {
  Scripts& scripts = *ctx.scripts;
  ScriptVm* vm = vm_for(ctx, state);
  if (vm == nullptr) return no_interpreter();
  if (!vm->compiled.contains(call.sha)) {
    std::optional<Bytes> cached;
    if (!call.text) {
      cached = scripts.find(call.sha);
      if (!cached) return Reply::error("NOSCRIPT No matching script. Please use EVAL.");
    }
    if (std::optional<Reply> failed = ensure_compiled(*vm, call, call.text ? *call.text : BytesView(*cached))) {
      finish(state, *vm);
      return std::move(*failed);
    }
  }
  if (call.text) scripts.remember(call.sha, *call.text);

  Store& store = *ctx.store;
  std::vector<size_t> shards;
  shards.reserve(call.keys.size());
  for (const Bytes& k : call.keys) shards.push_back(store.shard_index(k));
  std::sort(shards.begin(), shards.end());
  shards.erase(std::unique(shards.begin(), shards.end()), shards.end());

  ActiveRun active;
  active.ctx = &ctx;
  active.read_only = call.read_only;
  for (const Bytes& k : call.keys) active.keys.insert(k);
  Scripts::Run run(scripts);
  active.run = &run;

  // Inside a transaction's batch the shards held are the transaction's; none can be added.
  active.may_widen = ShardLock::batch_token() == nullptr;

  Frame frame;
  frame.vm = vm;
  frame.call = &call;
  int status = 0;
  StoreResult<void> committed;
  for (;;) {
    committed = store.with_locked_shards(shards, [&] {
      active.deadline_ms = monotonic_ms() + scripts.time_limit_ms();
      vm->active = &active;
      vm->refused = false;
      status = lua_cpcall(vm->L, execute_protected, &frame);
    });
    // A widened run wrote nothing, so dropping it leaves no trace; it starts over.
    if (active.stop != Stop::Widen || vm->refused || !committed) break;
    lua_settop(vm->L, 0);
    active.stop = Stop::None;
    active.every_shard = true;
    shards = store.all_shards();
    frame.reply = Reply();
  }
  std::optional<Reply> stopped = stopped_reply(ctx, *vm, active);
  finish(state, *vm);
  if (!committed) return store_error(ctx, committed.error());
  if (stopped) return std::move(*stopped);
  if (status != 0) return Reply::error("ERR the script failed inside the interpreter");
  return std::move(frame.reply);
}

}  // namespace vellum::server
