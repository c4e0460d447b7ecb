// HSCAN and SSCAN: cursored iteration over the elements of one hash or set in the order
// of their element hash (see Store::hscan for the guarantee and the cost).
//
// The keyspace SCAN's reverse-binary walk over buckets relies on power-of-two tables;
// the element containers have prime bucket counts that change as they grow, so a bucket
// position means nothing across a resize. The element hash does not change while the
// collection lives, so "every hash at or above the cursor is still to come" holds
// whatever happens to the buckets between calls.

#include <algorithm>

#include "core/collection_paths.h"
#include "core/element_page.h"
#include "core/glob.h"

namespace vellum {

using namespace store_internal;

namespace {

uint64_t page_size(uint64_t count, size_t size) {
  return std::max({count, Store::kElementScanMinPage, static_cast<uint64_t>(size) / Store::kElementScanSlices});
}

}  // namespace

StoreResult<Store::ElementPage> Store::hscan(BytesView key, uint64_t cursor, uint64_t count,
                                             std::optional<BytesView> pattern, bool no_values) {
  return read_collection<ElementPage>(key, ValueKind::Hash, [&](const CollectionRecord& rec) {
    ElementPage out;
    const HashValue& map = rec.hash();
    out.cursor = select_page(map, cursor, page_size(count, map.size()), [&](const std::pair<const Bytes, Bytes>& kv) {
      if (pattern && !glob_match(*pattern, kv.first)) return;
      out.items.push_back(kv.first);
      if (!no_values) out.items.push_back(kv.second);
    });
    return out;
  });
}

StoreResult<Store::ElementPage> Store::sscan(BytesView key, uint64_t cursor, uint64_t count,
                                             std::optional<BytesView> pattern) {
  return read_collection<ElementPage>(key, ValueKind::Set, [&](const CollectionRecord& rec) {
    ElementPage out;
    const SetValue& set = rec.set();
    out.cursor = select_page(set, cursor, page_size(count, set.size()), [&](const Bytes& member) {
      if (pattern && !glob_match(*pattern, member)) return;
      out.items.push_back(member);
    });
    return out;
  });
}

}  // namespace vellum
