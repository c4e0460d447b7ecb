// Expiry: lazy removal of expired keys when an operation touches them, the TTL
// operations and the background sweeper. An expired key always leaves through
// remove_entry, so its removal is logged and uncharged like any deletion; it is forced,
// since the key is gone for every reader whether or not the log takes its record.

#include "core/store.h"

#include <limits>

#include "core/hash.h"
#include "core/store_internal.h"
#include "platform/thread.h"

namespace vellum {

using namespace store_internal;

bool Store::expire_if_due(Shard& s, BytesView key, uint64_t hash, Now& now) {
  const int64_t pos = s.table.find(key, hash);
  if (pos < 0 || now.live(s.table.at(static_cast<size_t>(pos)))) return false;
  (void)remove_entry(s, key, hash, Removal::Forced);
  s.expired.fetch_add(1, std::memory_order_relaxed);
  return true;
}

int64_t Store::find_for_write(Shard& s, BytesView key, uint64_t hash, Now& now) {
  const int64_t pos = s.table.find(key, hash);
  if (pos < 0 || now.live(s.table.at(static_cast<size_t>(pos)))) return pos;
  (void)remove_entry(s, key, hash, Removal::Forced);
  s.expired.fetch_add(1, std::memory_order_relaxed);
  return -1;
}

Store::KeyWrite Store::lock_for_write(BytesView key, uint64_t hash, Now& now) {
  Shard& s = shard_for(hash);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, hash, now);
  return KeyWrite{s, std::move(lock), pos};
}

void Store::expire_after_read(Shard& s, BytesView key, uint64_t hash, Now& now) {
  UniqueLock lock(s.lock);
  expire_if_due(s, key, hash, now);
}

int64_t Store::pttl(BytesView key) const {
  Now now(*this);
  const uint64_t h = key_hash(key);
  const Shard& s = shard_for(h);
  SharedLock lock(s.lock);
  const int64_t pos = s.table.find(key, h);
  if (pos < 0) return -2;
  const Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!now.live(e)) return -2;
  if (e.expires_at_ms == 0) return -1;
  const uint64_t left = e.expires_at_ms - now.get();
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return static_cast<int64_t>(left > kMax ? kMax : left);
}

int64_t Store::ttl(BytesView key) const {
  const int64_t ms = pttl(key);
  if (ms < 0) return ms;
  return ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
}

StoreResult<bool> Store::pexpire(BytesView key, uint64_t milliseconds) {
  Now now(*this);
  return set_expiry(key, absolute_expiry(now.get(), milliseconds), now);
}

StoreResult<bool> Store::expire_at(BytesView key, uint64_t expires_at_ms) {
  Now now(*this);
  return set_expiry(key, expires_at_ms, now);
}

StoreResult<bool> Store::set_expiry(BytesView key, uint64_t expires_at_ms, Now& now) {
  if (auto w = writable(); !w) return store_err(w.error());
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0) return false;
  WalRecord r;
  r.op = WalOp::ExpireAt;
  r.expires_at_ms = expires_at_ms;
  r.key = key;
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
  s.table.at(static_cast<size_t>(pos)).expires_at_ms = expires_at_ms;
  return true;
}

StoreResult<bool> Store::persist(BytesView key) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0) return false;
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (e.expires_at_ms == 0) return false;
  WalRecord r;
  r.op = WalOp::ExpireAt;
  r.key = key;
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
  e.expires_at_ms = 0;
  return true;
}

uint64_t Store::purge_expired() {
  const uint64_t now = now_ms();
  uint64_t removed = 0;
  for (Shard& s : shards_) {
    s.lock.lock_to_inspect();
    UniqueLock lock(s.lock, std::adopt_lock);
    std::vector<Bytes> doomed;
    for (size_t i = 0; i < s.table.size(); ++i) {
      const Entry& e = s.table.at(i);
      if (!e.live_at(now)) doomed.emplace_back(e.key());
    }
    for (const Bytes& k : doomed) removed += remove_entry(s, k, key_hash(k), Removal::Forced).value() ? 1 : 0;
    if (!doomed.empty()) s.lock.mark_written();
  }
  return removed;
}

void Store::start_sweeper() {
  if (config_.sweep_interval_ms == 0) return;
  std::weak_ptr<Store> weak = weak_from_this();
  const uint64_t interval = config_.sweep_interval_ms;
  auto t = NamedThread::spawn("vellum-sweeper", [weak, interval] {
    for (;;) {
      sleep_ms(interval);
      std::shared_ptr<Store> store = weak.lock();
      if (!store || store->closed()) return;
      // A failure (out of memory while listing the expired keys) ends this pass only. The
      // store keeps no error record for it: reads still expire keys lazily, and the next
      // pass removes what this one left.
      try {
        thread_fault_point("sweep");
        store->sweep_pass(store->now_ms());
      } catch (...) {
      }
    }
  });
  // Nobody waits for the sweeper: it holds only a weak reference and ends within one
  // period after the store is dropped or closed.
  if (t.ok()) t.value().detach();
}

void Store::sweep_pass(uint64_t now) {
  constexpr size_t kBatch = 20;
  constexpr int kMaxBatches = 16;
  std::vector<Bytes> doomed;
  for (Shard& s : shards_) {
    s.lock.lock_to_inspect();
    UniqueLock lock(s.lock, std::adopt_lock);
    for (int batch = 0; batch < kMaxBatches; ++batch) {
      const size_t n = s.table.size();
      if (n == 0) break;
      const size_t off = static_cast<size_t>(next_random() % n);
      doomed.clear();
      for (size_t j = 0, pos = off; j < kBatch; ++j, pos = pos + 1 == n ? 0 : pos + 1) {
        const Entry& e = s.table.at(pos);
        if (!e.live_at(now)) doomed.emplace_back(e.key());
      }
      if (doomed.empty()) break;
      s.lock.mark_written();
      for (const Bytes& k : doomed) {
        if (remove_entry(s, k, key_hash(k), Removal::Forced).value()) s.expired.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
}

}  // namespace vellum
