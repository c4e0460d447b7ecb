// Set operations beyond add, remove and read: bulk membership, random choice, moving a
// member between keys, and the algebra (intersection, union, difference) with its store
// forms. Every mutation is expressed as SRem, SAdd and Del records, so replay needs
// nothing new. Operations over several keys take the shard locks of all their keys in
// ascending shard index and hold them for the whole call.

#include <algorithm>
#include <unordered_set>

#include "core/store.h"
#include "core/store_internal.h"

namespace vellum {

using namespace store_internal;

namespace {

// One member chosen at random: a random non-empty bucket, then a random member of it.
// A set whose bucket array is mostly empty (after many removals) falls back to a walk.
const Bytes* random_member(const SetValue& set, Store& store) {
  const size_t buckets = set.bucket_count();
  for (int tries = 0; tries < 32; ++tries) {
    const size_t b = static_cast<size_t>(store.next_random() % buckets);
    const size_t n = set.bucket_size(b);
    if (n == 0) continue;
    auto it = set.begin(b);
    std::advance(it, static_cast<std::ptrdiff_t>(store.next_random() % n));
    return &*it;
  }
  auto it = set.begin();
  std::advance(it, static_cast<std::ptrdiff_t>(store.next_random() % set.size()));
  return &*it;
}

// Up to `count` distinct members chosen at random.
std::vector<Bytes> distinct_random(const SetValue& set, uint64_t count, Store& store) {
  std::vector<Bytes> out;
  if (count >= set.size()) {
    out.reserve(set.size());
    for (const Bytes& m : set) out.emplace_back(BytesView(m));
    return out;
  }
  if (count * 2 > set.size()) {
    // Most of the set: a partial shuffle of all of it.
    std::vector<const Bytes*> all;
    all.reserve(set.size());
    for (const Bytes& m : set) all.push_back(&m);
    for (size_t i = 0; i < count; ++i) {
      const size_t j = i + static_cast<size_t>(store.next_random() % (all.size() - i));
      std::swap(all[i], all[j]);
      out.push_back(*all[i]);
    }
    return out;
  }
  std::unordered_set<const Bytes*> chosen;
  while (chosen.size() < count) {
    const Bytes* m = random_member(set, store);
    if (chosen.insert(m).second) out.push_back(*m);
  }
  return out;
}

std::vector<Bytes> combine(Store::SetOp op, const std::vector<const SetValue*>& sets) {
  std::vector<Bytes> out;
  if (sets.empty()) return out;
  static const SetValue kEmpty;
  auto at = [&](size_t i) -> const SetValue& { return sets[i] != nullptr ? *sets[i] : kEmpty; };
  switch (op) {
    case Store::SetOp::Inter: {
      size_t smallest = 0;
      for (size_t i = 1; i < sets.size(); ++i) {
        if (at(i).size() < at(smallest).size()) smallest = i;
      }
      for (const Bytes& m : at(smallest)) {
        bool all = true;
        for (size_t i = 0; i < sets.size() && all; ++i) {
          if (i != smallest && at(i).find(BytesView(m)) == at(i).end()) all = false;
        }
        if (all) out.push_back(m);
      }
      break;
    }
    case Store::SetOp::Union: {
      std::unordered_set<BytesView> seen;
      for (size_t i = 0; i < sets.size(); ++i) {
        for (const Bytes& m : at(i)) {
          if (seen.insert(BytesView(m)).second) out.push_back(m);
        }
      }
      break;
    }
    case Store::SetOp::Diff: {
      for (const Bytes& m : at(0)) {
        bool elsewhere = false;
        for (size_t i = 1; i < sets.size() && !elsewhere; ++i) elsewhere = at(i).find(BytesView(m)) != at(i).end();
        if (!elsewhere) out.push_back(m);
      }
      break;
    }
  }
  return out;
}

size_t shard_of(const Store& store, BytesView key) { return store.shard_index(key); }

std::vector<size_t> shard_indices(const Store& store, std::span<const Bytes> keys) {
  std::vector<size_t> out;
  out.reserve(keys.size() + 1);
  for (const Bytes& k : keys) out.push_back(shard_of(store, k));
  return out;
}

// Every named key read under the locks the caller holds: a live set, nullptr for an
// absent or expired key, WrongType for any other value. Nothing is removed here.
StoreResult<std::vector<const SetValue*>> gather_sets(Store& store, std::span<const Bytes> keys, uint64_t now) {
  std::vector<const SetValue*> out;
  out.reserve(keys.size());
  for (const Bytes& k : keys) {
    const uint64_t h = key_hash(k);
    const Shard& s = store.shard(shard_of(store, k));
    const int64_t pos = s.table.find(k, h);
    if (pos < 0) {
      out.push_back(nullptr);
      continue;
    }
    const Entry& e = s.table.at(static_cast<size_t>(pos));
    if (!e.live_at(now)) {
      out.push_back(nullptr);
      continue;
    }
    if (e.is_string() || e.record()->kind() != ValueKind::Set) return store_err(StoreError::WrongType);
    out.push_back(&e.record()->set());
  }
  return out;
}

uint64_t members_charge(std::span<const Bytes> members) {
  uint64_t sum = 0;
  for (const Bytes& m : members) sum += item_charge(m.size());
  return sum;
}

}  // namespace

StoreResult<std::vector<bool>> Store::smismember(BytesView key, std::span<const Bytes> members) {
  const uint64_t now = now_ms();
  const Bytes k(key);
  ShardLocks<SharedLock> locks(*this, {shard_of(*this, key)});
  auto sets = gather_sets(*this, std::span<const Bytes>(&k, 1), now);
  if (!sets) return store_err(sets.error());
  const SetValue* set = sets.value()[0];
  std::vector<bool> out;
  out.reserve(members.size());
  for (const Bytes& m : members) out.push_back(set != nullptr && set->contains(BytesView(m)));
  return out;
}

StoreResult<std::vector<Bytes>> Store::srandmember(BytesView key, int64_t count) {
  const uint64_t now = now_ms();
  const Bytes k(key);
  ShardLocks<SharedLock> locks(*this, {shard_of(*this, key)});
  auto sets = gather_sets(*this, std::span<const Bytes>(&k, 1), now);
  if (!sets) return store_err(sets.error());
  const SetValue* set = sets.value()[0];
  if (set == nullptr) return std::vector<Bytes>{};
  if (count >= 0) return distinct_random(*set, static_cast<uint64_t>(count), *this);
  std::vector<Bytes> out;
  const uint64_t n = 0 - static_cast<uint64_t>(count);
  out.reserve(static_cast<size_t>(std::min<uint64_t>(n, uint64_t{1} << 20)));
  for (uint64_t i = 0; i < n; ++i) out.push_back(*random_member(*set, *this));
  return out;
}

StoreResult<std::vector<Bytes>> Store::spop(BytesView key, uint64_t count) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0 || count == 0) {
    if (pos >= 0) {
      const Entry& e = s.table.at(static_cast<size_t>(pos));
      if (e.is_string() || e.record()->kind() != ValueKind::Set) return store_err(StoreError::WrongType);
    }
    return std::vector<Bytes>{};
  }
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (e.is_string() || e.record()->kind() != ValueKind::Set) return store_err(StoreError::WrongType);
  CollectionRecord& rec = *e.record();
  std::vector<Bytes> chosen = distinct_random(rec.set(), count, *this);
  WalRecord w;
  w.op = WalOp::SRem;
  w.key = key;
  w.items = chosen;
  if (!log(w)) return store_err(StoreError::PersistenceFailed);
  stamp(e);
  const uint64_t freed = members_charge(chosen);
  for (const Bytes& m : chosen) {
    auto it = rec.set().find(BytesView(m));
    if (it != rec.set().end()) rec.set().erase(it);
  }
  rec.payload_bytes = sub_floor(rec.payload_bytes, freed);
  charge_sub(freed);
  if (rec.empty()) (void)remove_entry(s, key, h, Removal::Forced);
  return chosen;
}

