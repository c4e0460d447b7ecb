// The connection and administrative commands: AUTH, QUIT, PING, INFO, SAVE and the rest.

#include <algorithm>
#include <array>
#include <optional>

#include "persist/data_dir.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "server/clients.h"
#include "server/command_util.h"

namespace vellum::server {

namespace {

// The package's version (pyproject.toml), as HELLO reports it.
constexpr std::string_view kServerVersion = "0.1.0";

constexpr std::string_view kWrongPass = "WRONGPASS invalid password";
constexpr std::string_view kNoPasswordSet =
    "ERR AUTH <password> called without any password configured for the default user. Are you sure your "
    "configuration is correct?";

// The one user is "default"; any other name is refused like a wrong password. Without a
// configured password the default user needs none, so naming it succeeds. With one, a
// failed attempt also drops an earlier success on this connection.
Reply authenticate(const ServerContext& ctx, ConnectionState& state, const Bytes* user, const Bytes& pass) {
  const bool default_user = user == nullptr || *user == "default";
  if (!ctx.password) {
    if (user == nullptr) return Reply::error(std::string(kNoPasswordSet));
    // Every connection is already authenticated then; a refusal takes nothing away.
    return default_user ? ok() : Reply::error(std::string(kWrongPass));
  }
  state.authenticated = constant_time_equal(pass, *ctx.password) && default_user;
  return state.authenticated ? ok() : Reply::error(std::string(kWrongPass));
}

Reply cmd_auth(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  if (req.size() == 2) return authenticate(ctx, state, nullptr, req[1]);
  return authenticate(ctx, state, &req[1], req[2]);
}

void set_name(const ServerContext& ctx, ConnectionState& state, Bytes name) {
  if (ctx.clients) ctx.clients->set_name(state.id, name);
  state.name = std::move(name);
}

// A connection name is shown in CLIENT LIST's space-separated fields, so it may hold
// only visible characters other than space.
bool valid_client_name(BytesView name) {
  return std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 127; });
}

Reply name_refused() {
  return Reply::error("ERR Client names cannot contain spaces, newlines or special characters.");
}

// HELLO [protover [AUTH username password] [SETNAME name]]: changes nothing unless every
// part is acceptable, then authenticates, names the connection and switches its reply
// encoding; its own reply is the server's properties in the new encoding.
Reply cmd_hello(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  int protocol = state.protocol;
  if (req.size() >= 2) {
    std::optional<int64_t> v = parse_int(req[1]);
    if (!v) return Reply::error("ERR Protocol version is not an integer or out of range");
    if (*v != kResp2 && *v != kResp3) return Reply::error("NOPROTO unsupported protocol version");
    protocol = static_cast<int>(*v);
  }
  const Bytes* user = nullptr;
  const Bytes* pass = nullptr;
  const Bytes* name = nullptr;
  for (size_t i = 2; i < req.size(); ++i) {
    const std::string opt = ascii_upper(req[i]);
    if (opt == "AUTH" && i + 2 < req.size()) {
      user = &req[i + 1];
      pass = &req[i + 2];
      i += 2;
    } else if (opt == "SETNAME" && i + 1 < req.size()) {
      name = &req[++i];
    } else {
      return Reply::error("ERR Syntax error in HELLO option '" + utf8::lossy(req[i]) + "'");
    }
  }
  if (pass != nullptr) {
    Reply r = authenticate(ctx, state, user, *pass);
    if (r.kind == Reply::Kind::Error) return r;
  }
  if (!state.authenticated) {
    return Reply::error(
        "NOAUTH HELLO must be called with the client already authenticated, otherwise the HELLO <proto> AUTH "
        "<user> <pass> option can be used to authenticate the client and select the RESP protocol version at the "
        "same time");
  }
  if (name != nullptr) {
    if (!valid_client_name(*name)) return name_refused();
    set_name(ctx, state, *name);
  }
  state.protocol = protocol;
  if (ctx.clients) ctx.clients->set_protocol(state.id, protocol);
  return Reply::map({
      Reply::bulk("server"), Reply::bulk("vellum"),
      Reply::bulk("version"), Reply::bulk(std::string(kServerVersion)),
      Reply::bulk("proto"), Reply::from_int(protocol),
      Reply::bulk("id"), Reply::from_int(state.id),
      Reply::bulk("mode"), Reply::bulk("standalone"),
      Reply::bulk("role"), Reply::bulk("master"),
      Reply::bulk("modules"), Reply::array({}),
  });
}

