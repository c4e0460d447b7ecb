#pragma once
// The common read, add and remove paths of collection operations (Store member
// templates), shared by the units that implement them: collections.cpp, hashes.cpp.
// Private to the core.

#include "core/store.h"
#include "core/store_internal.h"

namespace vellum {

template <class R, class Fn>
StoreResult<R> Store::read_collection(BytesView key, ValueKind kind, Fn&& fn) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  {
    store_internal::SharedLock lock(s.lock);
    const int64_t pos = s.table.find(key, h);
    if (pos < 0) return R{};
    Entry& e = s.table.at(static_cast<size_t>(pos));
    if (now.live(e)) {
      if (e.is_string() || e.record()->kind() != kind) return store_err(StoreError::WrongType);
      touch(e);
      return fn(static_cast<const CollectionRecord&>(*e.record()));
    }
  }
  expire_after_read(s, key, h, now);
  return R{};
}

template <class Fn>
StoreResult<uint64_t> Store::add_to_collection(BytesView key, ValueKind kind, uint64_t estimate,
                                               const WalRecord& record, Fn&& apply) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (config_.max_memory != 0) {
    if (auto r = admit(estimate + estimate_growth(key, h)); !r) return store_err(r.error());
  }
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  Entry* e = nullptr;
  if (pos >= 0) {
    e = &s.table.at(static_cast<size_t>(pos));
    stamp(*e);
    if (e->is_string() || e->record()->kind() != kind) return store_err(StoreError::WrongType);
  }
  if (!log(record)) return store_err(StoreError::PersistenceFailed);
  if (pos < 0) {
    e = &insert_new(s, h, Entry::make_collection(CollectionRecord::create(kind, key), 0));
    stamp(*e);
  }
  CollectionRecord& rec = *e->record();
  const uint64_t before = rec.payload_bytes;
  const uint64_t result = apply(rec);
  charge_change(before, rec.payload_bytes);
  // Only a new collection given no element is empty here. Replaying its record ends the
  // same way, so the removal is forced.
  if (rec.empty()) (void)remove_entry(s, key, h, Removal::Forced);
  return result;
}

template <class R, class Fn>
StoreResult<R> Store::remove_from_collection(BytesView key, ValueKind kind, const WalRecord& record, Fn&& apply) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0) return R{};
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (e.is_string() || e.record()->kind() != kind) return store_err(StoreError::WrongType);
  if (!log(record)) return store_err(StoreError::PersistenceFailed);
  stamp(e);
  CollectionRecord& rec = *e.record();
  const uint64_t before = rec.payload_bytes;
  R result = apply(rec);
  charge_sub(before - rec.payload_bytes);
  // Replaying the logged operation empties and removes the key too, so this removal is
  // forced: the operation stands even when the log refuses the Del that follows it.
  if (rec.empty()) (void)remove_entry(s, key, h, Removal::Forced);
  return result;
}

}  // namespace vellum
