#pragma once
// The snapshot file format, shared by the writer and the loader. S is the file size.
//
//   0      8  magic "KVSNAP01"
//   8      4  u32 version, 1
//   12     8  u64 wal_seq: the first log segment this snapshot does not cover
//   20     .  records, one per live key:
//               u8 type, key bytes, u64 expires_at_ms (0 = none), then by type
//               1 string  value bytes
//               2 list    varint count, items as bytes, head first
//               3 hash    varint count, then field bytes and value bytes per pair
//               4 set     varint count, members as bytes
//   S-13   1  end marker 0xFF
//   S-12   8  u64 record count
//   S-4    4  u32 CRC-32 of bytes 0 .. S-5
// Integers are little-endian; varint and bytes are those of the codec.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellum::persist {

inline constexpr std::string_view kSnapshotMagic = "KVSNAP01";
inline constexpr uint32_t kSnapshotVersion = 1;
inline constexpr uint8_t kSnapshotEnd = 0xFF;
inline constexpr uint8_t kSnapshotString = 1;
inline constexpr uint8_t kSnapshotList = 2;
inline constexpr uint8_t kSnapshotHash = 3;
inline constexpr uint8_t kSnapshotSet = 4;
// A collection's type byte is its ValueKind plus this.
inline constexpr uint8_t kSnapshotKindOffset = 2;
// Header, end marker, record count and checksum: the size of an empty key space.
inline constexpr uint64_t kSnapshotMinSize = 33;

inline constexpr std::string_view kSnapshotFile = "snapshot.kvs";
inline constexpr std::string_view kSnapshotTmpFile = "snapshot.tmp";

inline constexpr size_t kSnapshotWriteBuffer = 64 * 1024;
inline constexpr size_t kSnapshotChecksumChunk = 64 * 1024;
inline constexpr size_t kSnapshotReadBuffer = 8 * 1024;

}  // namespace vellum::persist
