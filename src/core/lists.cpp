// List operations beyond push, pop, range and length: positional reads and counted pops.
// A counted pop is logged as one LPop or RPop record per item, so replay needs nothing new.

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
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
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

}  // namespace vellum
