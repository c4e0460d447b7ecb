#include "core/table.h"

#include <bit>
#include <cassert>

#include "core/hash.h"

namespace vellum {

uint64_t buckets_for(uint64_t cap) {
  if (cap < 4) return 4;
  if (cap < 8) return 8;
  uint64_t b = std::bit_ceil(cap * 8 / 7);
  while (bucket_capacity(b) < cap) b *= 2;
  return b;
}

int64_t ShardTable::find(BytesView key, uint64_t hash) const {
  if (!index_) return -1;
  const uint32_t tag = static_cast<uint32_t>(hash);
  uint64_t i = tag & mask_;
  for (uint64_t dist = 0;; ++dist, i = (i + 1) & mask_) {
    const Bucket& b = index_[i];
    if (b.pos == kEmpty) return -1;
    // Robin Hood invariant: a resident closer to its home than we are to ours means the
    // key would have been placed here; it is absent.
    if (((i - (b.tag & mask_)) & mask_) < dist) return -1;
    if (b.tag == tag && entries_[b.pos].key() == key) return b.pos;
  }
}

void ShardTable::place(uint32_t pos, uint32_t tag) {
  Bucket cur{pos, tag};
  uint64_t i = tag & mask_;
  for (uint64_t dist = 0;; ++dist, i = (i + 1) & mask_) {
    Bucket& b = index_[i];
    if (b.pos == kEmpty) {
      b = cur;
      return;
    }
    const uint64_t bdist = (i - (b.tag & mask_)) & mask_;
    if (bdist < dist) {
      std::swap(cur, b);
      dist = bdist;
    }
  }
}

size_t ShardTable::bucket_of_pos(uint32_t pos, uint32_t tag) const {
  uint64_t i = tag & mask_;
  while (index_[i].pos != pos) i = (i + 1) & mask_;
  return i;
}

void ShardTable::rebuild(uint64_t buckets) {
  assert(std::has_single_bit(buckets));
  std::unique_ptr<Bucket[]> old = std::move(index_);
  const uint64_t old_buckets = old ? mask_ + 1 : 0;
  index_ = std::make_unique<Bucket[]>(buckets);
  for (uint64_t i = 0; i < buckets; ++i) index_[i] = Bucket{kEmpty, 0};
  mask_ = buckets - 1;
  for (uint64_t i = 0; i < old_buckets; ++i) {
    if (old[i].pos != kEmpty) place(old[i].pos, old[i].tag);
  }
  const uint64_t cap = bucket_capacity(buckets);
  if (entries_.capacity() < cap) {
    entries_.reserve(cap);
  } else if (entries_.capacity() > cap) {
    std::vector<Entry> fresh;
    fresh.reserve(cap);
    for (Entry& e : entries_) fresh.push_back(std::move(e));
    entries_ = std::move(fresh);
  }
}

size_t ShardTable::insert(uint64_t hash, Entry&& e) {
  if (size() == capacity()) rebuild(buckets_for(capacity() + 1));
  const auto pos = static_cast<uint32_t>(entries_.size());
  entries_.push_back(std::move(e));
  place(pos, static_cast<uint32_t>(hash));
  return pos;
}

Entry ShardTable::erase_at(size_t pos, uint64_t hash) {
  const auto p = static_cast<uint32_t>(pos);
  uint64_t i = bucket_of_pos(p, static_cast<uint32_t>(hash));
  // Backward shift: pull following residents one step towards home until an empty
  // bucket or one already at home, so no tombstone is ever left.
  for (;;) {
    const uint64_t next = (i + 1) & mask_;
    const Bucket nb = index_[next];
    if (nb.pos == kEmpty || ((next - (nb.tag & mask_)) & mask_) == 0) {
      index_[i] = Bucket{kEmpty, 0};
      break;
    }
    index_[i] = nb;
    i = next;
  }
  Entry out = std::move(entries_[pos]);
  const auto last = static_cast<uint32_t>(entries_.size() - 1);
  if (p != last) {
    const uint32_t last_tag = static_cast<uint32_t>(key_hash(entries_[last].key()));
    index_[bucket_of_pos(last, last_tag)].pos = p;
    entries_[pos] = std::move(entries_[last]);
  }
  entries_.pop_back();

  if (entries_.empty()) {
    index_.reset();
    mask_ = 0;
    entries_ = std::vector<Entry>();
  } else if (capacity() > 255 && size() * 4 < capacity()) {
    const uint64_t b = buckets_for(size());
    if (b < buckets()) rebuild(b);
  }
  return out;
}

std::vector<Entry> ShardTable::detach() {
  std::vector<Entry> out = std::move(entries_);
  entries_ = std::vector<Entry>();
  index_.reset();
  mask_ = 0;
  return out;
}

}  // namespace vellum
