// Key commands over any kind of value: TYPE, TOUCH, conditional absolute expiry, the
// expiry time, RENAME, and SCAN. Mutations follow the store's pattern: under the shard lock(s),
// expire-if-due, checks, the log record, then the change and its accounting.

#include <optional>
#include <string_view>

#include "core/store.h"
#include "core/store_internal.h"

namespace vellum {

using namespace store_internal;

namespace {

std::string_view kind_name(const Entry& e) {
  if (e.is_string()) return "string";
  switch (e.record()->kind()) {
    case ValueKind::List:
      return "list";
    case ValueKind::Hash:
      return "hash";
    case ValueKind::Set:
      return "set";
  }
  return "none";
}

}  // namespace

Store::ScanPage Store::scan(uint64_t cursor, uint64_t count, std::optional<BytesView> pattern,
                            std::string_view type_filter) const {
  ScanPage page;
  uint64_t shard = cursor >> 32;
  uint64_t pos = cursor & 0xffffffffULL;
  if (shard >= shards_.size()) return page;
  if (count == 0) count = 1;
  const uint64_t now = now_ms();
  const uint64_t step_limit = count * 10 + 64;
  uint64_t visited = 0, steps = 0;
  while (shard < shards_.size() && visited < count && steps < step_limit) {
    const Shard& s = shards_[shard];
    SharedLock lock(s.lock);
    do {
      pos = s.table.scan_step(pos, [&](const Entry& e) {
        ++visited;
        if (!e.live_at(now)) return;
        if (pattern && !glob_match(*pattern, e.key())) return;
        if (!type_filter.empty() && kind_name(e) != type_filter) return;
        page.keys.emplace_back(e.key());
      });
      ++steps;
    } while (pos != 0 && visited < count && steps < step_limit);
    if (pos == 0) ++shard;
  }
  page.cursor = shard >= shards_.size() ? 0 : (shard << 32) | pos;
  return page;
}

std::string_view Store::type(BytesView key) const {
  Now now(*this);
  const uint64_t h = hash_key(key);
  const Shard& s = shard_for(h);
  SharedLock lock(s.lock);
  const int64_t pos = s.table.find(key, h);
  if (pos < 0) return "none";
  const Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!now.live(e)) return "none";
  return kind_name(e);
}

uint64_t Store::touch(std::span<const Bytes> keys) {
  Now now(*this);
  uint64_t n = 0;
  for (const Bytes& k : keys) {
    const uint64_t h = hash_key(k);
    Shard& s = shard_for(h);
    SharedLock lock(s.lock);
    const int64_t pos = s.table.find(k, h);
    if (pos < 0) continue;
    Entry& e = s.table.at(static_cast<size_t>(pos));
    if (!now.live(e)) continue;
    touch(e);
    ++n;
  }
  return n;
}

StoreResult<bool> Store::expire_at_if(BytesView key, uint64_t at_ms, ExpireIf cond) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0) return false;
  Entry& e = s.table.at(static_cast<size_t>(pos));
  const uint64_t current = e.expires_at_ms;  // 0: never
  switch (cond) {
    case ExpireIf::Always:
      break;
    case ExpireIf::NoExpiry:
      if (current != 0) return false;
      break;
    case ExpireIf::HasExpiry:
      if (current == 0) return false;
      break;
    case ExpireIf::Later:
      if (current == 0 || at_ms <= current) return false;
      break;
    case ExpireIf::Earlier:
      if (current != 0 && at_ms >= current) return false;
      break;
    case ExpireIf::EarlierWithExpiry:
      if (current == 0 || at_ms >= current) return false;
      break;
  }
  if (at_ms <= now.get()) {
    auto r = remove_entry(s, key, h, Removal::Requested);
    if (!r) return store_err(r.error());
    return true;
  }
  WalRecord r;
  r.op = WalOp::ExpireAt;
  r.expires_at_ms = at_ms;
  r.key = key;
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
  e.expires_at_ms = at_ms;
  return true;
}

int64_t Store::expire_time_ms(BytesView key) const {
  Now now(*this);
  const uint64_t h = hash_key(key);
  const Shard& s = shard_for(h);
  SharedLock lock(s.lock);
  const int64_t pos = s.table.find(key, h);
  if (pos < 0) return -2;
  const Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!now.live(e)) return -2;
  if (e.expires_at_ms == 0) return -1;
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  return static_cast<int64_t>(e.expires_at_ms > kMax ? kMax : e.expires_at_ms);
}

StoreResult<bool> Store::rename(BytesView from, BytesView to, bool nx) {
  if (to.size() >= (uint64_t{1} << 32)) return store_err(StoreError::KeyTooLong);
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t hf = hash_key(from);
  const uint64_t ht = hash_key(to);
  Shard& sf = shard_for(hf);
  Shard& st = shard_for(ht);
  // Both shard locks, in ascending index, for the whole move.
  UniqueLock first(&sf < &st ? sf.lock : st.lock);
  UniqueLock second;
  if (&sf != &st) second = UniqueLock(&sf < &st ? st.lock : sf.lock);
  const int64_t pf = find_for_write(sf, from, hf, now);
  if (pf < 0) return store_err(StoreError::NoSuchKey);
  const int64_t pt = find_for_write(st, to, ht, now);
  if (from == to) return !nx;
  if (nx && pt >= 0) return false;
  WalRecord r;
  r.op = WalOp::Rename;
  r.key = from;
  r.field = to;
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
  Entry displaced;
  if (pt >= 0) {
    displaced = st.table.erase_at(static_cast<size_t>(pt), ht);
    charge_sub(displaced.charge());
    update_table_charge(st);
  }
  // Erasing may move entries within the shard, so the source is found again.
  Entry moved = sf.table.erase_at(static_cast<size_t>(sf.table.find(from, hf)), hf);
  charge_sub(moved.charge());
  update_table_charge(sf);
  if (moved.is_string()) {
    Entry fresh = Entry::make_string(to, moved.value(), moved.expires_at_ms);
    stamp(insert_new(st, ht, std::move(fresh)));
  } else {
    moved.record()->rename(to);
    stamp(insert_new(st, ht, std::move(moved)));
  }
  return true;
}

}  // namespace vellum
