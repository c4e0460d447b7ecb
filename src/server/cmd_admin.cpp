// The connection and administrative commands: AUTH, QUIT, PING, INFO, SAVE and the rest.

#include <algorithm>
#include <array>
#include <optional>

#include "persist/data_dir.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "server/command_util.h"

namespace vellum::server {

namespace {

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

constexpr std::array kRows = {
    CommandSpec{"AUTH", 2, 2, cmd_auth, kBeforeAuth},
    CommandSpec{"QUIT", 1, kAny, cmd_quit, kBeforeAuth | kCloses},
    CommandSpec{"PING", 1, 2, cmd_ping},
    CommandSpec{"ECHO", 2, 2, cmd_echo},
    CommandSpec{"SELECT", 2, 2, cmd_select},
    CommandSpec{"COMMAND", 1, kAny, cmd_command},
    CommandSpec{"DBSIZE", 1, 1, cmd_dbsize, kReadOnly},
    CommandSpec{"FLUSHDB", 1, 2, cmd_flush, kWrite},
    CommandSpec{"FLUSHALL", 1, 2, cmd_flush, kWrite},
    CommandSpec{"INFO", 1, 2, cmd_info},
    CommandSpec{"SAVE", 1, 1, cmd_save},
    CommandSpec{"BGSAVE", 1, 1, cmd_bgsave},
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

}  // namespace vellum::server
