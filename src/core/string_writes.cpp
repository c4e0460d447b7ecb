// The string commands beyond GET/SET/INCR: SET with every option, GETDEL, GETEX, STRLEN,
// MSETNX and INCRBYFLOAT. Each mutation follows the store's one pattern: admission before
// any lock, then under the shard lock(s) expire-if-due, checks, the log record, and only
// when the log accepts it the change and its accounting. Every record is an existing Set,
// Del or ExpireAt, so replay and the log tools need nothing new.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/store.h"
#include "core/store_internal.h"

namespace vellum {

using namespace store_internal;

namespace {

constexpr uint64_t kMaxKeyLen = uint64_t{1} << 32;

// A whole-string long double: no leading or trailing space, finite, not empty.
bool parse_long_double(BytesView s, long double& out) {
  if (s.empty() || s.size() > 5000) return false;
  if (s.front() == ' ' || s.front() == '\t' || s.back() == ' ' || s.back() == '\t') return false;
  const std::string text(s);
  char* end = nullptr;
  errno = 0;
  const long double v = std::strtold(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || std::isnan(v)) return false;
  out = v;
  return true;
}

// Fixed-point with 17 fractional digits, then without trailing zeros (and a bare point):
// 10.5 + 0.1 reads back as "10.6", an integral result as digits only.
std::string format_long_double(long double v) {
  std::string buf(5200, '\0');
  const int n = std::snprintf(buf.data(), buf.size(), "%.17Lf", v);
  buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (buf.find('.') != std::string::npos) {
    while (!buf.empty() && buf.back() == '0') buf.pop_back();
    if (!buf.empty() && buf.back() == '.') buf.pop_back();
  }
  if (buf == "-0") buf.erase(0, 1);  // a negative zero reads as plain 0
  return buf;
}

}  // namespace

StoreResult<Store::SetOutcome> Store::set_with(BytesView key, BytesView value, Expiry expiry, bool nx, bool xx,
                                               bool want_old) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (auto r = admit_string(key, h, now, value.size()); !r) return store_err(r.error());
  uint64_t expires = 0;
  if (expiry.mode == ExpiryMode::Relative) expires = absolute_expiry(now.get(), expiry.ms);
  if (expiry.mode == ExpiryMode::Absolute) expires = expiry.ms == 0 ? 1 : expiry.ms;
  Entry fresh = Entry::make_string(key, value, expires);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  SetOutcome out;
  if (pos >= 0) {
    const Entry& old = s.table.at(static_cast<size_t>(pos));
    if (want_old) {
      if (!old.is_string()) return store_err(StoreError::WrongType);
      out.old.emplace(old.value());
    }
    if (expiry.mode == ExpiryMode::Keep) fresh.expires_at_ms = old.expires_at_ms;
  }
  if ((nx && pos >= 0) || (xx && pos < 0)) return out;
  WalRecord r;
  r.op = WalOp::Set;
  r.expires_at_ms = fresh.expires_at_ms;
  r.key = key;
  r.value = value;
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
  Entry& e = pos >= 0 ? replace_at(static_cast<size_t>(pos), std::move(fresh), s) : insert_new(s, h, std::move(fresh));
  stamp(e);
  out.written = true;
  return out;
}

StoreResult<std::optional<Bytes>> Store::getdel(BytesView key) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0) {
    s.misses.fetch_add(1, std::memory_order_relaxed);
    return std::optional<Bytes>();
  }
  const Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!e.is_string()) return store_err(StoreError::WrongType);
  std::optional<Bytes> value(std::in_place, e.value());
  auto r = remove_entry(s, key, h, Removal::Requested);
  if (!r) return store_err(r.error());
  s.hits.fetch_add(1, std::memory_order_relaxed);
  return value;
}

