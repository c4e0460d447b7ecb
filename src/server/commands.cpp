#include "server/commands.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/utf8.h"
#include "persist/data_dir.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace vellum::server {

namespace {

// ---- text helpers ----

std::string ascii_upper(BytesView s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string ascii_lower(BytesView s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// ---- replies ----

Reply ok() { return Reply::simple("OK"); }

Reply store_error(const ServerContext& ctx, StoreError e) {
  std::string text = ctx.store->error_text(e);
  // Texts that open with an upper-case code (WRONGTYPE, OOM) go out unchanged.
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') return Reply::error(std::move(text));
  return Reply::error("ERR " + text);
}

Reply wrong_args(BytesView name) {
  return Reply::error("ERR wrong number of arguments for '" + utf8::lossy(ascii_lower(name)) + "' command");
}

Reply not_an_integer() { return Reply::error("ERR value is not an integer or out of range"); }
Reply syntax_error() { return Reply::error("ERR syntax error"); }
Reply invalid_expire(std::string_view name) {
  return Reply::error("ERR invalid expire time in '" + std::string(name) + "' command");
}
Reply no_persistence() { return Reply::error("ERR persistence is not enabled for this server"); }

Reply bulk_or_null(std::optional<Bytes> v) { return v ? Reply::bulk(std::move(*v)) : Reply::null(); }

Reply count(uint64_t n) { return Reply::from_int(static_cast<int64_t>(n)); }

Reply flag(bool b) { return Reply::from_int(b ? 1 : 0); }

Reply bulk_array(std::vector<Bytes> items) {
  std::vector<Reply> out;
  out.reserve(items.size());
  for (Bytes& b : items) out.push_back(Reply::bulk(std::move(b)));
  return Reply::array(std::move(out));
}

template <class T, class Fn>
Reply map_result(const ServerContext& ctx, StoreResult<T> r, Fn&& to_reply) {
  if (!r) return store_error(ctx, r.error());
  return to_reply(std::move(r).value());
}

std::span<const Bytes> rest(const Request& req, size_t from) {
  return std::span<const Bytes>(req).subspan(from);
}

bool mul_overflows(int64_t a, int64_t b, int64_t& out) { return __builtin_mul_overflow(a, b, &out); }

// ---- handlers ----

using Handler = Reply (*)(const ServerContext&, ConnectionState&, const Request&);

Reply cmd_get(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->get(req[1]), bulk_or_null);
}

Reply cmd_set(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<uint64_t> ttl_ms;
  bool nx = false, xx = false;
  for (size_t i = 3; i < req.size(); ++i) {
    const std::string opt = ascii_upper(req[i]);
    if (opt == "EX" || opt == "PX") {
      if (ttl_ms || i + 1 == req.size()) return syntax_error();
      std::optional<int64_t> v = parse_int(req[++i]);
      if (!v) return not_an_integer();
      int64_t ms = *v;
      if (*v <= 0 || (opt == "EX" && mul_overflows(*v, 1000, ms))) return invalid_expire("set");
      ttl_ms = static_cast<uint64_t>(ms);
    } else if (opt == "NX") {
      nx = true;
    } else if (opt == "XX") {
      xx = true;
    } else {
      return syntax_error();
    }
  }
  if (nx && xx) return syntax_error();
  return map_result(ctx, ctx.store->set(req[1], req[2], ttl_ms, nx, xx),
                    [](bool written) { return written ? ok() : Reply::null(); });
}

Reply cmd_setex(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> seconds = parse_int(req[2]);
  if (!seconds) return not_an_integer();
  int64_t ms = 0;
  if (*seconds <= 0 || mul_overflows(*seconds, 1000, ms)) return invalid_expire("setex");
  return map_result(ctx, ctx.store->set(req[1], req[3], static_cast<uint64_t>(ms), false, false),
                    [](bool) { return ok(); });
}

Reply cmd_mget(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::vector<std::optional<Bytes>> values = ctx.store->mget(rest(req, 1));
  std::vector<Reply> out;
  out.reserve(values.size());
  for (auto& v : values) out.push_back(bulk_or_null(std::move(v)));
  return Reply::array(std::move(out));
}

Reply cmd_mset(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (req.size() % 2 == 0) return wrong_args(req[0]);
  std::vector<std::pair<Bytes, Bytes>> pairs;
  pairs.reserve(req.size() / 2);
  for (size_t i = 1; i + 1 < req.size(); i += 2) pairs.emplace_back(req[i], req[i + 1]);
  auto r = ctx.store->mset(pairs);
  return r ? ok() : store_error(ctx, r.error());
}

Reply incr_reply(const ServerContext& ctx, BytesView key, int64_t delta) {
  return map_result(ctx, ctx.store->incr_by(key, delta), [](int64_t v) { return Reply::from_int(v); });
}

Reply cmd_incr(const ServerContext& ctx, ConnectionState&, const Request& req) { return incr_reply(ctx, req[1], 1); }
Reply cmd_decr(const ServerContext& ctx, ConnectionState&, const Request& req) { return incr_reply(ctx, req[1], -1); }

Reply cmd_incrby(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> delta = parse_int(req[2]);
  if (!delta) return not_an_integer();
  return incr_reply(ctx, req[1], *delta);
}

Reply cmd_decrby(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> delta = parse_int(req[2]);
  if (!delta) return not_an_integer();
  // The one delta whose negation does not exist; nothing is changed.
  if (*delta == INT64_MIN) return store_error(ctx, StoreError::Overflow);
  return incr_reply(ctx, req[1], -*delta);
}

Reply cmd_append(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->append(req[1], req[2]), count);
}

Reply cmd_del(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->del(rest(req, 1)), count);
}

