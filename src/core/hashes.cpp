// Hash operations beyond set, get and delete: bulk and per-field reads, and the field
// writes that depend on the field's current value (set-if-absent, integer and float
// increments). Every write is logged as HSet of the field's new value, so replay needs
// nothing new.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/collection_paths.h"

namespace vellum {

using namespace store_internal;

namespace {

// An optional '-' then ASCII digits fitting a signed 64-bit integer, nothing else.
bool parse_int_text(BytesView s, int64_t& out) {
  if (s.empty() || s.size() > 20 || s[0] == '+') return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

// A finite double written in full (no surrounding space).
bool parse_double_text(BytesView s, double& out) {
  if (s.empty() || s.size() > 300 || std::isspace(static_cast<unsigned char>(s[0])) != 0) return false;
  const std::string text(s);
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(out);
}

// The shortest text that reads back as `v`, without an exponent for the values people use.
Bytes format_double(double v) {
  char buf[64];
  for (int precision = 1; precision <= 17; ++precision) {
    const int n = std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (n > 0 && std::strtod(buf, nullptr) == v) return Bytes(buf, static_cast<size_t>(n));
  }
  const int n = std::snprintf(buf, sizeof buf, "%.17g", v);
  return Bytes(buf, static_cast<size_t>(n > 0 ? n : 0));
}

uint64_t field_estimate(BytesView key, BytesView field, uint64_t value_len) {
  return kCollectionBaseCharge + align16(key.size()) + field_charge(field.size(), value_len);
}

}  // namespace

template <class Fn>
StoreResult<bool> Store::update_hash_field(BytesView key, BytesView field, uint64_t estimate, Fn&& fn) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (config_.max_memory != 0) {
    if (auto r = admit(estimate + estimate_growth(key, h)); !r) return store_err(r.error());
  }
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  Entry* e = nullptr;
  const Bytes* current = nullptr;
  if (pos >= 0) {
    e = &s.table.at(static_cast<size_t>(pos));
    if (e->is_string() || e->record()->kind() != ValueKind::Hash) return store_err(StoreError::WrongType);
    stamp(*e);
    auto it = e->record()->hash().find(field);
    if (it != e->record()->hash().end()) current = &it->second;
  }
  StoreResult<std::optional<Bytes>> next = fn(current);
  if (!next) return store_err(next.error());
  if (!next.value()) return false;
  const Bytes& value = *next.value();
  WalRecord w;
  w.op = WalOp::HSet;
  w.key = key;
  w.field = field;
  w.value = value;
  if (!log(w)) return store_err(StoreError::PersistenceFailed);
  if (pos < 0) {
    e = &insert_new(s, h, Entry::make_collection(CollectionRecord::create(ValueKind::Hash, key), 0));
    stamp(*e);
  }
  CollectionRecord& rec = *e->record();
  const uint64_t before = rec.payload_bytes;
  HashValue& map = rec.hash();
  auto it = map.find(field);
  if (it != map.end()) {
    rec.payload_bytes = sub_floor(rec.payload_bytes, align16(it->second.size())) + align16(value.size());
    it->second = value;
  } else {
    map.emplace(Bytes(field), value);
    rec.payload_bytes += field_charge(field.size(), value.size());
  }
  charge_change(before, rec.payload_bytes);
  return true;
}

StoreResult<std::vector<std::optional<Bytes>>> Store::hmget(BytesView key, std::span<const Bytes> fields) {
  using Out = std::vector<std::optional<Bytes>>;
  auto r = read_collection<Out>(key, ValueKind::Hash, [&](const CollectionRecord& rec) {
    Out out;
    out.reserve(fields.size());
    for (const Bytes& f : fields) {
      auto it = rec.hash().find(BytesView(f));
      out.push_back(it == rec.hash().end() ? std::optional<Bytes>() : std::optional<Bytes>(it->second));
    }
    return out;
  });
  // An absent key reads as an empty hash.
  if (r && r.value().size() != fields.size()) return Out(fields.size());
  return r;
}

StoreResult<std::vector<Bytes>> Store::hkeys(BytesView key) {
  return read_collection<std::vector<Bytes>>(key, ValueKind::Hash, [](const CollectionRecord& rec) {
    std::vector<Bytes> out;
    out.reserve(rec.hash().size());
    for (const auto& kv : rec.hash()) out.push_back(kv.first);
    return out;
  });
}

StoreResult<std::vector<Bytes>> Store::hvals(BytesView key) {
  return read_collection<std::vector<Bytes>>(key, ValueKind::Hash, [](const CollectionRecord& rec) {
    std::vector<Bytes> out;
    out.reserve(rec.hash().size());
    for (const auto& kv : rec.hash()) out.push_back(kv.second);
    return out;
  });
}

StoreResult<bool> Store::hexists(BytesView key, BytesView field) {
  return read_collection<bool>(key, ValueKind::Hash,
                               [&](const CollectionRecord& rec) { return rec.hash().find(field) != rec.hash().end(); });
}

StoreResult<uint64_t> Store::hstrlen(BytesView key, BytesView field) {
  return read_collection<uint64_t>(key, ValueKind::Hash, [&](const CollectionRecord& rec) {
    auto it = rec.hash().find(field);
    return it == rec.hash().end() ? uint64_t{0} : uint64_t{it->second.size()};
  });
}

StoreResult<bool> Store::hsetnx(BytesView key, BytesView field, BytesView value) {
  return update_hash_field(key, field, field_estimate(key, field, value.size()),
                           [&](const Bytes* current) -> StoreResult<std::optional<Bytes>> {
                             if (current != nullptr) return std::optional<Bytes>();
                             return std::optional<Bytes>(Bytes(value));
                           });
}

StoreResult<int64_t> Store::hincrby(BytesView key, BytesView field, int64_t delta) {
  int64_t result = 0;
  auto r = update_hash_field(key, field, field_estimate(key, field, 20),
                             [&](const Bytes* current) -> StoreResult<std::optional<Bytes>> {
                               int64_t now_value = 0;
                               if (current != nullptr && !parse_int_text(*current, now_value)) {
                                 return store_err(StoreError::NotAnInteger);
                               }
                               if (__builtin_add_overflow(now_value, delta, &result)) {
                                 return store_err(StoreError::Overflow);
                               }
                               return std::optional<Bytes>(std::to_string(result));
                             });
  if (!r) return store_err(r.error());
  return result;
}

StoreResult<Bytes> Store::hincrbyfloat(BytesView key, BytesView field, double delta) {
  Bytes result;
  auto r = update_hash_field(key, field, field_estimate(key, field, 32),
                             [&](const Bytes* current) -> StoreResult<std::optional<Bytes>> {
                               double now_value = 0;
                               if (current != nullptr && !parse_double_text(*current, now_value)) {
                                 return store_err(StoreError::NotAFloat);
                               }
                               const double sum = now_value + delta;
                               if (!std::isfinite(sum)) return store_err(StoreError::NotAFloat);
                               result = format_double(sum);
                               return std::optional<Bytes>(result);
                             });
  if (!r) return store_err(r.error());
  return result;
}

}  // namespace vellum
