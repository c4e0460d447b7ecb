// What the server tells about itself: COMMAND and its subcommands from the command table,
// CONFIG GET over the settings the store runs with, and INFO by section.

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "core/glob.h"
#include "persist/data_dir.h"
#include "platform/clock.h"
#include "server/command_util.h"

namespace vellum::server {

namespace {

std::vector<const CommandSpec*> all_rows() {
  std::vector<const CommandSpec*> out;
  for (auto family : command_families()) {
    for (const CommandSpec& c : family) out.push_back(&c);
  }
  std::sort(out.begin(), out.end(), [](const CommandSpec* a, const CommandSpec* b) { return a->name < b->name; });
  return out;
}

// Positive: exactly that many arguments counting the name; negative: at least its
// magnitude.
int64_t arity(const CommandSpec& c) { return c.max_args == c.min_args ? c.min_args : -c.min_args; }

Reply command_entry(const CommandSpec& c) {
  std::vector<Reply> flags;
  if (c.flags & kWrite) flags.push_back(Reply::simple("write"));
  if (c.flags & kReadOnly) flags.push_back(Reply::simple("readonly"));
  if (c.flags & kBeforeAuth) flags.push_back(Reply::simple("no_auth"));
  if ((c.flags & (kWrite | kReadOnly)) == 0) flags.push_back(Reply::simple("fast"));
  if (c.flags & kNoScript) flags.push_back(Reply::simple("noscript"));
  if (c.keys.count_at > 0) flags.push_back(Reply::simple("movablekeys"));
  return Reply::array({
      Reply::bulk(ascii_lower(c.name)),
      Reply::from_int(arity(c)),
      Reply::set(std::move(flags)),
      Reply::from_int(c.keys.first),
      Reply::from_int(c.keys.last),
      Reply::from_int(c.keys.step),
      Reply::set({}),
      Reply::set({}),
      Reply::array({}),
      Reply::array({}),
  });
}

// The keys of `args` (a whole request, name first) by the row's positions.
std::vector<Bytes> keys_of(const CommandSpec& c, std::span<const Bytes> args) {
  std::vector<Bytes> out;
  for (size_t i : key_indices(c, args).value_or(std::vector<size_t>{})) out.push_back(args[i]);
  return out;
}

Reply cmd_command(const ServerContext&, ConnectionState&, const Request& req) {
  if (req.size() == 1) {
    std::vector<Reply> out;
    for (const CommandSpec* c : all_rows()) out.push_back(command_entry(*c));
    return Reply::array(std::move(out));
  }
  const std::string sub = ascii_upper(req[1]);
  if (sub == "COUNT" && req.size() == 2) return count(all_rows().size());
  if (sub == "LIST" && req.size() == 2) {
    std::vector<Reply> out;
    for (const CommandSpec* c : all_rows()) out.push_back(Reply::bulk(ascii_lower(c->name)));
    return Reply::array(std::move(out));
  }
  if (sub == "INFO") {
    std::vector<Reply> out;
    if (req.size() == 2) {
      for (const CommandSpec* c : all_rows()) out.push_back(command_entry(*c));
    }
    for (size_t i = 2; i < req.size(); ++i) {
      const CommandSpec* c = find_command(ascii_upper(req[i]));
      out.push_back(c ? command_entry(*c) : Reply::null());
    }
    return Reply::array(std::move(out));
  }
  if (sub == "DOCS") {
    // Minimal documentation: every command named is listed, with no fields yet.
    std::vector<Reply> out;
    auto add = [&out](const CommandSpec& c) {
      out.push_back(Reply::bulk(ascii_lower(c.name)));
      out.push_back(Reply::map({Reply::bulk("arity"), Reply::from_int(arity(c))}));
    };
    if (req.size() == 2) {
      for (const CommandSpec* c : all_rows()) add(*c);
    }
    for (size_t i = 2; i < req.size(); ++i) {
      if (const CommandSpec* c = find_command(ascii_upper(req[i]))) add(*c);
    }
    return Reply::map(std::move(out));
  }
  if (sub == "GETKEYS" && req.size() >= 3) {
    const CommandSpec* c = find_command(ascii_upper(req[2]));
    if (c == nullptr) return Reply::error("ERR Invalid command specified");
    std::span<const Bytes> args = rest(req, 2);
    const auto argc = static_cast<int64_t>(args.size());
    if (argc < c->min_args || (c->max_args != kAny && argc > c->max_args)) {
      return Reply::error("ERR Invalid number of arguments specified for command");
    }
    std::vector<Bytes> keys = keys_of(*c, args);
    if (keys.empty()) return Reply::error("ERR The command has no key arguments");
    return bulk_array(std::move(keys));
  }
  return Reply::error("ERR unknown subcommand or wrong number of arguments for '" + utf8::lossy(req[1]) +
                      "'. Try COMMAND HELP.");
}

std::string_view policy_name(EvictionPolicy p) {
  switch (p) {
    case EvictionPolicy::AllKeysLru:
      return "allkeys-lru";
    case EvictionPolicy::VolatileLru:
      return "volatile-lru";
    case EvictionPolicy::NoEviction:
      break;
  }
  return "noeviction";
}

std::string_view fsync_name(FsyncPolicy p) {
  switch (p) {
    case FsyncPolicy::Always:
      return "always";
    case FsyncPolicy::Never:
      return "no";
    case FsyncPolicy::EverySec:
      break;
  }
  return "everysec";
}

// The settings CONFIG GET reports, by name, in a fixed order.
std::vector<std::pair<std::string, std::string>> settings(const ServerContext& ctx) {
  const StoreConfig& c = ctx.store->config();
  const bool persistent = c.persist_dir.has_value();
  return {
      {"maxmemory", std::to_string(c.max_memory)},
      {"maxmemory-policy", std::string(policy_name(c.policy))},
      {"appendonly", persistent ? "yes" : "no"},
      {"appendfsync", std::string(fsync_name(c.fsync))},
      {"save", persistent && c.snapshot_interval != 0 ? std::to_string(c.snapshot_interval) + " 1" : ""},
      {"databases", "1"},
  };
}

Reply cmd_config(const ServerContext& ctx, ConnectionState&, const Request& req) {
  const std::string sub = ascii_upper(req[1]);
  if (sub == "GET" && req.size() >= 3) {
    std::vector<Reply> out;
    for (const auto& setting : settings(ctx)) {
      const auto& name = setting.first;
      const bool wanted = std::any_of(req.begin() + 2, req.end(), [&](const Bytes& p) {
        return glob_match(ascii_lower(p), name);
      });
      if (!wanted) continue;
      out.push_back(Reply::bulk(name));
      out.push_back(Reply::bulk(setting.second));
    }
    return Reply::map(std::move(out));
  }
  if (sub == "SET" && req.size() >= 4) {
    // The store's settings are read without a lock by every operation, so none of them
    // changes while the server runs.
    return Reply::error("ERR CONFIG SET is not supported: settings are fixed when the server starts ('" +
                        utf8::lossy(req[2]) + "')");
  }
  if (sub == "RESETSTAT" && req.size() == 2) return ok();
  return Reply::error("ERR unknown subcommand or wrong number of arguments for '" + utf8::lossy(req[1]) +
                      "'. Try CONFIG HELP.");
}

constexpr std::array<std::string_view, 6> kSections = {"server", "clients", "memory", "stats", "persistence",
                                                       "keyspace"};

// One section's lines. `extended`: also the lines only a request naming sections gets;
// the plain INFO text stays what it always was.
void render_section(const ServerContext& ctx, std::string_view name, bool extended, std::string& out) {
  auto line = [&out](std::string_view text) {
    out.append(text);
    out.append("\r\n");
  };
  if (!out.empty()) line("");
  const StoreConfig& config = ctx.store->config();
  if (name == "server") {
    const uint64_t now = monotonic_ms();
    line("# Server");
    line("uptime_in_seconds:" + std::to_string(now > ctx.started_ms ? (now - ctx.started_ms) / 1000 : 0));
    if (extended) line("databases:1");
  } else if (name == "clients") {
    line("# Clients");
    line("connected_clients:" + std::to_string(ctx.clients ? ctx.clients->size() : 0));
  } else if (name == "memory") {
    line("# Memory");
    line("used_memory:" + std::to_string(ctx.store->used_memory()));
    if (extended) {
      line("maxmemory:" + std::to_string(config.max_memory));
      line("maxmemory_policy:" + std::string(policy_name(config.policy)));
    }
  } else if (name == "stats") {
    const StoreCounters c = ctx.store->counters();
    line("# Stats");
    line("keyspace_hits:" + std::to_string(c.hits));
    line("keyspace_misses:" + std::to_string(c.misses));
    line("evicted_keys:" + std::to_string(c.evictions));
    line("expired_keys:" + std::to_string(c.expired));
  } else if (name == "keyspace") {
    line("# Keyspace");
    line("keys:" + std::to_string(ctx.store->key_count()));
  } else if (name == "persistence") {
    line("# Persistence");
    std::optional<persist::PersistStats> stats = persist::read_persist_stats(*ctx.store);
    if (!stats) {
      line("persistence_enabled:0");
      return;
    }
    line("persistence_enabled:1");
    line("last_save_time:" + std::to_string(stats->last_save_ms / 1000));
    line("wal_bytes:" + std::to_string(stats->wal_bytes));
    line("snapshot_bytes:" + std::to_string(stats->snapshot_bytes));
    line("last_error:" + stats->last_error.value_or(""));
    if (extended) line("appendfsync:" + std::string(fsync_name(config.fsync)));
  }
}

// INFO [section ...]: the named sections in a fixed order, each once, with their extended
// lines; "all" names every section. Bare, "default" or "everything" is the plain text,
// which keeps exactly the lines it has always had.
Reply cmd_info(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::vector<std::string> names;
  bool plain = req.size() == 1;
  bool every = false;
  for (size_t i = 1; i < req.size(); ++i) {
    std::string s = ascii_lower(req[i]);
    if (s == "default" || s == "everything") {
      plain = true;
    } else if (s == "all") {
      every = true;
    } else {
      names.push_back(std::move(s));
    }
  }
  // Bulk rather than verbatim text under either protocol: clients parse both alike.
  if (plain && !every && names.empty()) return Reply::bulk(render_info(ctx));
  std::string out;
  for (std::string_view s : kSections) {
    const bool named = std::find(names.begin(), names.end(), s) != names.end();
    const bool in_plain = s != "clients" && s != "stats";
    if (every || named || (plain && in_plain)) render_section(ctx, s, true, out);
  }
  return Reply::bulk(std::move(out));
}

constexpr std::array kRows = {
    CommandSpec{"COMMAND", 1, kAny, cmd_command},
    CommandSpec{"CONFIG", 2, kAny, cmd_config},
    CommandSpec{"INFO", 1, kAny, cmd_info},
};

}  // namespace

std::span<const CommandSpec> introspection_commands() { return kRows; }

std::string render_info(const ServerContext& ctx) {
  std::string out;
  for (std::string_view s : {"server", "memory", "keyspace", "persistence"}) render_section(ctx, s, false, out);
  return out;
}

}  // namespace vellum::server