Reply cmd_exists(const ServerContext& ctx, ConnectionState&, const Request& req) {
  // One lookup per argument, so a key named twice counts twice.
  int64_t n = 0;
  for (size_t i = 1; i < req.size(); ++i) n += ctx.store->exists(req[i]) ? 1 : 0;
  return Reply::from_int(n);
}

Reply cmd_keys(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (!utf8::is_valid(req[1])) return Reply::error("ERR invalid pattern");
  return bulk_array(ctx.store->keys(req[1]));
}

Reply apply_expire(const ServerContext& ctx, const Request& req, int64_t multiplier, std::string_view name) {
  std::optional<int64_t> v = parse_int(req[2]);
  if (!v) return not_an_integer();
  if (*v <= 0) return map_result(ctx, ctx.store->del(rest(req, 1).first(1)), count);
  int64_t ms = 0;
  if (mul_overflows(*v, multiplier, ms)) return invalid_expire(name);
  return map_result(ctx, ctx.store->pexpire(req[1], static_cast<uint64_t>(ms)), flag);
}

Reply cmd_expire(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return apply_expire(ctx, req, 1000, "expire");
}
Reply cmd_pexpire(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return apply_expire(ctx, req, 1, "pexpire");
}

Reply cmd_persist(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->persist(req[1]), flag);
}

Reply cmd_ttl(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return Reply::from_int(ttl_seconds_from_ms(ctx.store->pttl(req[1])));
}

Reply cmd_pttl(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return Reply::from_int(ctx.store->pttl(req[1]));
}

Reply cmd_hset(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (req.size() % 2 != 0) return wrong_args(req[0]);
  int64_t added = 0;
  for (size_t i = 2; i + 1 < req.size(); i += 2) {
    auto r = ctx.store->hset(req[1], req[i], req[i + 1]);
    if (!r) return store_error(ctx, r.error());
    added += r.value() ? 1 : 0;
  }
  return Reply::from_int(added);
}

Reply cmd_hget(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hget(req[1], req[2]), bulk_or_null);
}

Reply cmd_hdel(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hdel(req[1], rest(req, 2)), count);
}

Reply cmd_hgetall(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hgetall(req[1]), [](std::vector<std::pair<Bytes, Bytes>> pairs) {
    std::vector<Reply> out;
    out.reserve(pairs.size() * 2);
    for (auto& [field, value] : pairs) {
      out.push_back(Reply::bulk(std::move(field)));
      out.push_back(Reply::bulk(std::move(value)));
    }
    return Reply::array(std::move(out));
  });
}

Reply cmd_hlen(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hlen(req[1]), count);
}

Reply cmd_lpush(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->lpush(req[1], rest(req, 2)), count);
}
Reply cmd_rpush(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->rpush(req[1], rest(req, 2)), count);
}
Reply cmd_lpop(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->lpop(req[1]), bulk_or_null);
}
Reply cmd_rpop(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->rpop(req[1]), bulk_or_null);
}

Reply cmd_lrange(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> start = parse_int(req[2]);
  if (!start) return not_an_integer();
  std::optional<int64_t> stop = parse_int(req[3]);
  if (!stop) return not_an_integer();
  return map_result(ctx, ctx.store->lrange(req[1], *start, *stop), bulk_array);
}

Reply cmd_llen(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->llen(req[1]), count);
}

Reply cmd_sadd(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->sadd(req[1], rest(req, 2)), count);
}
Reply cmd_srem(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->srem(req[1], rest(req, 2)), count);
}
Reply cmd_smembers(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->smembers(req[1]), bulk_array);
}
Reply cmd_sismember(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->sismember(req[1], req[2]), [](bool m) { return Reply::from_int(m ? 1 : 0); });
}
Reply cmd_scard(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->scard(req[1]), count);
}