Reply client_info_line(const ServerContext& ctx, const ConnectionState& state) {
  std::optional<ClientInfo> me = ctx.clients ? ctx.clients->find(state.id) : std::nullopt;
  if (!me) {
    me = ClientInfo{};
    me->id = state.id;
    me->name = state.name;
    me->protocol = state.protocol;
  }
  return Reply::verbatim(client_line(*me, monotonic_ms()) + "\n");
}

// Every connection is of the type "normal"; the other types a client may name (master,
// replica, pubsub) have no connections. Nullopt for a name that is no type.
std::optional<bool> type_is_normal(BytesView word) {
  const std::string type = ascii_lower(word);
  if (type == "normal") return true;
  if (type == "master" || type == "replica" || type == "slave" || type == "pubsub") return false;
  return std::nullopt;
}

Reply unknown_type(BytesView word) { return Reply::error("ERR Unknown client type '" + utf8::lossy(word) + "'"); }

// CLIENT LIST [TYPE type] [ID id ...]: the connections, one line each.
Reply client_list(const ServerContext& ctx, const Request& req) {
  bool any_type = true;
  std::optional<std::vector<int64_t>> ids;
  for (size_t i = 2; i < req.size(); ++i) {
    const std::string word = ascii_upper(req[i]);
    if (word == "TYPE" && i + 1 < req.size()) {
      const std::optional<bool> normal = type_is_normal(req[++i]);
      if (!normal) return unknown_type(req[i]);
      any_type = *normal;
    } else if (word == "ID" && i + 1 < req.size()) {
      ids.emplace();
      for (++i; i < req.size(); ++i) {
        std::optional<int64_t> id = parse_int(req[i]);
        if (!id || *id <= 0) return Reply::error("ERR Invalid client ID");
        ids->push_back(*id);
      }
    } else {
      return syntax_error();
    }
  }
  std::string out;
  const uint64_t now = monotonic_ms();
  if (ctx.clients && any_type) {
    for (const ClientInfo& c : ctx.clients->list()) {
      if (ids && std::find(ids->begin(), ids->end(), c.id) == ids->end()) continue;
      out += client_line(c, now) + "\n";
    }
  }
  return Reply::verbatim(std::move(out));
}

// CLIENT KILL addr (the old form: OK, or an error when no connection has that address), or
// CLIENT KILL with filters ID, ADDR, TYPE, USER, MAXAGE and SKIPME (the count closed). A
// connection that kills itself gets its reply and then closes.
Reply client_kill(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  std::optional<int64_t> id;
  std::optional<std::string> addr;
  std::optional<uint64_t> max_age_s;
  bool any_type = true;
  bool any_user = true;
  bool skip_me = true;
  const bool old_form = req.size() == 3;
  if (old_form) {
    addr = std::string(req[2]);
    skip_me = false;
  } else {
    if (req.size() % 2 != 0) return syntax_error();
    for (size_t i = 2; i < req.size(); i += 2) {
      const std::string word = ascii_upper(req[i]);
      const Bytes& value = req[i + 1];
      if (word == "ID") {
        id = parse_int(value);
        if (!id || *id <= 0) return Reply::error("ERR client-id should be greater than 0");
      } else if (word == "ADDR") {
        addr = std::string(value);
      } else if (word == "TYPE") {
        const std::optional<bool> normal = type_is_normal(value);
        if (!normal) return unknown_type(value);
        any_type = any_type && *normal;
      } else if (word == "USER") {
        any_user = any_user && value == "default";
      } else if (word == "MAXAGE") {
        const std::optional<int64_t> age = parse_int(value);
        if (!age || *age < 0) return syntax_error();
        max_age_s = static_cast<uint64_t>(*age);
      } else if (word == "SKIPME") {
        const std::string yes_no = ascii_lower(value);
        if (yes_no != "yes" && yes_no != "no") return syntax_error();
        skip_me = yes_no == "yes";
      } else {
        return syntax_error();
      }
    }
  }
  size_t killed = 0;
  bool killed_self = false;
  if (ctx.clients && any_type && any_user) {
    const uint64_t now = monotonic_ms();
    killed = ctx.clients->kill(
        [&](const ClientInfo& c) {
          if (skip_me && c.id == state.id) return false;
          if (id && c.id != *id) return false;
          if (addr && c.addr != *addr) return false;
          return !max_age_s || (now >= c.created_ms && now - c.created_ms >= *max_age_s * 1000);
        },
        state.id, killed_self);
  }
  state.closing = state.closing || killed_self;
  if (!old_form) return Reply::from_int(static_cast<int64_t>(killed));
  return killed != 0 ? ok() : Reply::error("ERR No such client");
}

