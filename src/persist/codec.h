#pragma once
// Integer and checksum encodings shared by the log and the snapshot formats.
//
//   CRC-32        IEEE 802.3 / zlib: reflected polynomial 0xEDB88320, initial value and
//                 final XOR 0xFFFFFFFF
//   varint        unsigned LEB128, at most 10 bytes; the tenth byte supplies only bit 63
//   fixed width   little-endian u32 / u64
//   bytes         varint length, then the raw bytes
//
// Decoding goes through a Cursor over bytes already in memory: it never reads past its
// end and reports a short field instead. All functions are pure and thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace vellum::persist {

inline constexpr size_t kMaxVarintLen = 10;

// A running CRC-32; value() may be read at any point.
class Crc32 {
 public:
  void update(const char* data, size_t n);
  void update(BytesView data) { update(data.data(), data.size()); }
  uint32_t value() const { return ~state_; }

 private:
  uint32_t state_ = 0xFFFFFFFFu;
};

uint32_t crc32(BytesView data);

void put_u8(std::string& out, uint8_t v);
void put_u32(std::string& out, uint32_t v);
void put_u64(std::string& out, uint64_t v);
void put_varint(std::string& out, uint64_t v);
// Varint length, then the bytes.
void put_bytes(std::string& out, BytesView v);

// REQUIRES: p points at 4 (8) readable bytes.
uint32_t load_u32(const char* p);
uint64_t load_u64(const char* p);
void store_u32(char* p, uint32_t v);

// Feeds a varint one byte at a time, for decoders that stream from a file.
class VarintDecoder {
 public:
  enum class Step { More, Done, Overflow };
  // Overflow when a tenth byte still has its continuation bit set.
  Step push(uint8_t byte);
  uint64_t value() const { return value_; }

 private:
  uint64_t value_ = 0;
  unsigned count_ = 0;
};

enum class DecodeStatus { Ok, Truncated, Overflow };

class Cursor {
 public:
  explicit Cursor(BytesView data) : p_(data.data()), end_(data.data() + data.size()) {}

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  bool get_u8(uint8_t& out);
  bool get_u32(uint32_t& out);
  bool get_u64(uint64_t& out);
  // Truncated when the input ends before the last byte; Overflow after 10 bytes.
  DecodeStatus get_varint(uint64_t& out);
  // A view of the next length-prefixed field; it borrows the cursor's input.
  DecodeStatus get_bytes(BytesView& out);
  // Everything left; the cursor is then at its end.
  BytesView rest();

 private:
  const char* p_;
  const char* end_;
};

}  // namespace vellum::persist
