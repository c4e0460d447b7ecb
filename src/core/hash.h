#pragma once
// The folded-multiply byte hash used for the key space (under four fixed keys, so shard
// and slot placement are the same in every process) and, under per-collection random
// keys, for the elements of hashes and sets.

#include <array>
#include <cstdint>

#include "core/bytes.h"

namespace vellum {

using HashKeys = std::array<uint64_t, 4>;

// The key space's fixed keys: the first 256 fractional bits of pi.
inline constexpr HashKeys kKeyHashKeys = {0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL,
                                          0xa4093822299f31d0ULL, 0x082efa98ec4e6c89ULL};

uint64_t folded_hash(BytesView data, const HashKeys& keys);

// The fixed-key hash of the key space (folded-multiply construction, the same in every
// process), used for shard selection and table addressing.
uint64_t key_hash(BytesView key);

// One step of SplitMix64 applied to `x` (a pure function; the store's generator adds
// the increment to its state atomically and passes the new value here).
inline constexpr uint64_t splitmix64_mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}
inline constexpr uint64_t kSplitMixIncrement = 0x9E3779B97F4A7C15ULL;

}  // namespace vellum
