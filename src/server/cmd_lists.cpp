// The list commands beyond push, pop, range and length: positional reads, writes in
// place and moves between lists.

#include <array>
#include <cstdint>

#include "server/command_util.h"

namespace vellum::server {

namespace {

Reply cmd_lindex(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> index = parse_int(req[2]);
  if (!index) return not_an_integer();
  return map_result(ctx, ctx.store->lindex(req[1], *index), bulk_or_null);
}

// LPOS key element [RANK rank] [COUNT num] [MAXLEN len]
Reply cmd_lpos(const ServerContext& ctx, ConnectionState&, const Request& req) {
  int64_t rank = 1;
  std::optional<int64_t> count;
  int64_t maxlen = 0;
  for (size_t i = 3; i < req.size(); i += 2) {
    const std::string opt = ascii_upper(req[i]);
    if (i + 1 >= req.size()) return syntax_error();
    std::optional<int64_t> v = parse_int(req[i + 1]);
    if (!v) return not_an_integer();
    if (opt == "RANK") {
      if (*v == 0 || *v == INT64_MIN) {
        return Reply::error(
            "ERR RANK can't be zero: use 1 to start from the first match, 2 from the second ... or use negative "
            "to start from the last match");
      }
      rank = *v;
    } else if (opt == "COUNT") {
      if (*v < 0) return Reply::error("ERR COUNT can't be negative");
      count = *v;
    } else if (opt == "MAXLEN") {
      if (*v < 0) return Reply::error("ERR MAXLEN can't be negative");
      maxlen = *v;
    } else {
      return syntax_error();
    }
  }
  auto r = ctx.store->lpos(req[1], req[2], rank, count ? static_cast<uint64_t>(*count) : 1,
                           static_cast<uint64_t>(maxlen));
  return map_result(ctx, std::move(r), [&](std::vector<int64_t> found) {
    if (!count) return found.empty() ? Reply::null() : Reply::from_int(found.front());
    std::vector<Reply> out;
    out.reserve(found.size());
    for (int64_t i : found) out.push_back(Reply::from_int(i));
    return Reply::array(std::move(out));
  });
}

Reply cmd_lset(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> index = parse_int(req[2]);
  if (!index) return not_an_integer();
  auto r = ctx.store->lset(req[1], *index, req[3]);
  if (!r) return store_error(ctx, r.error());
  return ok();
}

Reply cmd_ltrim(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> start = parse_int(req[2]);
  std::optional<int64_t> stop = parse_int(req[3]);
  if (!start || !stop) return not_an_integer();
  auto r = ctx.store->ltrim(req[1], *start, *stop);
  if (!r) return store_error(ctx, r.error());
  return ok();
}

Reply cmd_lrem(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> n = parse_int(req[2]);
  if (!n) return not_an_integer();
  return map_result(ctx, ctx.store->lrem(req[1], *n, req[3]), count);
}

// LINSERT key BEFORE|AFTER pivot element
Reply cmd_linsert(const ServerContext& ctx, ConnectionState&, const Request& req) {
  const std::string where = ascii_upper(req[2]);
  if (where != "BEFORE" && where != "AFTER") return syntax_error();
  return map_result(ctx, ctx.store->linsert(req[1], where == "AFTER", req[3], req[4]),
                    [](int64_t n) { return Reply::from_int(n); });
}

// LEFT: true, RIGHT: false, anything else: nullopt.
std::optional<bool> parse_end(BytesView word) {
  const std::string w = ascii_upper(word);
  if (w == "LEFT") return true;
  if (w == "RIGHT") return false;
  return std::nullopt;
}

// LMOVE source destination LEFT|RIGHT LEFT|RIGHT
Reply cmd_lmove(const ServerContext& ctx, ConnectionState&, const Request& req) {
  const std::optional<bool> from_left = parse_end(req[3]);
  const std::optional<bool> to_left = parse_end(req[4]);
  if (!from_left || !to_left) return syntax_error();
  return map_result(ctx, ctx.store->lmove(req[1], req[2], *from_left, *to_left), bulk_or_null);
}

// RPOPLPUSH source destination: LMOVE source destination RIGHT LEFT.
Reply cmd_rpoplpush(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->lmove(req[1], req[2], false, true), bulk_or_null);
}

constexpr std::array kRows = {
    CommandSpec{"LINDEX", 3, 3, cmd_lindex, kReadOnly, {1, 1, 1}},
    CommandSpec{"LPOS", 3, kAny, cmd_lpos, kReadOnly, {1, 1, 1}},
    CommandSpec{"LSET", 4, 4, cmd_lset, kWrite, {1, 1, 1}},
    CommandSpec{"LTRIM", 4, 4, cmd_ltrim, kWrite, {1, 1, 1}},
    CommandSpec{"LREM", 4, 4, cmd_lrem, kWrite, {1, 1, 1}},
    CommandSpec{"LINSERT", 5, 5, cmd_linsert, kWrite, {1, 1, 1}},
    CommandSpec{"LMOVE", 5, 5, cmd_lmove, kWrite, {1, 2, 1}},
    CommandSpec{"RPOPLPUSH", 3, 3, cmd_rpoplpush, kWrite, {1, 2, 1}},
};

}  // namespace

std::span<const CommandSpec> list_commands() { return kRows; }

}  // namespace vellum::server
