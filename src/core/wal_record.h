#pragma once
// WalRecord: the description of one mutation that the store hands to its persistence
// hook while it still holds the shard lock(s) it changed. The views borrow the store's
// data and arguments and are valid only for the duration of the hook call.

#include <cstdint>
#include <span>

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
};

inline constexpr uint8_t kWalOpMax = 12;

struct WalRecord {
  WalOp op = WalOp::Set;
  uint64_t expires_at_ms = 0;
  BytesView key;
  BytesView field;
  BytesView value;
  std::span<const Bytes> items;
};

// The store's only view of persistence: it calls wal_append for every mutation while
// holding the shard lock(s) of that mutation. Implementations never fail the caller;
// failures are recorded on their side.
class PersistHook {
 public:
  virtual ~PersistHook() = default;
  virtual void wal_append(const WalRecord& record) noexcept = 0;
};

}  // namespace vellum