Reply cmd_client(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  const std::string sub = ascii_upper(req[1]);
  const size_t n = req.size();
  if (sub == "SETNAME" && n == 3) {
    if (!valid_client_name(req[2])) return name_refused();
    set_name(ctx, state, req[2]);
    return ok();
  }
  if (sub == "GETNAME" && n == 2) return state.name.empty() ? Reply::null() : Reply::bulk(state.name);
  if (sub == "ID" && n == 2) return Reply::from_int(state.id);
  if (sub == "INFO" && n == 2) return client_info_line(ctx, state);
  if (sub == "SETINFO" && n == 4) {
    const std::string attr = ascii_upper(req[2]);
    if (attr != "LIB-NAME" && attr != "LIB-VER") {
      return Reply::error("ERR Unrecognized option '" + utf8::lossy(req[2]) + "'");
    }
    if (!valid_client_name(req[3])) {
      return Reply::error("ERR " + ascii_lower(req[2]) + " cannot contain spaces, newlines or special characters.");
    }
    if (ctx.clients) ctx.clients->set_lib(state.id, attr == "LIB-VER", req[3]);
    return ok();
  }
  if (sub == "LIST") return client_list(ctx, req);
  if (sub == "KILL" && n >= 3) return client_kill(ctx, state, req);
  return Reply::error("ERR unknown subcommand or wrong number of arguments for '" + utf8::lossy(req[1]) +
                      "'. Try CLIENT HELP.");
}

Reply cmd_time(const ServerContext& ctx, ConnectionState&, const Request&) {
  const uint64_t us = ctx.store->clock().now_ms() * 1000;
  return Reply::array({Reply::bulk(std::to_string(us / 1'000'000)), Reply::bulk(std::to_string(us % 1'000'000))});
}

Reply cmd_quit(const ServerContext&, ConnectionState&, const Request&) { return ok(); }

Reply cmd_ping(const ServerContext&, ConnectionState&, const Request& req) {
  return req.size() == 1 ? Reply::simple("PONG") : Reply::bulk(req[1]);
}

Reply cmd_echo(const ServerContext&, ConnectionState&, const Request& req) { return Reply::bulk(req[1]); }

Reply cmd_select(const ServerContext&, ConnectionState&, const Request& req) {
  std::optional<int64_t> index = parse_int(req[1]);
  if (!index) return not_an_integer();
  return *index == 0 ? ok() : Reply::error("ERR DB index is out of range: only database 0 exists");
}

Reply cmd_dbsize(const ServerContext& ctx, ConnectionState&, const Request&) {
  return count(ctx.store->key_count());
}

Reply cmd_flush(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (req.size() == 2) {
    const std::string mode = ascii_upper(req[1]);
    if (mode != "SYNC" && mode != "ASYNC") return syntax_error();
  }
  auto r = ctx.store->flush();
  return r ? ok() : store_error(ctx, r.error());
}

Reply cmd_save(const ServerContext& ctx, ConnectionState&, const Request&) {
  if (!persist::read_persist_stats(*ctx.store)) return no_persistence();
  auto r = persist::save(*ctx.store);
  if (!r) return Reply::error("ERR save failed: " + r.error().text);
  return ok();
}

