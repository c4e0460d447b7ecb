// The hash commands beyond HSET, HGET, HDEL, HGETALL and HLEN.

#include <array>
#include <cmath>
#include <cstdlib>

#include "server/command_util.h"

namespace vellum::server {

namespace {

Reply cmd_hmget(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hmget(req[1], rest(req, 2)), [](std::vector<std::optional<Bytes>> values) {
    std::vector<Reply> out;
    out.reserve(values.size());
    for (auto& v : values) out.push_back(bulk_or_null(std::move(v)));
    return Reply::array(std::move(out));
  });
}

Reply cmd_hmset(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (req.size() % 2 != 0) return wrong_args(req[0]);
  for (size_t i = 2; i + 1 < req.size(); i += 2) {
    auto r = ctx.store->hset(req[1], req[i], req[i + 1]);
    if (!r) return store_error(ctx, r.error());
  }
  return ok();
}

Reply cmd_hexists(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hexists(req[1], req[2]), flag);
}
Reply cmd_hkeys(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hkeys(req[1]), bulk_array);
}
Reply cmd_hvals(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hvals(req[1]), bulk_array);
}
Reply cmd_hstrlen(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hstrlen(req[1], req[2]), count);
}
Reply cmd_hsetnx(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->hsetnx(req[1], req[2], req[3]), flag);
}

Reply cmd_hincrby(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> delta = parse_int(req[3]);
  if (!delta) return not_an_integer();
  auto r = ctx.store->hincrby(req[1], req[2], *delta);
  if (!r && r.error() == StoreError::NotAnInteger) return Reply::error("ERR hash value is not an integer");
  return map_result(ctx, std::move(r), [](int64_t v) { return Reply::from_int(v); });
}

Reply cmd_hincrbyfloat(const ServerContext& ctx, ConnectionState&, const Request& req) {
  const std::string text(req[3]);
  char* end = nullptr;
  const double delta = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(delta)) {
    return Reply::error("ERR value is not a valid float");
  }
  auto r = ctx.store->hincrbyfloat(req[1], req[2], delta);
  if (!r && r.error() == StoreError::NotAFloat) {
    return Reply::error("ERR hash value is not a float, or the increment would produce NaN or Infinity");
  }
  return map_result(ctx, std::move(r), [](Bytes v) { return Reply::bulk(std::move(v)); });
}

// HSCAN key cursor [MATCH pattern] [COUNT n] [NOVALUES]; the cursor's meaning is
// Store::hscan's.
Reply cmd_hscan(const ServerContext& ctx, ConnectionState&, const Request& req) {
  ScanArgs args;
  if (auto bad = parse_scan_args(req, 2, ScanExtra::NoValues, args)) return std::move(*bad);
  return map_result(ctx, ctx.store->hscan(req[1], args.cursor, args.count, args.pattern, args.no_values),
                    [](Store::ElementPage page) { return scan_reply(page.cursor, std::move(page.items)); });
}

constexpr std::array kRows = {
    CommandSpec{"HMGET", 3, kAny, cmd_hmget, kReadOnly, {1, 1, 1}},
    CommandSpec{"HMSET", 4, kAny, cmd_hmset, kWrite, {1, 1, 1}},
    CommandSpec{"HEXISTS", 3, 3, cmd_hexists, kReadOnly, {1, 1, 1}},
    CommandSpec{"HKEYS", 2, 2, cmd_hkeys, kReadOnly, {1, 1, 1}},
    CommandSpec{"HVALS", 2, 2, cmd_hvals, kReadOnly, {1, 1, 1}},
    CommandSpec{"HSTRLEN", 3, 3, cmd_hstrlen, kReadOnly, {1, 1, 1}},
    CommandSpec{"HSETNX", 4, 4, cmd_hsetnx, kWrite, {1, 1, 1}},
    CommandSpec{"HINCRBY", 4, 4, cmd_hincrby, kWrite, {1, 1, 1}},
    CommandSpec{"HINCRBYFLOAT", 4, 4, cmd_hincrbyfloat, kWrite, {1, 1, 1}},
    CommandSpec{"HSCAN", 3, kAny, cmd_hscan, kReadOnly, {1, 1, 1}},
};

}  // namespace

std::span<const CommandSpec> hash_commands() { return kRows; }

}  // namespace vellum::server
