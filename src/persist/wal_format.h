#pragma once
// The log segment format, shared by the writer and by replay: segment names, the record
// framing and the payload codec. Every function is pure and thread-safe.
//
// A segment is a file named "wal-{N}.log" (N an unsigned 64-bit decimal) holding records
// back to back, with no file header:
//   u32 payload_len   length of the payload (little-endian)
//   u32 crc           CRC-32 of the payload bytes only
//   payload           one WalOp byte, then the operation's fields:
//     SET       u64 expires_at_ms, key bytes, value rest
//     DEL       key bytes
//     EXPIREAT  u64 expires_at_ms (0 = no expiry), key bytes
//     HSET      key bytes, field bytes, value rest
//     HDEL LPUSH RPUSH SADD SREM   key bytes, list (varint count, then bytes fields)
//     LPOP RPOP key bytes
//     FLUSHALL  nothing
//     RENAME    key bytes, destination bytes
//     LSET LREM u64 index or count (two's complement), key bytes, value rest
//     LTRIM     u64 start, u64 stop (two's complement), key bytes
//     LINSERT   u8 (1 after, 0 before), key bytes, pivot bytes, value rest
//     LMOVE     u8 source end, u8 destination end (0 left, 1 right), key bytes,
//               destination bytes
//     BATCH     list of whole payloads of the operations above (never BATCH), applied
//               together: one checksum covers the whole transaction
// where "bytes" is a varint length and the raw bytes, and "rest" is everything left.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "platform/result.h"
#include "core/wal_record.h"

namespace vellum::persist {

inline constexpr size_t kWalHeaderSize = 8;
inline constexpr uint64_t kWalMaxPayload = 0xFFFFFFFFu;

// One log segment: its number and its file name.
struct Segment {
  uint64_t n = 0;
  std::string name;  // the name as listed, which may carry leading zeros
};

// "wal-{n}.log" without leading zeros.
std::string segment_name(uint64_t n);
// The number of a segment name: "wal-", one or more ASCII digits that fit in 64 bits
// (leading zeros allowed), ".log". Every other name is not a segment.
std::optional<uint64_t> parse_segment_name(std::string_view name);

// Appends the payload of `r` (operation byte and fields) to `out`.
void encode_wal_payload(const WalRecord& r, std::string& out);

// One decoded payload. The views borrow the payload passed to decode_wal_payload.
struct DecodedWalRecord {
  WalOp op = WalOp::Set;
  uint64_t expires_at_ms = 0;
  BytesView key;
  BytesView field;
  BytesView value;
  std::vector<Bytes> items;
  int64_t arg1 = 0;
  int64_t arg2 = 0;
};

// The reason texts of a malformed payload.
inline constexpr std::string_view kMalformedTruncated = "truncated";
inline constexpr std::string_view kMalformedUnknownOp = "unknown operation";
inline constexpr std::string_view kMalformedNestedBatch = "batch inside a batch";
inline constexpr std::string_view kMalformedFlag = "flag byte other than 0 or 1";

// Decodes one payload, or names why it is malformed. Bytes after the last field of an
// operation without a rest field are ignored. Never allocates more than the payload can
// hold: a list's count reserves at most one slot per remaining byte.
Result<DecodedWalRecord, std::string_view> decode_wal_payload(BytesView payload);

}  // namespace vellum::persist
