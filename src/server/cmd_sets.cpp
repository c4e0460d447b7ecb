// The set commands beyond add, remove and read: bulk membership, random choice, moving a
// member, and the algebra with its store forms.

#include <array>

#include "server/command_util.h"

namespace vellum::server {

namespace {

Reply cmd_smismember(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->smismember(req[1], rest(req, 2)), [](std::vector<bool> found) {
    std::vector<Reply> out;
    out.reserve(found.size());
    for (bool b : found) out.push_back(flag(b));
    return Reply::array(std::move(out));
  });
}

Reply first_or_null(std::vector<Bytes> items) {
  return items.empty() ? Reply::null() : Reply::bulk(std::move(items.front()));
}

Reply cmd_srandmember(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (req.size() == 2) return map_result(ctx, ctx.store->srandmember(req[1], 1), first_or_null);
  std::optional<int64_t> n = parse_int(req[2]);
  if (!n) return not_an_integer();
  return map_result(ctx, ctx.store->srandmember(req[1], *n), bulk_array);
}

Reply cmd_spop(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (req.size() == 2) return map_result(ctx, ctx.store->spop(req[1], 1), first_or_null);
  std::optional<int64_t> n = parse_int(req[2]);
  if (!n) return not_an_integer();
  if (*n < 0) return Reply::error("ERR value is out of range, must be positive");
  return map_result(ctx, ctx.store->spop(req[1], static_cast<uint64_t>(*n)), bulk_array);
}

Reply cmd_smove(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->smove(req[1], req[2], req[3]), flag);
}

// SINTER, SUNION, SDIFF: a set of members, as SMEMBERS answers.
template <Store::SetOp Op>
Reply cmd_combine(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  return map_result(ctx, ctx.store->set_combine(Op, rest(req, 1)),
                    [&state](std::vector<Bytes> members) { return member_set(state, std::move(members)); });
}

template <Store::SetOp Op>
Reply cmd_combine_store(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->set_combine_store(Op, req[1], rest(req, 2)), count);
}

// SINTERCARD numkeys key [key ...] [LIMIT limit]
Reply cmd_sintercard(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> numkeys = parse_int(req[1]);
  if (!numkeys) return not_an_integer();
  if (*numkeys <= 0) return Reply::error("ERR numkeys should be greater than 0");
  if (static_cast<uint64_t>(*numkeys) > req.size() - 2) {
    return Reply::error("ERR Number of keys can't be greater than number of args");
  }
  const size_t after = 2 + static_cast<size_t>(*numkeys);
  uint64_t limit = 0;
  for (size_t i = after; i < req.size(); i += 2) {
    if (ascii_upper(req[i]) != "LIMIT" || i + 1 >= req.size()) return syntax_error();
    std::optional<int64_t> l = parse_int(req[i + 1]);
    if (!l) return not_an_integer();
    if (*l < 0) return Reply::error("ERR LIMIT can't be negative");
    limit = static_cast<uint64_t>(*l);
  }
  return map_result(ctx, ctx.store->sintercard(rest(req, 2).first(static_cast<size_t>(*numkeys)), limit), count);
}

// SSCAN key cursor [MATCH pattern] [COUNT n]; the cursor's meaning is Store::sscan's.
Reply cmd_sscan(const ServerContext& ctx, ConnectionState&, const Request& req) {
  ScanArgs args;
  if (auto bad = parse_scan_args(req, 2, ScanExtra::None, args)) return std::move(*bad);
  return map_result(ctx, ctx.store->sscan(req[1], args.cursor, args.count, args.pattern),
                    [](Store::ElementPage page) { return scan_reply(page.cursor, std::move(page.items)); });
}

constexpr std::array kRows = {
    CommandSpec{"SMISMEMBER", 3, kAny, cmd_smismember, kReadOnly, {1, 1, 1}},
    CommandSpec{"SRANDMEMBER", 2, 3, cmd_srandmember, kReadOnly, {1, 1, 1}},
    CommandSpec{"SPOP", 2, 3, cmd_spop, kWrite, {1, 1, 1}},
    CommandSpec{"SMOVE", 4, 4, cmd_smove, kWrite, {1, 2, 1}},
    CommandSpec{"SINTER", 2, kAny, cmd_combine<Store::SetOp::Inter>, kReadOnly, {1, -1, 1}},
    CommandSpec{"SUNION", 2, kAny, cmd_combine<Store::SetOp::Union>, kReadOnly, {1, -1, 1}},
    CommandSpec{"SDIFF", 2, kAny, cmd_combine<Store::SetOp::Diff>, kReadOnly, {1, -1, 1}},
    CommandSpec{"SINTERSTORE", 3, kAny, cmd_combine_store<Store::SetOp::Inter>, kWrite, {1, -1, 1}},
    CommandSpec{"SUNIONSTORE", 3, kAny, cmd_combine_store<Store::SetOp::Union>, kWrite, {1, -1, 1}},
    CommandSpec{"SDIFFSTORE", 3, kAny, cmd_combine_store<Store::SetOp::Diff>, kWrite, {1, -1, 1}},
    // The keys are counted by the first argument and follow it.
    CommandSpec{"SINTERCARD", 3, kAny, cmd_sintercard, kReadOnly, {0, 0, 0, 1}},
    CommandSpec{"SSCAN", 3, kAny, cmd_sscan, kReadOnly, {1, 1, 1}},
};

}  // namespace

std::span<const CommandSpec> set_commands() { return kRows; }

}  // namespace vellum::server