// BGSAVE [SCHEDULE]: a save on a thread of its own. While one runs, a plain BGSAVE is
// refused and BGSAVE SCHEDULE asks for one more save right after it.
Reply cmd_bgsave(const ServerContext& ctx, ConnectionState&, const Request& req) {
  const bool schedule = req.size() == 2 && ascii_upper(req[1]) == "SCHEDULE";
  if (req.size() == 2 && !schedule) return syntax_error();
  if (!persist::read_persist_stats(*ctx.store)) return no_persistence();
  bool expected = false;
  if (!ctx.bgsave_running->compare_exchange_strong(expected, true)) {
    if (!schedule) return Reply::error("ERR Background save already in progress");
    ctx.bgsave_scheduled->store(true);
    // The save may have ended meanwhile, before it could see the request.
    expected = false;
    if (!ctx.bgsave_running->compare_exchange_strong(expected, true)) return Reply::simple("Background saving scheduled");
    ctx.bgsave_scheduled->store(false);
  }
  auto thread = NamedThread::spawn("vellum-bgsave", [store = ctx.store, flag = ctx.bgsave_running,
                                                     again = ctx.bgsave_scheduled] {
    // The persistence layer records a failure, an allocation failure included, as its
    // last error ("save failed: ..."), shown by INFO. The flag is cleared whatever
    // happened, so a later BGSAVE can run. A save scheduled while this one ran runs next,
    // also one scheduled just as the flag was cleared.
    for (;;) {
      try {
        (void)persist::save(*store);
      } catch (...) {
      }
      if (again->exchange(false)) continue;
      flag->store(false);
      bool idle = false;
      if (!again->load() || !flag->compare_exchange_strong(idle, true)) break;
      again->store(false);
    }
  });
  if (!thread) {
    ctx.bgsave_running->store(false);
    return Reply::error("ERR cannot start background save: " + thread.error().text);
  }
  // Nobody waits for a background save: the thread owns strong references to everything
  // it touches (the store and the flag), so it may outlive the connection and the server.
  thread.value().detach();
  return Reply::simple("Background saving started");
}

// LASTSAVE: the time of the last snapshot; before the first one, the time the server
// started, as the data then is all the server has had to save (clients read the answer as
// a date). 0 without persistence: nothing is ever saved.
Reply cmd_lastsave(const ServerContext& ctx, ConnectionState&, const Request&) {
  std::optional<persist::PersistStats> stats = persist::read_persist_stats(*ctx.store);
  if (!stats) return count(0);
  return count((stats->last_save_ms != 0 ? stats->last_save_ms : ctx.started_unix_ms) / 1000);
}

constexpr std::array kRows = {
    CommandSpec{"AUTH", 2, 3, cmd_auth, kBeforeAuth},
    CommandSpec{"HELLO", 1, kAny, cmd_hello, kBeforeAuth},
    CommandSpec{"CLIENT", 2, kAny, cmd_client},
    CommandSpec{"TIME", 1, 1, cmd_time},
    CommandSpec{"QUIT", 1, kAny, cmd_quit, kBeforeAuth | kCloses},
    CommandSpec{"PING", 1, 2, cmd_ping},
    CommandSpec{"ECHO", 2, 2, cmd_echo},
    CommandSpec{"SELECT", 2, 2, cmd_select},
    CommandSpec{"DBSIZE", 1, 1, cmd_dbsize, kReadOnly},
    CommandSpec{"FLUSHDB", 1, 2, cmd_flush, kWrite},
    CommandSpec{"FLUSHALL", 1, 2, cmd_flush, kWrite},
    CommandSpec{"SAVE", 1, 1, cmd_save},
    CommandSpec{"BGSAVE", 1, 2, cmd_bgsave},
    CommandSpec{"LASTSAVE", 1, 1, cmd_lastsave},
};

}  // namespace

std::span<const CommandSpec> admin_commands() { return kRows; }

bool constant_time_equal(BytesView a, BytesView b) {
  // Every index below the longer length is visited and nothing exits early, so the time
  // taken reveals the lengths only.
  const size_t n = std::max(a.size(), b.size());
  size_t diff = a.size() ^ b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<size_t>(x ^ y);
  }
  return diff == 0;
}

}  // namespace vellum::server
