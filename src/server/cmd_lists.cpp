// The list commands beyond push, pop, range and length: positional reads.

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

constexpr std::array kRows = {
    CommandSpec{"LINDEX", 3, 3, cmd_lindex, kReadOnly, {1, 1, 1}},
    CommandSpec{"LPOS", 3, kAny, cmd_lpos, kReadOnly, {1, 1, 1}},
};

}  // namespace

std::span<const CommandSpec> list_commands() { return kRows; }

}  // namespace vellum::server
