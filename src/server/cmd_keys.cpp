// The key commands over any kind of value: TYPE, UNLINK, TOUCH, the absolute expiry
// commands and their readers, RENAME/RENAMENX, and SCAN. EXPIRE/PEXPIRE with conditions share
// `expire_with_options` with cmd_strings.cpp.

#include <array>
#include <charconv>
#include <optional>
#include <string>

#include "server/command_util.h"

namespace vellum::server {

namespace {

Reply cmd_type(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return Reply::simple(std::string(ctx.store->type(req[1])));
}

Reply cmd_unlink(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->del(rest(req, 1)), count);
}

Reply cmd_touch(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return count(ctx.store->touch(rest(req, 1)));
}

Reply cmd_expireat(const ServerContext& ctx, ConnectionState& st, const Request& req) {
  return expire_with_options(ctx, st, req, 1000, false, "expireat");
}

Reply cmd_pexpireat(const ServerContext& ctx, ConnectionState& st, const Request& req) {
  return expire_with_options(ctx, st, req, 1, false, "pexpireat");
}

Reply cmd_expiretime(const ServerContext& ctx, ConnectionState&, const Request& req) {
  const int64_t ms = ctx.store->expire_time_ms(req[1]);
  if (ms < 0) return Reply::from_int(ms);
  return Reply::from_int(ms / 1000 + (ms % 1000 >= 500 ? 1 : 0));
}

Reply cmd_pexpiretime(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return Reply::from_int(ctx.store->expire_time_ms(req[1]));
}

Reply cmd_rename(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->rename(req[1], req[2], false), [](bool) { return ok(); });
}

Reply cmd_renamenx(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->rename(req[1], req[2], true), flag);
}

// SCAN cursor [MATCH pattern] [COUNT n] [TYPE t]; the cursor's meaning is Store::scan's.
Reply cmd_scan(const ServerContext& ctx, ConnectionState&, const Request& req) {
  ScanArgs args;
  if (auto bad = parse_scan_args(req, 1, ScanExtra::Type, args)) return std::move(*bad);
  Store::ScanPage page = ctx.store->scan(args.cursor, args.count, args.pattern, args.type);
  return scan_reply(page.cursor, std::move(page.keys));
}

constexpr std::array kRows = {
    CommandSpec{"TYPE", 2, 2, cmd_type, kReadOnly, {1, 1, 1}},
    CommandSpec{"UNLINK", 2, kAny, cmd_unlink, kWrite, {1, -1, 1}},
    CommandSpec{"TOUCH", 2, kAny, cmd_touch, kReadOnly, {1, -1, 1}},
    CommandSpec{"EXPIREAT", 3, kAny, cmd_expireat, kWrite, {1, 1, 1}},
    CommandSpec{"PEXPIREAT", 3, kAny, cmd_pexpireat, kWrite, {1, 1, 1}},
    CommandSpec{"EXPIRETIME", 2, 2, cmd_expiretime, kReadOnly, {1, 1, 1}},
    CommandSpec{"PEXPIRETIME", 2, 2, cmd_pexpiretime, kReadOnly, {1, 1, 1}},
    CommandSpec{"RENAME", 3, 3, cmd_rename, kWrite, {1, 2, 1}},
    CommandSpec{"RENAMENX", 3, 3, cmd_renamenx, kWrite, {1, 2, 1}},
    CommandSpec{"SCAN", 2, kAny, cmd_scan, kReadOnly},
};

}  // namespace

std::optional<Reply> parse_scan_args(const Request& req, size_t at, ScanExtra extra, ScanArgs& out) {
  const BytesView text = req[at];
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out.cursor);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return Reply::error("ERR invalid cursor");
  for (size_t i = at + 1; i < req.size(); i += 2) {
    const std::string opt = ascii_upper(req[i]);
    if (extra == ScanExtra::NoValues && opt == "NOVALUES") {
      out.no_values = true;
      --i;  // a flag without a value
      continue;
    }
    if (i + 1 == req.size()) return syntax_error();
    if (opt == "MATCH") {
      if (!utf8::is_valid(req[i + 1])) return Reply::error("ERR invalid pattern");
      out.pattern = req[i + 1];
      if (*out.pattern == "*") out.pattern.reset();
    } else if (opt == "COUNT") {
      std::optional<int64_t> v = parse_int(req[i + 1]);
      if (!v) return not_an_integer();
      if (*v < 1) return syntax_error();
      out.count = static_cast<uint64_t>(*v);
    } else if (extra == ScanExtra::Type && opt == "TYPE") {
      out.type = ascii_lower(req[i + 1]);
    } else {
      return syntax_error();
    }
  }
  return std::nullopt;
}

Reply scan_reply(uint64_t cursor, std::vector<Bytes> items) {
  std::vector<Reply> out;
  out.reserve(2);
  out.push_back(Reply::bulk(std::to_string(cursor)));
  out.push_back(bulk_array(std::move(items)));
  return Reply::array(std::move(out));
}

std::span<const CommandSpec> key_commands() { return kRows; }

Reply expire_with_options(const ServerContext& ctx, ConnectionState&, const Request& req, int64_t multiplier,
                          bool relative, std::string_view name) {
  std::optional<int64_t> v = parse_int(req[2]);
  if (!v) return not_an_integer();
  bool nx = false, xx = false, gt = false, lt = false;
  for (size_t i = 3; i < req.size(); ++i) {
    const std::string opt = ascii_upper(req[i]);
    if (opt == "NX") {
      nx = true;
    } else if (opt == "XX") {
      xx = true;
    } else if (opt == "GT") {
      gt = true;
    } else if (opt == "LT") {
      lt = true;
    } else {
      return Reply::error("ERR Unsupported option " + utf8::lossy(req[i]));
    }
  }
  if (nx && (xx || gt || lt)) return Reply::error("ERR NX and XX, GT or LT options at the same time are not compatible");
  if (gt && lt) return Reply::error("ERR GT and LT options at the same time are not compatible");
  int64_t ms = 0;
  if (mul_overflows(*v, multiplier, ms)) return invalid_expire(name);
  int64_t at = ms;
  if (relative && __builtin_add_overflow(static_cast<int64_t>(ctx.store->now_ms()), ms, &at)) {
    return invalid_expire(name);
  }
  using If = Store::ExpireIf;
  const If cond = nx   ? If::NoExpiry
                  : gt ? If::Later
                  : lt ? (xx ? If::EarlierWithExpiry : If::Earlier)
                  : xx ? If::HasExpiry
                       : If::Always;
  // A time not in the future removes the key; 0 stands for every such time.
  const uint64_t at_ms = at <= 0 ? 0 : static_cast<uint64_t>(at);
  return map_result(ctx, ctx.store->expire_at_if(req[1], at_ms, cond), flag);
}

}  // namespace vellum::server
