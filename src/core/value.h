#pragma once
// What one key holds in memory, and what it is charged against `used_memory`.
//
// A string key is one heap buffer holding the key bytes immediately followed by the
// value bytes, held inline in its table slot (one allocation per key). A list, hash or
// set key is a heap-allocated CollectionRecord owned by its slot; the slot keeps the
// expiry, the access stamp and the version (48 bytes a slot).
//
// Charges (bytes, an accounting model rather than a heap measurement):
//   string entry      align16(capacity of the buffer)
//   collection entry  80 + align16(key length) + payload_bytes
//   list item         align16(len) + 56        set member  align16(len) + 56
//   hash field        align16(field len) + align16(value len) + 56
// Entries are not thread-safe; the shard lock that guards their table guards them.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "core/bytes.h"
#include "core/hash.h"

namespace vellum {

enum class ValueKind : uint8_t { List = 0, Hash = 1, Set = 2 };

inline constexpr uint64_t kCollectionBaseCharge = 80;
inline constexpr uint64_t kElementOverhead = 56;

inline constexpr uint64_t string_charge(uint64_t capacity) { return align16(capacity); }
inline constexpr uint64_t collection_charge(uint64_t key_len, uint64_t payload_bytes) {
  return kCollectionBaseCharge + align16(key_len) + payload_bytes;
}
inline constexpr uint64_t item_charge(uint64_t len) { return align16(len) + kElementOverhead; }
inline constexpr uint64_t field_charge(uint64_t field_len, uint64_t value_len) {
  return align16(field_len) + align16(value_len) + kElementOverhead;
}

// Hash of a collection's elements, seeded per collection so that iteration orders differ
// between collections and between runs.
class SeededHash {
 public:
  using is_transparent = void;
  SeededHash() : SeededHash(0) {}
  explicit SeededHash(uint64_t seed);
  size_t operator()(BytesView s) const noexcept;

 private:
  HashKeys keys_;  // derived once from the seed, not per hashed element
};

using ListValue = std::deque<Bytes>;
using HashValue = std::unordered_map<Bytes, Bytes, SeededHash, std::equal_to<>>;
using SetValue = std::unordered_set<Bytes, SeededHash, std::equal_to<>>;

class CollectionRecord {
 public:
  // A new empty collection of `kind` under `key`, with a randomly seeded element hash.
  static std::unique_ptr<CollectionRecord> create(ValueKind kind, BytesView key);

  ValueKind kind() const { return static_cast<ValueKind>(value_.index()); }
  BytesView key() const { return key_; }
  uint64_t charge() const { return collection_charge(key_.size(), payload_bytes); }
  size_t element_count() const;
  bool empty() const { return element_count() == 0; }

  // REQUIRES: kind() matches.
  ListValue& list() { return std::get<ListValue>(value_); }
  HashValue& hash() { return std::get<HashValue>(value_); }
  SetValue& set() { return std::get<SetValue>(value_); }
  const ListValue& list() const { return std::get<ListValue>(value_); }
  const HashValue& hash() const { return std::get<HashValue>(value_); }
  const SetValue& set() const { return std::get<SetValue>(value_); }

  // Gives the record another key (RENAME); its charge changes with the key's length, so
  // the caller takes it out of the accounting first and adds it back after.
  void rename(BytesView key) { key_.assign(key); }

  // The accounted bytes of the elements; kept equal to the sum of their charges.
  uint64_t payload_bytes = 0;

  // A copy with the same elements and charge (a batch's pre-image).
  std::unique_ptr<CollectionRecord> clone() const { return std::unique_ptr<CollectionRecord>(new CollectionRecord(*this)); }

 private:
  CollectionRecord(BytesView key, std::variant<ListValue, HashValue, SetValue> value)
      : key_(key), value_(std::move(value)) {}
  Bytes key_;
  std::variant<ListValue, HashValue, SetValue> value_;  // index == ValueKind
};

// One slot of a shard table: a string (key-then-value buffer) or a collection record.
// Move-only; the entry owns its buffer or record.
class Entry {
 public:
  Entry() = default;
  Entry(Entry&& o) noexcept { steal(o); }
  Entry& operator=(Entry&& o) noexcept {
    if (this != &o) {
      release();
      steal(o);
    }
    return *this;
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() { release(); }

  // REQUIRES: key.size() < 2^32.
  static Entry make_string(BytesView key, BytesView value, uint64_t expires_at_ms);
  static Entry make_collection(std::unique_ptr<CollectionRecord> record, uint64_t expires_at_ms);

  bool is_string() const { return len_ != kCollectionTag; }
  BytesView key() const {
    return is_string() ? BytesView(buf_, key_len_) : record()->key();
  }
  // REQUIRES: is_string().
  BytesView value() const { return BytesView(buf_ + key_len_, len_ - key_len_); }
  uint64_t capacity() const { return cap_; }
  // REQUIRES: !is_string().
  CollectionRecord* record() const { return reinterpret_cast<CollectionRecord*>(buf_); }

  uint64_t charge() const { return is_string() ? string_charge(cap_) : record()->charge(); }

  // Replaces the value of a string entry with an exactly sized buffer, keeping the key.
  void replace_value(BytesView value);
  // Appends to a string entry's value; grows the capacity to the largest of twice the
  // old capacity, the needed length and 8 when the spare room is too small.
  void append_value(BytesView more);

  uint64_t expires_at_ms = 0;

  uint32_t stamp() const { return std::atomic_ref<const uint32_t>(stamp_).load(std::memory_order_relaxed); }
  // Stamps are written under a shared lock too, hence atomic.
  void set_stamp(uint32_t s) { std::atomic_ref<uint32_t>(stamp_).store(s, std::memory_order_relaxed); }

  // The version of what the entry holds: the store gives it a new one, never handed out
  // before, on every write, so a reader that saw version v and sees v again knows that
  // nothing was written in between. 0 until the first write. Written only under the
  // exclusive shard lock.
  uint64_t version() const { return version_; }
  void set_version(uint64_t v) { version_ = v; }

  bool live_at(uint64_t now) const { return expires_at_ms == 0 || expires_at_ms > now; }

 private:
  static constexpr uint64_t kCollectionTag = ~uint64_t{0};
  void release();
  void steal(Entry& o) {
    buf_ = o.buf_;
    len_ = o.len_;
    cap_ = o.cap_;
    key_len_ = o.key_len_;
    stamp_ = o.stamp_;
    version_ = o.version_;
    expires_at_ms = o.expires_at_ms;
    o.buf_ = nullptr;
    o.len_ = 0;
    o.cap_ = 0;
    o.key_len_ = 0;
  }

  char* buf_ = nullptr;  // string: key bytes then value bytes; collection: CollectionRecord*
  uint64_t len_ = 0;     // key + value length, or kCollectionTag
  uint64_t cap_ = 0;     // allocated bytes of buf_ (strings)
  uint32_t key_len_ = 0;
  alignas(4) uint32_t stamp_ = 0;
  uint64_t version_ = 0;
};

}  // namespace vellum
