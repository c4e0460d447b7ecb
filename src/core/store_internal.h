#pragma once
// Helpers shared by the units that implement Store (store.cpp, expiry.cpp, evict.cpp,
// collections.cpp). Private to the core: no header outside src/core includes it.

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "core/store.h"

namespace vellum::store_internal {

using SharedLock = std::shared_lock<ShardLock>;
using UniqueLock = std::unique_lock<ShardLock>;

inline uint64_t sub_floor(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

}  // namespace vellum::store_internal