// ---- connection and administrative commands ----

Reply cmd_auth(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  if (!ctx.password) return Reply::error("ERR AUTH <password> called without any password configured");
  // A failed attempt also drops an earlier success on this connection.
  state.authenticated = constant_time_equal(req[1], *ctx.password);
  return state.authenticated ? ok() : Reply::error("WRONGPASS invalid password");
}

Reply cmd_quit(const ServerContext&, ConnectionState&, const Request&) { return ok(); }

Reply cmd_ping(const ServerContext&, ConnectionState&, const Request& req) {
  return req.size() == 1 ? Reply::simple("PONG") : Reply::bulk(req[1]);
}

Reply cmd_echo(const ServerContext&, ConnectionState&, const Request& req) { return Reply::bulk(req[1]); }

Reply cmd_select(const ServerContext&, ConnectionState&, const Request& req) {
  std::optional<int64_t> index = parse_int(req[1]);
  if (!index) return not_an_integer();
  return *index == 0 ? ok() : Reply::error("ERR DB index is out of range");
}

Reply cmd_command(const ServerContext&, ConnectionState&, const Request&) { return Reply::array({}); }

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

Reply cmd_info(const ServerContext& ctx, ConnectionState&, const Request&) { return Reply::bulk(render_info(ctx)); }

Reply cmd_save(const ServerContext& ctx, ConnectionState&, const Request&) {
  if (!persist::read_persist_stats(*ctx.store)) return no_persistence();
  auto r = persist::save(*ctx.store);
  if (!r) return Reply::error("ERR save failed: " + r.error().text);
  return ok();
}