StoreResult<bool> Store::smove(BytesView src, BytesView dst, BytesView member) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t hs = hash_key(src);
  const uint64_t hd = hash_key(dst);
  if (config_.max_memory != 0) {
    const uint64_t estimate = kCollectionBaseCharge + align16(dst.size()) + item_charge(member.size());
    if (auto r = admit(estimate + estimate_growth(dst, hd)); !r) return store_err(r.error());
  }
  Shard& ss = shard_for(hs);
  Shard& sd = shard_for(hd);
  ShardLocks<UniqueLock> locks(*this, {shard_of(*this, src), shard_of(*this, dst)});
  const int64_t ps = find_for_write(ss, src, hs, now);
  const int64_t pd = find_for_write(sd, dst, hd, now);
  auto is_set = [](const Entry& e) { return !e.is_string() && e.record()->kind() == ValueKind::Set; };
  if (ps >= 0 && !is_set(ss.table.at(static_cast<size_t>(ps)))) return store_err(StoreError::WrongType);
  if (pd >= 0 && !is_set(sd.table.at(static_cast<size_t>(pd)))) return store_err(StoreError::WrongType);
  if (ps < 0) return false;
  Entry& es = ss.table.at(static_cast<size_t>(ps));
  CollectionRecord& from = *es.record();
  auto it = from.set().find(member);
  if (it == from.set().end()) return false;
  if (src == dst) return true;
  const Bytes one(member);
  const std::span<const Bytes> items(&one, 1);
  WalRecord rem;
  rem.op = WalOp::SRem;
  rem.key = src;
  rem.items = items;
  if (!log(rem)) return store_err(StoreError::PersistenceFailed);
  stamp(es);
  from.set().erase(it);
  from.payload_bytes = sub_floor(from.payload_bytes, item_charge(one.size()));
  charge_sub(item_charge(one.size()));
  if (from.empty()) (void)remove_entry(ss, src, hs, Removal::Forced);
  WalRecord add;
  add.op = WalOp::SAdd;
  add.key = dst;
  add.items = items;
  // The member has left `src`; a refused SAdd is reported and `dst` stays as it was, the
  // same stop-at-the-refused-key rule as every call over several keys.
  if (!log(add)) return store_err(StoreError::PersistenceFailed);
  const int64_t pd2 = sd.table.find(dst, hd);
  if (pd2 >= 0) {
    Entry& ed = sd.table.at(static_cast<size_t>(pd2));
    stamp(ed);
    CollectionRecord& to = *ed.record();
    if (to.set().insert(one).second) {
      to.payload_bytes += item_charge(one.size());
      charge_add(item_charge(one.size()));
    }
  } else {
    auto rec = CollectionRecord::create(ValueKind::Set, dst);
    rec->set().insert(one);
    rec->payload_bytes = item_charge(one.size());
    stamp(insert_new(sd, hd, Entry::make_collection(std::move(rec), 0)));
  }
  return true;
}

