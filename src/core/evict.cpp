// Admission and victim choice under the memory ceiling: before a write that may grow
// used_memory past max_memory, admit evicts sampled least-recently-used keys until the
// estimate fits, or fails with OutOfMemory. A victim leaves through remove_entry, so an
// eviction is logged and uncharged like a deletion. The removal is forced: the store
// chose it to make room, not a client, and remove_entry explains why replay stays whole.
// Inside a batch, victims come only from the shards the batch holds.

#include "core/store.h"

#include "core/hash.h"
#include "core/store_internal.h"

namespace vellum {

using namespace store_internal;

uint64_t Store::estimate_growth(BytesView key, uint64_t hash) const {
  const Shard& s = shard_for(hash);
  SharedLock lock(s.lock);
  if (s.table.find(key, hash) >= 0 || s.table.has_free_slot()) return 0;
  return growth_charge(s.table.capacity());
}

StoreResult<void> Store::admit(uint64_t estimate) {
  if (config_.max_memory == 0 || estimate == 0 || replaying_) return {};
  for (;;) {
    const uint64_t used = used_memory();
    uint64_t want = used + estimate;
    if (want < used) want = ~uint64_t{0};
    if (want <= config_.max_memory) return {};
    if (config_.policy == EvictionPolicy::NoEviction) return store_err(StoreError::OutOfMemory);
    if (!evict_one(config_.policy == EvictionPolicy::VolatileLru)) return store_err(StoreError::OutOfMemory);
  }
}

bool Store::evict_one(bool volatile_only) {
  constexpr int kShardsWanted = 5;
  constexpr int kPerShard = 5;
  const uint32_t reference = access_clock_.load(std::memory_order_relaxed);
  const uint64_t start = next_random();
  bool have = false;
  uint32_t victim_idle = 0;
  uint64_t victim_hash = 0;
  Bytes victim;
  int yielded = 0;
  for (uint64_t i = 0; i < shards_.size() && yielded < kShardsWanted; ++i) {
    const Shard& s = shards_[(start + i) & shard_mask_];
    // Inside a batch only the batch's own shards are candidates: locking another while
    // holding them could deadlock against a batch that holds it and waits for ours.
    if (in_batch() && !s.lock.held_here()) continue;
    SharedLock lock(s.lock);
    const uint64_t r = next_random();
    const size_t n = s.table.size();
    if (n == 0) continue;
    const size_t off = static_cast<size_t>(r % n);
    int taken = 0;
    int64_t best = -1;
    uint32_t best_idle = 0;
    for (size_t j = 0, pos = off; j < n && taken < kPerShard; ++j, pos = pos + 1 == n ? 0 : pos + 1) {
      const Entry& e = s.table.at(pos);
      if (volatile_only && e.expires_at_ms == 0) continue;
      const uint32_t idle = reference - e.stamp();
      if (best < 0 || idle > best_idle) {
        best = static_cast<int64_t>(pos);
        best_idle = idle;
      }
      ++taken;
    }
    if (best < 0) continue;
    ++yielded;
    if (!have || best_idle > victim_idle) {
      have = true;
      victim_idle = best_idle;
      victim.assign(s.table.at(static_cast<size_t>(best)).key());
      victim_hash = key_hash(victim);
    }
  }
  if (!have) return false;
  Shard& s = shard_for(victim_hash);
  UniqueLock lock(s.lock);
  if (remove_entry(s, victim, victim_hash, Removal::Forced).value()) {
    s.evictions.fetch_add(1, std::memory_order_relaxed);
  }
  return true;
}

}  // namespace vellum
