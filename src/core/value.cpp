#include "core/value.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "core/hash.h"

namespace vellum {

namespace {

char* allocate(uint64_t n) {
  if (n == 0) return nullptr;
  void* p = std::malloc(n);
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<char*>(p);
}

// Seeds for collection hashes: a process-random start advanced by SplitMix64, so every
// collection gets its own seed without a lock.
uint64_t next_collection_seed() {
  static std::atomic<uint64_t> state{[] {
    std::random_device rd;
    const uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ t;
  }()};
  return splitmix64_mix(state.fetch_add(kSplitMixIncrement, std::memory_order_relaxed) + kSplitMixIncrement);
}

}  // namespace

SeededHash::SeededHash(uint64_t seed)
    : keys_{seed, splitmix64_mix(seed ^ 1), splitmix64_mix(seed ^ 2), splitmix64_mix(seed ^ 3)} {}

size_t SeededHash::operator()(BytesView s) const noexcept {
  return folded_hash(s, keys_);
}

std::unique_ptr<CollectionRecord> CollectionRecord::create(ValueKind kind, BytesView key) {
  const SeededHash h{next_collection_seed()};
  switch (kind) {
    case ValueKind::List:
      return std::unique_ptr<CollectionRecord>(new CollectionRecord(key, ListValue{}));
    case ValueKind::Hash:
      return std::unique_ptr<CollectionRecord>(new CollectionRecord(
          key, std::variant<ListValue, HashValue, SetValue>(std::in_place_index<1>, 0, h)));
    case ValueKind::Set:
      return std::unique_ptr<CollectionRecord>(new CollectionRecord(
          key, std::variant<ListValue, HashValue, SetValue>(std::in_place_index<2>, 0, h)));
  }
  return nullptr;
}

size_t CollectionRecord::element_count() const {
  switch (kind()) {
    case ValueKind::List:
      return list().size();
    case ValueKind::Hash:
      return hash().size();
    case ValueKind::Set:
      return set().size();
  }
  return 0;
}

Entry Entry::make_string(BytesView key, BytesView value, uint64_t expires_at_ms) {
  Entry e;
  const uint64_t n = key.size() + value.size();
  e.buf_ = allocate(n);
  if (!key.empty()) std::memcpy(e.buf_, key.data(), key.size());
  if (!value.empty()) std::memcpy(e.buf_ + key.size(), value.data(), value.size());
  e.len_ = n;
  e.cap_ = n;
  e.key_len_ = static_cast<uint32_t>(key.size());
  e.expires_at_ms = expires_at_ms;
  return e;
}

Entry Entry::make_collection(std::unique_ptr<CollectionRecord> record, uint64_t expires_at_ms) {
  Entry e;
  e.buf_ = reinterpret_cast<char*>(record.release());
  e.len_ = kCollectionTag;
  e.expires_at_ms = expires_at_ms;
  return e;
}

void Entry::replace_value(BytesView value) {
  const uint64_t n = key_len_ + value.size();
  char* nb = allocate(n);
  if (key_len_ != 0) std::memcpy(nb, buf_, key_len_);
  if (!value.empty()) std::memcpy(nb + key_len_, value.data(), value.size());
  std::free(buf_);
  buf_ = nb;
  len_ = n;
  cap_ = n;
}

void Entry::append_value(BytesView more) {
  if (more.empty()) return;
  const uint64_t need = len_ + more.size();
  if (cap_ - len_ < more.size()) {
    uint64_t cap = cap_ * 2;
    if (cap < need) cap = need;
    if (cap < 8) cap = 8;
    void* nb = std::realloc(buf_, cap);
    if (nb == nullptr) throw std::bad_alloc();
    buf_ = static_cast<char*>(nb);
    cap_ = cap;
  }
  std::memcpy(buf_ + len_, more.data(), more.size());
  len_ = need;
}

void Entry::release() {
  if (len_ == kCollectionTag) {
    delete record();
  } else {
    std::free(buf_);
  }
  buf_ = nullptr;
  len_ = 0;
}

}  // namespace vellum
