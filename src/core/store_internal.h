#pragma once
// Helpers shared by the units that implement Store (store.cpp, expiry.cpp, evict.cpp,
// collections.cpp). Private to the core: no header outside src/core includes it.

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "core/store.h"

namespace vellum::store_internal {

using SharedLock = std::shared_lock<ShardLock>;
using UniqueLock = std::unique_lock<ShardLock>;

inline uint64_t sub_floor(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

// The items [lo, hi] that a start and stop index name in a list of `n` items (negative
// indexes count from the tail, both ends are clamped): lo > hi when none.
struct ListSpan {
  int64_t lo;
  int64_t hi;
};
inline ListSpan list_span(int64_t start, int64_t stop, int64_t n) {
  const int64_t hi = stop < 0 ? stop + n : std::min(stop, n - 1);
  const int64_t lo = start < 0 ? std::max<int64_t>(start + n, 0) : start;
  return lo <= hi && lo < n ? ListSpan{lo, hi} : ListSpan{1, 0};
}

// The locks of a set of shards, taken in ascending index (the store's lock order) and
// released together.
template <class Lock>
class ShardLocks {
 public:
  ShardLocks(Store& store, std::vector<size_t> indices) {
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    locks_.reserve(indices.size());
    for (size_t i : indices) locks_.emplace_back(store.shard(i).lock);
  }

 private:
  std::vector<Lock> locks_;
};

}  // namespace vellum::store_internal
