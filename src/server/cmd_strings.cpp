// The string, key and expiry commands.

#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "server/command_util.h"

namespace vellum::server {

namespace {

// A whole-argument finite float, as INCRBYFLOAT takes its increment.
std::optional<long double> parse_long_double(BytesView s) {
  if (s.empty() || s.size() > 5000 || std::isspace(static_cast<unsigned char>(s.front())) != 0 ||
      std::isspace(static_cast<unsigned char>(s.back())) != 0) {
    return std::nullopt;
  }
  const std::string text(s);
  char* end = nullptr;
  errno = 0;
  const long double v = std::strtold(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || std::isnan(v)) return std::nullopt;
  return v;
}

Reply cmd_get(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->get(req[1]), bulk_or_null);
}

// One expiry option of SET or GETEX: its word and, for a timed one, its number.
struct ExpiryOption {
  std::string unit;  // EX, PX, EXAT, PXAT, KEEPTTL, PERSIST or empty
  BytesView number;
};

std::optional<Reply> parse_expiry(const ExpiryOption& opt, std::string_view name, Store::Expiry& out) {
  if (opt.unit.empty()) return std::nullopt;
  if (opt.unit == "KEEPTTL") {
    out.mode = Store::ExpiryMode::Keep;
    return std::nullopt;
  }
  if (opt.unit == "PERSIST") {
    out.mode = Store::ExpiryMode::Persist;
    return std::nullopt;
  }
  std::optional<int64_t> v = parse_int(opt.number);
  if (!v) return not_an_integer();
  const bool seconds = opt.unit == "EX" || opt.unit == "EXAT";
  int64_t ms = *v;
  if (*v <= 0 || (seconds && mul_overflows(*v, 1000, ms))) return invalid_expire(name);
  out.mode = (opt.unit == "EX" || opt.unit == "PX") ? Store::ExpiryMode::Relative : Store::ExpiryMode::Absolute;
  out.ms = static_cast<uint64_t>(ms);
  return std::nullopt;
}

// Reads one expiry option at req[i] (advancing past its number); false when `opt` already
// holds one or the number is missing.
bool take_expiry(const Request& req, size_t& i, const std::string& word, ExpiryOption& opt) {
  if (!opt.unit.empty()) return false;
  opt.unit = word;
  if (word == "KEEPTTL" || word == "PERSIST") return true;
  if (i + 1 == req.size()) return false;
  opt.number = req[++i];
  return true;
}

bool is_timed(const std::string& w) { return w == "EX" || w == "PX" || w == "EXAT" || w == "PXAT"; }

// SET with IFEQ or IFNE: the comparison with the present value and the write happen
// under the key's shard lock, so no other write lands between them. A missing key
// equals nothing: IFEQ leaves it missing, IFNE writes it.
Reply set_if(const ServerContext& ctx, const Request& req, BytesView compared, bool if_equal,
             const Store::Expiry& expiry, bool get) {
  Store& store = *ctx.store;
  const size_t shard = store.shard_index(req[1]);
  Reply out;
  auto locked = store.with_locked_shards(std::span<const size_t>(&shard, 1), [&] {
    auto current = store.get(req[1]);
    if (!current) {
      out = store_error(ctx, current.error());
      return;
    }
    const bool equal = current.value().has_value() && *current.value() == compared;
    if (equal != if_equal) {
      out = get ? bulk_or_null(std::move(current).value()) : Reply::null();
      return;
    }
    auto r = store.set_with(req[1], req[2], expiry, false, false, get);
    if (!r) {
      out = store_error(ctx, r.error());
    } else {
      out = get ? bulk_or_null(std::move(r.value().old)) : ok();
    }
  });
  if (!locked) return store_error(ctx, locked.error());
  return out;
}

Reply cmd_set(const ServerContext& ctx, ConnectionState&, const Request& req) {
  // An expiry's number is checked where it stands; the conditions exclude each other,
  // which is checked after the scan.
  Store::Expiry expiry;
  bool have_expiry = false, nx = false, xx = false, get = false;
  int conditions = 0;
  std::optional<BytesView> ifeq, ifne;
  for (size_t i = 3; i < req.size(); ++i) {
    const std::string word = ascii_upper(req[i]);
    if (is_timed(word) || word == "KEEPTTL") {
      ExpiryOption opt;
      if (have_expiry || !take_expiry(req, i, word, opt)) return syntax_error();
      have_expiry = true;
      if (auto err = parse_expiry(opt, "set", expiry)) return std::move(*err);
    } else if (word == "NX") {
      nx = true;
    } else if (word == "XX") {
      xx = true;
    } else if (word == "GET") {
      get = true;
    } else if ((word == "IFEQ" || word == "IFNE") && i + 1 < req.size()) {
      (word == "IFEQ" ? ifeq : ifne) = BytesView(req[++i]);
      ++conditions;
    } else {
      return syntax_error();
    }
  }
  conditions += (nx ? 1 : 0) + (xx ? 1 : 0);
  if (conditions > 1) return syntax_error();
  if (ifeq || ifne) return set_if(ctx, req, ifeq ? *ifeq : *ifne, ifeq.has_value(), expiry, get);
  auto r = ctx.store->set_with(req[1], req[2], expiry, nx, xx, get);
  if (!r) return store_error(ctx, r.error());
  if (get) return bulk_or_null(std::move(r.value().old));
  return r.value().written ? ok() : Reply::null();
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

Reply cmd_expire(const ServerContext& ctx, ConnectionState& st, const Request& req) {
  if (req.size() > 3) return expire_with_options(ctx, st, req, 1000, true, "expire");
  return apply_expire(ctx, req, 1000, "expire");
}
Reply cmd_pexpire(const ServerContext& ctx, ConnectionState& st, const Request& req) {
  if (req.size() > 3) return expire_with_options(ctx, st, req, 1, true, "pexpire");
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

Reply cmd_setnx(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->set(req[1], req[2], std::nullopt, true, false), flag);
}

Reply cmd_psetex(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<int64_t> ms = parse_int(req[2]);
  if (!ms) return not_an_integer();
  if (*ms <= 0) return invalid_expire("psetex");
  return map_result(ctx, ctx.store->set(req[1], req[3], static_cast<uint64_t>(*ms), false, false),
                    [](bool) { return ok(); });
}

Reply cmd_getdel(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->getdel(req[1]), bulk_or_null);
}

Reply cmd_getex(const ServerContext& ctx, ConnectionState&, const Request& req) {
  ExpiryOption opt;
  for (size_t i = 2; i < req.size(); ++i) {
    const std::string word = ascii_upper(req[i]);
    if (!(is_timed(word) || word == "PERSIST") || !take_expiry(req, i, word, opt)) return syntax_error();
  }
  Store::Expiry expiry;
  expiry.mode = Store::ExpiryMode::Keep;
  if (auto err = parse_expiry(opt, "getex", expiry)) return std::move(*err);
  return map_result(ctx, ctx.store->getex(req[1], expiry), bulk_or_null);
}

Reply cmd_getset(const ServerContext& ctx, ConnectionState&, const Request& req) {
  auto r = ctx.store->set_with(req[1], req[2], Store::Expiry{}, false, false, true);
  if (!r) return store_error(ctx, r.error());
  return bulk_or_null(std::move(r.value().old));
}

Reply cmd_strlen(const ServerContext& ctx, ConnectionState&, const Request& req) {
  return map_result(ctx, ctx.store->strlen(req[1]), count);
}

Reply cmd_msetnx(const ServerContext& ctx, ConnectionState&, const Request& req) {
  if (req.size() % 2 == 0) return wrong_args(req[0]);
  std::vector<std::pair<Bytes, Bytes>> pairs;
  pairs.reserve(req.size() / 2);
  for (size_t i = 1; i + 1 < req.size(); i += 2) pairs.emplace_back(req[i], req[i + 1]);
  return map_result(ctx, ctx.store->msetnx(pairs), flag);
}

Reply cmd_incrbyfloat(const ServerContext& ctx, ConnectionState&, const Request& req) {
  std::optional<long double> delta = parse_long_double(req[2]);
  if (!delta) return Reply::error("ERR value is not a valid float");
  return map_result(ctx, ctx.store->incr_by_float(req[1], *delta), [](Bytes v) { return Reply::bulk(std::move(v)); });
}

constexpr std::array kRows = {
    CommandSpec{"GET", 2, 2, cmd_get, kReadOnly, {1, 1, 1}},
    CommandSpec{"SET", 3, kAny, cmd_set, kWrite, {1, 1, 1}},
    CommandSpec{"SETEX", 4, 4, cmd_setex, kWrite, {1, 1, 1}},
    CommandSpec{"MGET", 2, kAny, cmd_mget, kReadOnly, {1, -1, 1}},
    CommandSpec{"MSET", 3, kAny, cmd_mset, kWrite, {1, -1, 2}},
    CommandSpec{"INCR", 2, 2, cmd_incr, kWrite, {1, 1, 1}},
    CommandSpec{"DECR", 2, 2, cmd_decr, kWrite, {1, 1, 1}},
    CommandSpec{"INCRBY", 3, 3, cmd_incrby, kWrite, {1, 1, 1}},
    CommandSpec{"DECRBY", 3, 3, cmd_decrby, kWrite, {1, 1, 1}},
    CommandSpec{"APPEND", 3, 3, cmd_append, kWrite, {1, 1, 1}},
    CommandSpec{"DEL", 2, kAny, cmd_del, kWrite, {1, -1, 1}},
    CommandSpec{"EXISTS", 2, kAny, cmd_exists, kReadOnly, {1, -1, 1}},
    CommandSpec{"KEYS", 2, 2, cmd_keys, kReadOnly},
    CommandSpec{"EXPIRE", 3, kAny, cmd_expire, kWrite, {1, 1, 1}},
    CommandSpec{"PEXPIRE", 3, kAny, cmd_pexpire, kWrite, {1, 1, 1}},
    CommandSpec{"PERSIST", 2, 2, cmd_persist, kWrite, {1, 1, 1}},
    CommandSpec{"TTL", 2, 2, cmd_ttl, kReadOnly, {1, 1, 1}},
    CommandSpec{"PTTL", 2, 2, cmd_pttl, kReadOnly, {1, 1, 1}},
    CommandSpec{"SETNX", 3, 3, cmd_setnx, kWrite, {1, 1, 1}},
    CommandSpec{"PSETEX", 4, 4, cmd_psetex, kWrite, {1, 1, 1}},
    CommandSpec{"GETDEL", 2, 2, cmd_getdel, kWrite, {1, 1, 1}},
    CommandSpec{"GETEX", 2, kAny, cmd_getex, kWrite, {1, 1, 1}},
    CommandSpec{"GETSET", 3, 3, cmd_getset, kWrite, {1, 1, 1}},
    CommandSpec{"STRLEN", 2, 2, cmd_strlen, kReadOnly, {1, 1, 1}},
    CommandSpec{"MSETNX", 3, kAny, cmd_msetnx, kWrite, {1, -1, 2}},
    CommandSpec{"INCRBYFLOAT", 3, 3, cmd_incrbyfloat, kWrite, {1, 1, 1}},
};

}  // namespace

std::span<const CommandSpec> string_commands() { return kRows; }

int64_t ttl_seconds_from_ms(int64_t ms) {
  if (ms < 0) return ms;
  // (ms + 500) / 1000 without the sum, which overflows within 500 of INT64_MAX.
  return ms / 1000 + (ms % 1000 >= 500 ? 1 : 0);
}

}  // namespace vellum::server
