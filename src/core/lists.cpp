// List operations beyond push, pop, range and length: positional reads, counted pops,
// writes in place and moves between lists. A counted pop is logged as one LPop or RPop
// record per item; the writes in place and moves have records of their own (LSet, LTrim,
// LRem, LInsert, LMove), each replayed by running the operation again on the state it was
// logged against.

#include <variant>

#include "core/collection_paths.h"

namespace vellum {

using namespace store_internal;

StoreResult<std::optional<Bytes>> Store::lindex(BytesView key, int64_t index) {
  return read_collection<std::optional<Bytes>>(key, ValueKind::List, [&](const CollectionRecord& rec) {
    const ListValue& list = rec.list();
    const auto n = static_cast<int64_t>(list.size());
    const int64_t i = index < 0 ? index + n : index;
    if (i < 0 || i >= n) return std::optional<Bytes>();
    return std::optional<Bytes>(list[static_cast<size_t>(i)]);
  });
}

StoreResult<std::vector<int64_t>> Store::lpos(BytesView key, BytesView element, int64_t rank, uint64_t count,
                                              uint64_t maxlen) {
  return read_collection<std::vector<int64_t>>(key, ValueKind::List, [&](const CollectionRecord& rec) {
    const ListValue& list = rec.list();
    const size_t n = list.size();
    const bool forward = rank > 0;
    uint64_t skip = forward ? static_cast<uint64_t>(rank) - 1 : 0 - static_cast<uint64_t>(rank) - 1;
    std::vector<int64_t> out;
    for (size_t seen = 0; seen < n && (maxlen == 0 || seen < maxlen); ++seen) {
      const size_t i = forward ? seen : n - 1 - seen;
      if (list[i] != element) continue;
      if (skip > 0) {
        --skip;
        continue;
      }
      out.push_back(static_cast<int64_t>(i));
      if (count != 0 && out.size() == count) break;
    }
    return out;
  });
}

StoreResult<std::vector<Bytes>> Store::pop_count(BytesView key, uint64_t count, bool left) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  std::vector<Bytes> out;
  if (pos < 0) return out;
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (e.is_string() || e.record()->kind() != ValueKind::List) return store_err(StoreError::WrongType);
  stamp(e);
  CollectionRecord& rec = *e.record();
  ListValue& list = rec.list();
  WalRecord w;
  w.op = left ? WalOp::LPop : WalOp::RPop;
  w.key = key;
  while (out.size() < count && !list.empty()) {
    if (!log(w)) {
      if (out.empty()) return store_err(StoreError::PersistenceFailed);
      break;
    }
    Bytes v = left ? std::move(list.front()) : std::move(list.back());
    if (left) {
      list.pop_front();
    } else {
      list.pop_back();
    }
    const uint64_t freed = item_charge(v.size());
    rec.payload_bytes = sub_floor(rec.payload_bytes, freed);
    charge_sub(freed);
    out.push_back(std::move(v));
  }
  if (rec.empty()) (void)remove_entry(s, key, h, Removal::Forced);
  return out;
}


template <class R, class Fn>
StoreResult<R> Store::update_list(BytesView key, uint64_t estimate, StoreResult<R> missing, Fn&& fn) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (config_.max_memory != 0 && estimate != 0) {
    if (auto r = admit(estimate); !r) return store_err(r.error());
  }
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if (pos < 0) return missing;
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (e.is_string() || e.record()->kind() != ValueKind::List) return store_err(StoreError::WrongType);
  stamp(e);
  CollectionRecord& rec = *e.record();
  const uint64_t before = rec.payload_bytes;
  StoreResult<R> result = fn(rec);
  charge_change(before, rec.payload_bytes);
  // Replaying the logged operation empties the list too, so the removal is forced.
  if (rec.empty()) (void)remove_entry(s, key, h, Removal::Forced);
  return result;
}

StoreResult<void> Store::lset(BytesView key, int64_t index, BytesView element) {
  auto r = update_list<bool>(key, item_charge(element.size()), store_err(StoreError::NoSuchKey),
                             [&](CollectionRecord& rec) -> StoreResult<bool> {
                               ListValue& list = rec.list();
                               const auto n = static_cast<int64_t>(list.size());
                               const int64_t i = index < 0 ? index + n : index;
                               if (i < 0 || i >= n) return store_err(StoreError::IndexOutOfRange);
                               WalRecord w;
                               w.op = WalOp::LSet;
                               w.key = key;
                               w.arg1 = index;
                               w.value = element;
                               if (!log(w)) return store_err(StoreError::PersistenceFailed);
                               Bytes& item = list[static_cast<size_t>(i)];
                               rec.payload_bytes =
                                   sub_floor(rec.payload_bytes, item_charge(item.size())) + item_charge(element.size());
                               item.assign(element);
                               return true;
                             });
  if (!r) return store_err(r.error());
  return {};
}

StoreResult<void> Store::ltrim(BytesView key, int64_t start, int64_t stop) {
  auto r = update_list<bool>(key, 0, true, [&](CollectionRecord& rec) -> StoreResult<bool> {
    ListValue& list = rec.list();
    const auto n = static_cast<int64_t>(list.size());
    const ListSpan keep = list_span(start, stop, n);
    const auto lo = static_cast<size_t>(keep.lo);
    const size_t kept = keep.lo <= keep.hi ? static_cast<size_t>(keep.hi - keep.lo + 1) : 0;
    if (kept == list.size()) return true;
    WalRecord w;
    w.op = WalOp::LTrim;
    w.key = key;
    w.arg1 = start;
    w.arg2 = stop;
    if (!log(w)) return store_err(StoreError::PersistenceFailed);
    uint64_t freed = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (i < lo || i >= lo + kept) freed += item_charge(list[i].size());
    }
    if (kept == 0) {
      list.clear();
    } else {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(lo + kept), list.end());
      list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(lo));
    }
    rec.payload_bytes = sub_floor(rec.payload_bytes, freed);
    return true;
  });
  if (!r) return store_err(r.error());
  return {};
}