StoreResult<std::vector<Bytes>> Store::set_combine(SetOp op, std::span<const Bytes> keys) {
  const uint64_t now = now_ms();
  ShardLocks<SharedLock> locks(*this, shard_indices(*this, keys));
  auto sets = gather_sets(*this, keys, now);
  if (!sets) return store_err(sets.error());
  return combine(op, sets.value());
}

StoreResult<uint64_t> Store::sintercard(std::span<const Bytes> keys, uint64_t limit) {
  const uint64_t now = now_ms();
  ShardLocks<SharedLock> locks(*this, shard_indices(*this, keys));
  auto gathered = gather_sets(*this, keys, now);
  if (!gathered) return store_err(gathered.error());
  const std::vector<const SetValue*>& sets = gathered.value();
  if (sets.empty()) return uint64_t{0};
  for (const SetValue* s : sets) {
    if (s == nullptr) return uint64_t{0};
  }
  size_t smallest = 0;
  for (size_t i = 1; i < sets.size(); ++i) {
    if (sets[i]->size() < sets[smallest]->size()) smallest = i;
  }
  uint64_t n = 0;
  for (const Bytes& m : *sets[smallest]) {
    bool all = true;
    for (size_t i = 0; i < sets.size() && all; ++i) all = i == smallest || sets[i]->contains(BytesView(m));
    if (all && ++n == limit) break;
  }
  return n;
}

StoreResult<uint64_t> Store::set_combine_store(SetOp op, BytesView dst, std::span<const Bytes> keys) {
  if (auto w = writable(); !w) return store_err(w.error());
  const uint64_t hd = hash_key(dst);
  if (config_.max_memory != 0) {
    // Admission runs before any lock is taken, so it is sized by a first reading of the
    // result; the stored result is computed again under the locks.
    auto preview = set_combine(op, keys);
    if (!preview) return store_err(preview.error());
    const uint64_t estimate = kCollectionBaseCharge + align16(dst.size()) + members_charge(preview.value());
    if (auto r = admit(estimate + estimate_growth(dst, hd)); !r) return store_err(r.error());
  }
  Now now(*this);
  Shard& sd = shard_for(hd);
  std::vector<size_t> idx = shard_indices(*this, keys);
  idx.push_back(shard_of(*this, dst));
  ShardLocks<UniqueLock> locks(*this, std::move(idx));
  std::vector<Bytes> result;
  {
    auto sets = gather_sets(*this, keys, now.get());
    if (!sets) return store_err(sets.error());
    result = combine(op, sets.value());
  }
  const int64_t pd = find_for_write(sd, dst, hd, now);
  if (pd >= 0) {
    if (auto r = remove_entry(sd, dst, hd, Removal::Requested); !r) return store_err(r.error());
  }
  if (result.empty()) return uint64_t{0};
  WalRecord add;
  add.op = WalOp::SAdd;
  add.key = dst;
  add.items = result;
  if (!log(add)) return store_err(StoreError::PersistenceFailed);
  auto rec = CollectionRecord::create(ValueKind::Set, dst);
  for (const Bytes& m : result) rec->set().insert(m);
  rec->payload_bytes = members_charge(result);
  stamp(insert_new(sd, hd, Entry::make_collection(std::move(rec), 0)));
  return uint64_t{result.size()};
}

}  // namespace vellum