StoreResult<std::optional<Bytes>> Store::getex(BytesView key, Expiry expiry) {
  if (expiry.mode == ExpiryMode::Keep || expiry.mode == ExpiryMode::Clear) return read_string(key, true);
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0) {
    s.misses.fetch_add(1, std::memory_order_relaxed);
    return std::optional<Bytes>();
  }
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!e.is_string()) return store_err(StoreError::WrongType);
  uint64_t expires = 0;
  if (expiry.mode == ExpiryMode::Relative) expires = absolute_expiry(now.get(), expiry.ms);
  if (expiry.mode == ExpiryMode::Absolute) expires = expiry.ms == 0 ? 1 : expiry.ms;
  if (expires != e.expires_at_ms) {
    WalRecord r;
    r.op = WalOp::ExpireAt;
    r.expires_at_ms = expires;
    r.key = key;
    if (!log(r)) return store_err(StoreError::PersistenceFailed);
    e.expires_at_ms = expires;
  }
  stamp(e);
  s.hits.fetch_add(1, std::memory_order_relaxed);
  return std::optional<Bytes>(std::in_place, e.value());
}

StoreResult<uint64_t> Store::strlen(BytesView key) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  const Shard& s = shard_for(h);
  SharedLock lock(s.lock);
  const int64_t pos = s.table.find(key, h);
  if (pos < 0) return uint64_t{0};
  const Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!now.live(e)) return uint64_t{0};
  if (!e.is_string()) return store_err(StoreError::WrongType);
  return static_cast<uint64_t>(e.value().size());
}

StoreResult<bool> Store::msetnx(std::span<const std::pair<Bytes, Bytes>> pairs) {
  for (const auto& kv : pairs) {
    if (kv.first.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  }
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  std::vector<uint64_t> hashes;
  hashes.reserve(pairs.size());
  uint64_t estimate = 0;
  for (const auto& [k, v] : pairs) {
    hashes.push_back(hash_key(k));
    if (config_.max_memory != 0) {
      const Probe p = probe(k, hashes.back(), now);
      estimate += p.string_write(k.size(), v.size());
    }
  }
  if (config_.max_memory != 0) {
    if (auto r = admit(estimate); !r) return store_err(r.error());
  }
  std::vector<size_t> order;
  order.reserve(hashes.size());
  for (uint64_t h : hashes) order.push_back(static_cast<size_t>((h >> 32) & shard_mask_));
  std::sort(order.begin(), order.end());
  order.erase(std::unique(order.begin(), order.end()), order.end());
  std::vector<UniqueLock> locks;
  locks.reserve(order.size());
  for (size_t i : order) locks.emplace_back(shards_[i].lock);
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (find_for_write(shard_for(hashes[i]), pairs[i].first, hashes[i], now) >= 0) return false;
  }
  // A refusal part-way leaves the pairs before it written and logged, as for MSET.
  for (size_t i = 0; i < pairs.size(); ++i) {
    WalRecord r;
    r.op = WalOp::Set;
    r.key = pairs[i].first;
    r.value = pairs[i].second;
    if (!log(r)) return store_err(StoreError::PersistenceFailed);
    Shard& s = shard_for(hashes[i]);
    stamp(put_entry(s, hashes[i], Entry::make_string(pairs[i].first, pairs[i].second, 0)));
  }
  return true;
}

StoreResult<Bytes> Store::incr_by_float(BytesView key, long double delta) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (auto r = admit_string(key, h, now, 64); !r) return store_err(r.error());
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  long double current = 0;
  uint64_t expires = 0;
  if (pos >= 0) {
    const Entry& e = s.table.at(static_cast<size_t>(pos));
    if (!e.is_string()) return store_err(StoreError::WrongType);
    if (!parse_long_double(e.value(), current)) return store_err(StoreError::NotAFloat);
    expires = e.expires_at_ms;
  }
  const long double sum = current + delta;
  if (std::isnan(sum) || std::isinf(sum)) return store_err(StoreError::NotFinite);
  Bytes text = format_long_double(sum);
  if (!write_number(s, key, h, pos, expires, text)) return store_err(StoreError::PersistenceFailed);
  return text;
}

}  // namespace vellum
