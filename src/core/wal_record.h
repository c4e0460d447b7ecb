#pragma once
// WalRecord: the description of one mutation that the store hands to its persistence
// hook while it still holds the shard lock(s) it changed. The views borrow the store's
// data and arguments and are valid only for the duration of the hook call.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "core/bytes.h"

namespace vellum {

enum class WalOp : uint8_t {
  Set = 1,       // u64 expires_at_ms, key, value (rest)
  Del = 2,       // key
  ExpireAt = 3,  // u64 expires_at_ms (0 = remove the expiry), key
  HSet = 4,      // key, field, value (rest)
  HDel = 5,      // key, fields list
  LPush = 6,     // key, items list
  RPush = 7,     // key, items list
  LPop = 8,      // key
  RPop = 9,      // key
  SAdd = 10,     // key, members list
  SRem = 11,     // key, members list
  FlushAll = 12, // nothing
  Batch = 13,    // sub-records list: whole payloads of other operations, applied together
  Rename = 14,   // key (the source), field (the destination)
  // 30 to 49: list operations beyond push and pop. Each is replayed by running the same
  // operation with the same arguments on the state it was logged against.
  LSet = 30,     // arg1 index, key, value (the element)
  LTrim = 31,    // arg1 start, arg2 stop, key
  LRem = 32,     // arg1 count, key, value (the element)
  LInsert = 33,  // arg1 (1: after, 0: before), key, field (the pivot), value (the element)
  LMove = 34,    // arg1 source end, arg2 destination end (0 left, 1 right), key (source),
                 // field (destination): one record, so replay moves the element whole
};

inline constexpr uint8_t kWalOpMax = 34;
// The codes this build reads; every other code is refused as an unknown operation.
inline constexpr bool wal_op_known(uint8_t code) {
  return (code >= 1 && code <= 14) || (code >= 30 && code <= kWalOpMax);
}

struct WalRecord {
  WalOp op = WalOp::Set;
  uint64_t expires_at_ms = 0;
  BytesView key;
  BytesView field;
  BytesView value;
  std::span<const Bytes> items;
  // Set only: bytes that follow `value` in the record, so APPEND logs the whole new value
  // without building it before the change is accepted.
  BytesView value_tail = {};
  // The integer arguments of the list operations (see WalOp).
  int64_t arg1 = 0;
  int64_t arg2 = 0;
};

// The store's only view of persistence. Every mutation describes itself to wal_append
// after its checks and before it changes anything, holding the shard lock(s) it changes,
// and applies the change only when wal_append accepts it. So a mutation the log refuses
// leaves memory as if it had never been asked for.
class PersistHook {
 public:
  virtual ~PersistHook() = default;
  // False when the mutation must not be applied: under fsync "always" its record could
  // not be written and flushed, or the log is broken and waits for a save. Under the
  // deferred policies it is always true; a record that cannot be written suspends logging
  // until a save instead.
  virtual bool wal_append(const WalRecord& record) noexcept = 0;
  // Encodes `record` as a whole payload into `out`, for a sub-record of a Batch record
  // (no I/O). False when this hook has no batches: the store then appends each record
  // of a batch on its own.
  virtual bool encode_payload(const WalRecord& record, Bytes& out) const {
    (void)record;
    (void)out;
    return false;
  }
  // The text of a refused mutation: what broke the log and the way out.
  virtual std::string refusal_text() const = 0;
  // True while mutations are refused. Read without a lock before a mutation starts, so a
  // mutation that will be refused evicts nothing first; wal_append still decides.
  bool refusing() const noexcept { return refusing_.load(std::memory_order_acquire); }

 protected:
  std::atomic<bool> refusing_{false};
};

}  // namespace vellum
