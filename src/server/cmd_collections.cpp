// The hash, list and set commands.

#include <array>

#include "server/command_util.h"

namespace vellum::server {

namespace {

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

Reply cmd_hgetall(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  return map_result(ctx, ctx.store->hgetall(req[1]), [&state](std::vector<std::pair<Bytes, Bytes>> pairs) {
    std::vector<Reply> out;
    out.reserve(pairs.size() * 2);
    for (auto& [field, value] : pairs) {
      out.push_back(Reply::bulk(std::move(field)));
      out.push_back(Reply::bulk(std::move(value)));
    }
    return map_reply(state, std::move(out));
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
// LPOP/RPOP key [count]: without a count one item or null; with one an array of up to
// `count` items, or the null array for a missing key.
Reply pop_reply(const ServerContext& ctx, const Request& req, bool left) {
  if (req.size() == 2) return map_result(ctx, left ? ctx.store->lpop(req[1]) : ctx.store->rpop(req[1]), bulk_or_null);
  std::optional<int64_t> n = parse_int(req[2]);
  if (!n || *n < 0) return Reply::error("ERR value is out of range, must be positive");
  return map_result(ctx, ctx.store->pop_count(req[1], static_cast<uint64_t>(*n), left), [](std::vector<Bytes> items) {
    return items.empty() ? Reply::null_array() : bulk_array(std::move(items));
  });
}
Reply cmd_lpop(const ServerContext& ctx, ConnectionState&, const Request& req) { return pop_reply(ctx, req, true); }
Reply cmd_rpop(const ServerContext& ctx, ConnectionState&, const Request& req) { return pop_reply(ctx, req, false); }

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
Reply cmd_smembers(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  return map_result(ctx, ctx.store->smembers(req[1]),
                    [&state](std::vector<Bytes> members) { return member_set(state, std::move(members)); });
}
Reply cmd_sismember(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->sismember(req[1], req[2]), [](bool m) { return Reply::from_int(m ? 1 : 0); });
}
Reply cmd_scard(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->scard(req[1]), count);
}

constexpr std::array kRows = {
    CommandSpec{"HSET", 4, kAny, cmd_hset, kWrite, {1, 1, 1}},
    CommandSpec{"HGET", 3, 3, cmd_hget, kReadOnly, {1, 1, 1}},
    CommandSpec{"HDEL", 2, kAny, cmd_hdel, kWrite, {1, 1, 1}},
    CommandSpec{"HGETALL", 2, 2, cmd_hgetall, kReadOnly, {1, 1, 1}},
    CommandSpec{"HLEN", 2, 2, cmd_hlen, kReadOnly, {1, 1, 1}},
    CommandSpec{"LPUSH", 2, kAny, cmd_lpush, kWrite, {1, 1, 1}},
    CommandSpec{"RPUSH", 2, kAny, cmd_rpush, kWrite, {1, 1, 1}},
    CommandSpec{"LPOP", 2, 3, cmd_lpop, kWrite, {1, 1, 1}},
    CommandSpec{"RPOP", 2, 3, cmd_rpop, kWrite, {1, 1, 1}},
    CommandSpec{"LRANGE", 4, 4, cmd_lrange, kReadOnly, {1, 1, 1}},
    CommandSpec{"LLEN", 2, 2, cmd_llen, kReadOnly, {1, 1, 1}},
    CommandSpec{"SADD", 2, kAny, cmd_sadd, kWrite, {1, 1, 1}},
    CommandSpec{"SREM", 2, kAny, cmd_srem, kWrite, {1, 1, 1}},
    CommandSpec{"SMEMBERS", 2, 2, cmd_smembers, kReadOnly, {1, 1, 1}},
    CommandSpec{"SISMEMBER", 3, 3, cmd_sismember, kReadOnly, {1, 1, 1}},
    CommandSpec{"SCARD", 2, 2, cmd_scard, kReadOnly, {1, 1, 1}},
};

}  // namespace

std::span<const CommandSpec> collection_commands() { return kRows; }

}  // namespace vellum::server