Reply cmd_bgsave(const ServerContext& ctx, ConnectionState&, const Request&) {
  if (!persist::read_persist_stats(*ctx.store)) return no_persistence();
  bool expected = false;
  if (!ctx.bgsave_running->compare_exchange_strong(expected, true)) {
    return Reply::error("ERR Background save already in progress");
  }
  auto thread = NamedThread::spawn("vellum-bgsave", [store = ctx.store, flag = ctx.bgsave_running] {
    // The persistence layer records a failure, an allocation failure included, as its
    // last error ("save failed: ..."), shown by INFO. The flag is cleared whatever
    // happened, so a later BGSAVE can run.
    try {
      (void)persist::save(*store);
    } catch (...) {
    }
    flag->store(false);
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

Reply cmd_lastsave(const ServerContext& ctx, ConnectionState&, const Request&) {
  std::optional<persist::PersistStats> stats = persist::read_persist_stats(*ctx.store);
  return count(stats ? stats->last_save_ms / 1000 : 0);
}

// ---- the table ----

inline constexpr int kAny = -1;

// What sets a command apart from the rest, as bits of CommandSpec::flags.
inline constexpr unsigned kBeforeAuth = 1;  // runs on a connection not yet authenticated
inline constexpr unsigned kCloses = 2;      // the connection closes after its reply

struct CommandSpec {
  std::string_view name;  // upper case
  int min_args;           // counting the name
  int max_args;           // kAny: unbounded
  Handler handler;
  unsigned flags = 0;
};

constexpr std::array kCommands = {
    CommandSpec{"GET", 2, 2, cmd_get},
    CommandSpec{"SET", 3, kAny, cmd_set},
    CommandSpec{"SETEX", 4, 4, cmd_setex},
    CommandSpec{"MGET", 2, kAny, cmd_mget},
    CommandSpec{"MSET", 3, kAny, cmd_mset},
    CommandSpec{"INCR", 2, 2, cmd_incr},
    CommandSpec{"DECR", 2, 2, cmd_decr},
    CommandSpec{"INCRBY", 3, 3, cmd_incrby},
    CommandSpec{"DECRBY", 3, 3, cmd_decrby},
    CommandSpec{"APPEND", 3, 3, cmd_append},
    CommandSpec{"DEL", 2, kAny, cmd_del},
    CommandSpec{"EXISTS", 2, kAny, cmd_exists},
    CommandSpec{"KEYS", 2, 2, cmd_keys},
    CommandSpec{"EXPIRE", 3, 3, cmd_expire},
    CommandSpec{"PEXPIRE", 3, 3, cmd_pexpire},
    CommandSpec{"PERSIST", 2, 2, cmd_persist},
    CommandSpec{"TTL", 2, 2, cmd_ttl},
    CommandSpec{"PTTL", 2, 2, cmd_pttl},
    CommandSpec{"HSET", 4, kAny, cmd_hset},
    CommandSpec{"HGET", 3, 3, cmd_hget},
    CommandSpec{"HDEL", 2, kAny, cmd_hdel},
    CommandSpec{"HGETALL", 2, 2, cmd_hgetall},
    CommandSpec{"HLEN", 2, 2, cmd_hlen},
    CommandSpec{"LPUSH", 2, kAny, cmd_lpush},
    CommandSpec{"RPUSH", 2, kAny, cmd_rpush},
    CommandSpec{"LPOP", 2, 2, cmd_lpop},
    CommandSpec{"RPOP", 2, 2, cmd_rpop},
    CommandSpec{"LRANGE", 4, 4, cmd_lrange},
    CommandSpec{"LLEN", 2, 2, cmd_llen},
    CommandSpec{"SADD", 2, kAny, cmd_sadd},
    CommandSpec{"SREM", 2, kAny, cmd_srem},
    CommandSpec{"SMEMBERS", 2, 2, cmd_smembers},
    CommandSpec{"SISMEMBER", 3, 3, cmd_sismember},
    CommandSpec{"SCARD", 2, 2, cmd_scard},
    CommandSpec{"AUTH", 2, 2, cmd_auth, kBeforeAuth},
    CommandSpec{"QUIT", 1, kAny, cmd_quit, kBeforeAuth | kCloses},
    CommandSpec{"PING", 1, 2, cmd_ping},
    CommandSpec{"ECHO", 2, 2, cmd_echo},
    CommandSpec{"SELECT", 2, 2, cmd_select},
    CommandSpec{"COMMAND", 1, kAny, cmd_command},
    CommandSpec{"DBSIZE", 1, 1, cmd_dbsize},
    CommandSpec{"FLUSHDB", 1, 2, cmd_flush},
    CommandSpec{"FLUSHALL", 1, 2, cmd_flush},
    CommandSpec{"INFO", 1, 2, cmd_info},
    CommandSpec{"SAVE", 1, 1, cmd_save},
    CommandSpec{"BGSAVE", 1, 1, cmd_bgsave},
    CommandSpec{"LASTSAVE", 1, 1, cmd_lastsave},
};

const CommandSpec* find_command(std::string_view upper) {
  for (const CommandSpec& c : kCommands) {
    if (c.name == upper) return &c;
  }
  return nullptr;
}

}  // namespace

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

int64_t ttl_seconds_from_ms(int64_t ms) {
  if (ms < 0) return ms;
  // (ms + 500) / 1000 without the sum, which overflows within 500 of INT64_MAX.
  return ms / 1000 + (ms % 1000 >= 500 ? 1 : 0);
}

std::string render_info(const ServerContext& ctx) {
  const uint64_t now = monotonic_ms();
  const uint64_t uptime = now > ctx.started_ms ? (now - ctx.started_ms) / 1000 : 0;
  std::string out;
  auto line = [&out](std::string_view text) {
    out.append(text);
    out.append("\r\n");
  };
  line("# Server");
  line("uptime_in_seconds:" + std::to_string(uptime));
  line("");
  line("# Memory");
  line("used_memory:" + std::to_string(ctx.store->used_memory()));
  line("");
  line("# Keyspace");
  line("keys:" + std::to_string(ctx.store->key_count()));
  line("");
  line("# Persistence");
  std::optional<persist::PersistStats> stats = persist::read_persist_stats(*ctx.store);
  if (!stats) {
    line("persistence_enabled:0");
    return out;
  }
  line("persistence_enabled:1");
  line("last_save_time:" + std::to_string(stats->last_save_ms / 1000));
  line("wal_bytes:" + std::to_string(stats->wal_bytes));
  line("snapshot_bytes:" + std::to_string(stats->snapshot_bytes));
  line("last_error:" + stats->last_error.value_or(""));
  return out;
}

DispatchResult dispatch(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  const CommandSpec* row = find_command(ascii_upper(req[0]));
  // Unauthenticated, a command without kBeforeAuth, known or not, learns nothing more.
  if (!state.authenticated && (row == nullptr || (row->flags & kBeforeAuth) == 0)) {
    return {Reply::error("NOAUTH Authentication required."), false};
  }
  if (row == nullptr) return {Reply::error("ERR unknown command '" + utf8::lossy(req[0]) + "'"), false};
  const auto argc = static_cast<int64_t>(req.size());
  if (argc < row->min_args || (row->max_args != kAny && argc > row->max_args)) {
    return {wrong_args(req[0]), false};
  }
  return {row->handler(ctx, state, req), (row->flags & kCloses) != 0};
}

}  // namespace vellum::server
