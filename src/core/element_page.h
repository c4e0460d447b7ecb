#pragma once
// The page selection of HSCAN and SSCAN over any unordered set or map whose hasher takes
// a BytesView, kept apart from the store so it can be tested with a colliding hasher.

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/bytes.h"

namespace vellum {

inline BytesView element_key(const Bytes& member) { return member; }
inline BytesView element_key(const std::pair<const Bytes, Bytes>& field) { return field.first; }

// One element as the selection sees it: its hash and where it lives in the container.
template <class Iter>
struct ScanCandidate {
  uint64_t hash;
  Iter it;
};

// The page of `container` (an unordered set or map) at `cursor`: the elements whose
// hashes are the `page` smallest at or above `cursor`, widened to every element sharing
// the highest of them, passed to `emit` in no particular order. The next cursor: one past
// that highest hash, or 0 when no element lies above it. REQUIRES: page >= 1.
template <class Container, class Emit>
uint64_t select_page(const Container& container, uint64_t cursor, uint64_t page, Emit&& emit) {
  using Iter = typename Container::const_iterator;
  const auto hasher = container.hash_function();
  std::vector<ScanCandidate<Iter>> ahead;
  ahead.reserve(container.size());
  for (Iter it = container.begin(); it != container.end(); ++it) {
    const uint64_t h = hasher(BytesView(element_key(*it)));
    if (h >= cursor) ahead.push_back(ScanCandidate<Iter>{h, it});
  }
  const auto by_hash = [](const ScanCandidate<Iter>& a, const ScanCandidate<Iter>& b) { return a.hash < b.hash; };
  if (ahead.size() > page) {
    // The page-th smallest hash bounds the page; every element at or below it is taken,
    // so elements with equal hashes stay together.
    std::nth_element(ahead.begin(), ahead.begin() + static_cast<std::ptrdiff_t>(page - 1), ahead.end(), by_hash);
    const uint64_t last = ahead[page - 1].hash;
    bool more = false;
    for (const ScanCandidate<Iter>& c : ahead) {
      if (c.hash <= last) {
        emit(*c.it);
      } else {
        more = true;
      }
    }
    // A last hash of 2^64 - 1 leaves nothing above it: `more` is false then.
    return more ? last + 1 : 0;
  }
  for (const ScanCandidate<Iter>& c : ahead) emit(*c.it);
  return 0;
}

}  // namespace vellum
