#pragma once
// ShardTable: the open-addressing table of one shard.
//
// Layout: entries live densely in `entries_` (positions 0..size-1, which is also the
// table's iteration order); a power-of-two array of buckets maps hashes to positions by
// Robin Hood linear probing. Removal shifts the following buckets back, so a removal
// never leaves an unusable slot and the counted capacity is always the full capacity of
// the bucket count.
//
// Capacity model (the basis of table_charge):
//   bucket counts are powers of two, at least 4 once anything is stored;
//   4 buckets hold 3 entries; from 8 buckets up a table holds 7/8 of its buckets;
//   an insert into a full table grows it to the smallest bucket count that holds one
//   more entry than the capacity (a doubling);
//   after a removal an empty table releases its storage (capacity 0), and a table whose
//   capacity exceeds 255 with fewer than a quarter of it in use is rebuilt at the
//   smallest size that holds the remaining entries.
//
// Not thread-safe: the shard lock guards it.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/bytes.h"
#include "core/value.h"

namespace vellum {

// Entries a table of `buckets` buckets holds (0 for no storage).
inline constexpr uint64_t bucket_capacity(uint64_t buckets) {
  return buckets < 8 ? (buckets == 0 ? 0 : buckets - 1) : buckets / 8 * 7;
}
// The smallest bucket count that holds `cap` entries (REQUIRES: cap >= 1).
uint64_t buckets_for(uint64_t cap);

// Charge of a table of counted capacity c.
inline constexpr uint64_t table_charge(uint64_t c) {
  if (c == 0) return 0;
  if (c <= 3) return 192;
  return align16(328 * (c / 7) + 16);
}

// Extra table charge when a full table of counted capacity c must grow for one insert.
inline constexpr uint64_t growth_charge(uint64_t c) {
  if (c == 0) return 192;
  if (c <= 3) return 160;
  // A full table of 4 to 6 counted slots can only come from removals in a larger table;
  // growing it rebuilds at no more than 7 entries, so the bound is that table's charge.
  if (c < 7) return table_charge(7) - table_charge(c);
  return 656 * (c / 7) + 16 - align16(328 * (c / 7) + 16);
}

class ShardTable {
 public:
  ShardTable() = default;
  ShardTable(const ShardTable&) = delete;
  ShardTable& operator=(const ShardTable&) = delete;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  uint64_t buckets() const { return index_ ? mask_ + 1 : 0; }
  // Counted capacity: live entries plus the slots still free before the table must grow.
  uint64_t capacity() const { return bucket_capacity(buckets()); }
  bool has_free_slot() const { return size() < capacity(); }

  // The position of `key` in iteration order, or -1. `hash` is key_hash(key).
  int64_t find(BytesView key, uint64_t hash) const;
  Entry& at(size_t pos) { return entries_[pos]; }
  const Entry& at(size_t pos) const { return entries_[pos]; }

  // Inserts an entry whose key is absent, growing the table first when it is full.
  // Returns its position.
  size_t insert(uint64_t hash, Entry&& e);
  // Removes the entry at `pos` (whose key hashes to `hash`), applies the shrink rule and
  // returns the removed entry. The last entry moves into `pos`.
  Entry erase_at(size_t pos, uint64_t hash);
  // Takes every entry out, leaving an empty table with no storage.
  std::vector<Entry> detach();

  // One step of a cursor iteration: calls fn(entry) for every entry whose home bucket is
  // `cursor` masked to the current bucket count, and returns the next cursor (0 after the
  // last). Cursors advance in reverse-binary order of the bucket bits, so an entry's home
  // under 2^k buckets is the low k bits of its hash, and a table resized between steps
  // (a power of two up or down) still visits every home the earlier cursors did not: when
  // it grows, the homes of a visited bucket split into buckets whose reversed index is
  // below the cursor; when it shrinks, the merged homes are visited again, never skipped.
  // The work of a step is the length of one probe run.
  template <class Fn>
  uint64_t scan_step(uint64_t cursor, Fn&& fn) const {
    if (!index_) return 0;
    const uint64_t home = cursor & mask_;
    for (uint64_t i = home, dist = 0; dist <= mask_; ++dist, i = (i + 1) & mask_) {
      const Bucket& b = index_[i];
      if (b.pos == kEmpty) break;
      const uint64_t bdist = (i - (b.tag & mask_)) & mask_;
      // Robin Hood order: the run of one home is contiguous, after every earlier home's.
      if (bdist < dist) break;
      if (bdist == dist) fn(entries_[b.pos]);
    }
    uint64_t v = reverse_bits(cursor | ~mask_);
    return reverse_bits(v + 1);
  }

 private:
  struct Bucket {
    uint32_t pos;  // kEmpty or a position in entries_
    uint32_t tag;  // low 32 bits of the key hash
  };
  static constexpr uint32_t kEmpty = ~uint32_t{0};
  static uint64_t reverse_bits(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 64; ++i, v >>= 1) r = (r << 1) | (v & 1);
    return r;
  }

  void rebuild(uint64_t buckets);
  void place(uint32_t pos, uint32_t tag);
  size_t bucket_of_pos(uint32_t pos, uint32_t tag) const;

  std::unique_ptr<Bucket[]> index_;
  uint64_t mask_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace vellum
