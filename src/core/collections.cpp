// The hash, list and set operations over their common read, add and remove paths, and
// the restore of a loaded collection. No operation here leaves an empty collection
// behind: one that removes the last element removes the key in the same exclusive section.

#include "core/store.h"

#include <algorithm>

#include "core/collection_paths.h"
#include "core/store_internal.h"

namespace vellum {

using namespace store_internal;

namespace {

void payload_sub(CollectionRecord& rec, uint64_t n) { rec.payload_bytes = sub_floor(rec.payload_bytes, n); }

uint64_t elements_estimate(std::span<const Bytes> items) {
  uint64_t sum = 0;
  for (const Bytes& b : items) sum += item_charge(b.size());
  return sum;
}

}  // namespace

StoreResult<bool> Store::hset(BytesView key, BytesView field, BytesView value) {
  const uint64_t estimate = align16(key.size()) + align16(field.size()) + align16(value.size()) + 136;
  WalRecord w;
  w.op = WalOp::HSet;
  w.key = key;
  w.field = field;
  w.value = value;
  auto r = add_to_collection(key, ValueKind::Hash, estimate, w, [&](CollectionRecord& rec) -> uint64_t {
    HashValue& map = rec.hash();
    auto it = map.find(field);
    if (it != map.end()) {
      payload_sub(rec, align16(it->second.size()));
      rec.payload_bytes += align16(value.size());
      it->second.assign(value);
      return 0;
    }
    map.emplace(Bytes(field), Bytes(value));
    rec.payload_bytes += field_charge(field.size(), value.size());
    return 1;
  });
  if (!r) return store_err(r.error());
  return r.value() == 1;
}

StoreResult<std::optional<Bytes>> Store::hget(BytesView key, BytesView field) {
  return read_collection<std::optional<Bytes>>(key, ValueKind::Hash, [&](const CollectionRecord& rec) {
    const HashValue& map = rec.hash();
    auto it = map.find(field);
    return it == map.end() ? std::optional<Bytes>() : std::optional<Bytes>(it->second);
  });
}

StoreResult<uint64_t> Store::hdel(BytesView key, std::span<const Bytes> fields) {
  WalRecord w;
  w.op = WalOp::HDel;
  w.key = key;
  w.items = fields;
  return remove_from_collection<uint64_t>(key, ValueKind::Hash, w, [&](CollectionRecord& rec) {
    uint64_t removed = 0;
    HashValue& map = rec.hash();
    for (const Bytes& f : fields) {
      auto it = map.find(BytesView(f));
      if (it == map.end()) continue;
      payload_sub(rec, field_charge(it->first.size(), it->second.size()));
      map.erase(it);
      ++removed;
    }
    return removed;
  });
}

StoreResult<std::vector<std::pair<Bytes, Bytes>>> Store::hgetall(BytesView key) {
  using Pairs = std::vector<std::pair<Bytes, Bytes>>;
  return read_collection<Pairs>(key, ValueKind::Hash, [](const CollectionRecord& rec) {
    Pairs out;
    out.reserve(rec.hash().size());
    for (const auto& kv : rec.hash()) out.emplace_back(kv.first, kv.second);
    return out;
  });
}

StoreResult<uint64_t> Store::hlen(BytesView key) {
  return read_collection<uint64_t>(key, ValueKind::Hash,
                                   [](const CollectionRecord& rec) { return uint64_t{rec.hash().size()}; });
}

StoreResult<uint64_t> Store::push(BytesView key, std::span<const Bytes> values, bool left) {
  const uint64_t estimate = align16(key.size()) + kCollectionBaseCharge + elements_estimate(values);
  WalRecord w;
  w.op = left ? WalOp::LPush : WalOp::RPush;
  w.key = key;
  w.items = values;
  return add_to_collection(key, ValueKind::List, estimate, w, [&](CollectionRecord& rec) -> uint64_t {
    ListValue& list = rec.list();
    for (const Bytes& v : values) {
      if (left) {
        list.push_front(v);
      } else {
        list.push_back(v);
      }
      rec.payload_bytes += item_charge(v.size());
    }
    return list.size();
  });
}

StoreResult<uint64_t> Store::lpush(BytesView key, std::span<const Bytes> values) { return push(key, values, true); }
StoreResult<uint64_t> Store::rpush(BytesView key, std::span<const Bytes> values) { return push(key, values, false); }

StoreResult<std::optional<Bytes>> Store::pop(BytesView key, bool left) {
  WalRecord w;
  w.op = left ? WalOp::LPop : WalOp::RPop;
  w.key = key;
  return remove_from_collection<std::optional<Bytes>>(key, ValueKind::List, w, [&](CollectionRecord& rec) {
    ListValue& list = rec.list();
    Bytes v;
    if (left) {
      v = std::move(list.front());
      list.pop_front();
    } else {
      v = std::move(list.back());
      list.pop_back();
    }
    payload_sub(rec, item_charge(v.size()));
    return std::optional<Bytes>(std::move(v));
  });
}

StoreResult<std::optional<Bytes>> Store::lpop(BytesView key) { return pop(key, true); }
StoreResult<std::optional<Bytes>> Store::rpop(BytesView key) { return pop(key, false); }

StoreResult<uint64_t> Store::llen(BytesView key) {
  return read_collection<uint64_t>(key, ValueKind::List,
                                   [](const CollectionRecord& rec) { return uint64_t{rec.list().size()}; });
}

StoreResult<std::vector<Bytes>> Store::lrange(BytesView key, int64_t start, int64_t stop) {
  return read_collection<std::vector<Bytes>>(key, ValueKind::List, [&](const CollectionRecord& rec) {
    const ListValue& list = rec.list();
    const ListSpan span = list_span(start, stop, static_cast<int64_t>(list.size()));
    std::vector<Bytes> out;
    if (span.lo <= span.hi) {
      out.reserve(static_cast<size_t>(span.hi - span.lo + 1));
      for (int64_t i = span.lo; i <= span.hi; ++i) out.push_back(list[static_cast<size_t>(i)]);
    }
    return out;
  });
}

StoreResult<uint64_t> Store::sadd(BytesView key, std::span<const Bytes> members) {
  const uint64_t estimate = align16(key.size()) + kCollectionBaseCharge + elements_estimate(members);
  WalRecord w;
  w.op = WalOp::SAdd;
  w.key = key;
  w.items = members;
  return add_to_collection(key, ValueKind::Set, estimate, w, [&](CollectionRecord& rec) -> uint64_t {
    uint64_t added = 0;
    for (const Bytes& m : members) {
      if (rec.set().insert(m).second) {
        rec.payload_bytes += item_charge(m.size());
        ++added;
      }
    }
    return added;
  });
}

StoreResult<uint64_t> Store::srem(BytesView key, std::span<const Bytes> members) {
  WalRecord w;
  w.op = WalOp::SRem;
  w.key = key;
  w.items = members;
  return remove_from_collection<uint64_t>(key, ValueKind::Set, w, [&](CollectionRecord& rec) {
    uint64_t removed = 0;
    SetValue& set = rec.set();
    for (const Bytes& m : members) {
      auto it = set.find(BytesView(m));
      if (it == set.end()) continue;
      payload_sub(rec, item_charge(m.size()));
      set.erase(it);
      ++removed;
    }
    return removed;
  });
}

StoreResult<std::vector<Bytes>> Store::smembers(BytesView key) {
  return read_collection<std::vector<Bytes>>(key, ValueKind::Set, [](const CollectionRecord& rec) {
    return std::vector<Bytes>(rec.set().begin(), rec.set().end());
  });
}

StoreResult<bool> Store::sismember(BytesView key, BytesView member) {
  return read_collection<bool>(key, ValueKind::Set,
                               [&](const CollectionRecord& rec) { return rec.set().find(member) != rec.set().end(); });
}

StoreResult<uint64_t> Store::scard(BytesView key) {
  return read_collection<uint64_t>(key, ValueKind::Set,
                                   [](const CollectionRecord& rec) { return uint64_t{rec.set().size()}; });
}

void Store::restore_collection(std::unique_ptr<CollectionRecord> record, uint64_t expires_at_ms) {
  const uint64_t h = hash_key(record->key());
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  put_entry(s, h, Entry::make_collection(std::move(record), expires_at_ms));
}

}  // namespace vellum