StoreResult<uint64_t> Store::lrem(BytesView key, int64_t count, BytesView element) {
  return update_list<uint64_t>(key, 0, uint64_t{0}, [&](CollectionRecord& rec) -> StoreResult<uint64_t> {
    ListValue& list = rec.list();
    const size_t n = list.size();
    const bool from_tail = count < 0;
    const uint64_t limit = count == 0 ? ~uint64_t{0} : from_tail ? 0 - static_cast<uint64_t>(count)
                                                                  : static_cast<uint64_t>(count);
    // The positions to remove, marked first so nothing is logged for a call that finds
    // no match.
    std::vector<bool> doomed(n, false);
    uint64_t found = 0;
    for (size_t seen = 0; seen < n && found < limit; ++seen) {
      const size_t i = from_tail ? n - 1 - seen : seen;
      if (list[i] != element) continue;
      doomed[i] = true;
      ++found;
    }
    if (found == 0) return uint64_t{0};
    WalRecord w;
    w.op = WalOp::LRem;
    w.key = key;
    w.arg1 = count;
    w.value = element;
    if (!log(w)) return store_err(StoreError::PersistenceFailed);
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
      if (doomed[i]) continue;
      if (out != i) list[out] = std::move(list[i]);
      ++out;
    }
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(out), list.end());
    rec.payload_bytes = sub_floor(rec.payload_bytes, found * item_charge(element.size()));
    return found;
  });
}

StoreResult<int64_t> Store::linsert(BytesView key, bool after, BytesView pivot, BytesView element) {
  return update_list<int64_t>(key, item_charge(element.size()), int64_t{0},
                              [&](CollectionRecord& rec) -> StoreResult<int64_t> {
                                ListValue& list = rec.list();
                                auto it = std::find(list.begin(), list.end(), pivot);
                                if (it == list.end()) return int64_t{-1};
                                WalRecord w;
                                w.op = WalOp::LInsert;
                                w.key = key;
                                w.field = pivot;
                                w.value = element;
                                w.arg1 = after ? 1 : 0;
                                if (!log(w)) return store_err(StoreError::PersistenceFailed);
                                list.insert(after ? std::next(it) : it, Bytes(element));
                                rec.payload_bytes += item_charge(element.size());
                                return static_cast<int64_t>(list.size());
                              });
}

StoreResult<std::optional<Bytes>> Store::lmove(BytesView src, BytesView dst, bool from_left, bool to_left) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t hs = hash_key(src);
  const uint64_t hd = hash_key(dst);
  // The item only changes lists; a new destination adds its record and table slot.
  if (config_.max_memory != 0) {
    const uint64_t estimate = kCollectionBaseCharge + align16(dst.size());
    if (auto r = admit(estimate + estimate_growth(dst, hd)); !r) return store_err(r.error());
  }
  Shard& ss = shard_for(hs);
  Shard& sd = shard_for(hd);
  ShardLocks<UniqueLock> locks(*this, {shard_index(src), shard_index(dst)});
  const int64_t ps = find_for_write(ss, src, hs, now);
  const int64_t pd = find_for_write(sd, dst, hd, now);
  auto is_list = [](const Entry& e) { return !e.is_string() && e.record()->kind() == ValueKind::List; };
  if (ps >= 0 && !is_list(ss.table.at(static_cast<size_t>(ps)))) return store_err(StoreError::WrongType);
  if (pd >= 0 && !is_list(sd.table.at(static_cast<size_t>(pd)))) return store_err(StoreError::WrongType);
  if (ps < 0) return std::optional<Bytes>();
  WalRecord w;
  w.op = WalOp::LMove;
  w.key = src;
  w.field = dst;
  w.arg1 = from_left ? 0 : 1;
  w.arg2 = to_left ? 0 : 1;
  if (!log(w)) return store_err(StoreError::PersistenceFailed);
  // Records live outside the table, so these stay valid while entries move within it.
  Entry& es = ss.table.at(static_cast<size_t>(ps));
  stamp(es);
  CollectionRecord* from = es.record();
  CollectionRecord* to = nullptr;
  if (pd >= 0) {
    Entry& ed = sd.table.at(static_cast<size_t>(pd));
    stamp(ed);
    to = ed.record();
  }
  ListValue& list = from->list();
  Bytes item = from_left ? std::move(list.front()) : std::move(list.back());
  if (from_left) {
    list.pop_front();
  } else {
    list.pop_back();
  }
  const uint64_t charge = item_charge(item.size());
  from->payload_bytes = sub_floor(from->payload_bytes, charge);
  std::optional<Bytes> moved(item);
  if (to != nullptr) {
    if (to_left) {
      to->list().push_front(std::move(item));
    } else {
      to->list().push_back(std::move(item));
    }
    to->payload_bytes += charge;
  } else {
    charge_sub(charge);
    auto rec = CollectionRecord::create(ValueKind::List, dst);
    rec->list().push_back(std::move(item));
    rec->payload_bytes = charge;
    stamp(insert_new(sd, hd, Entry::make_collection(std::move(rec), 0)));
  }
  if (from->empty()) (void)remove_entry(ss, src, hs, Removal::Forced);
  return moved;
}

}  // namespace vellum
