#include "persist/codec.h"

#include <array>

namespace vellum::persist {

namespace {

// Slicing-by-8: table 0 is the classic byte-at-a-time table, and table k holds the CRC of
// byte i followed by k zero bytes. Eight input bytes then fold into the state with eight
// independent lookups instead of a chain of eight dependent ones, which is what makes a
// snapshot's checksum cost a fraction of writing it.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr CrcTables kCrc = make_crc_tables();

// Little-endian by assembly, so the result does not depend on the host's byte order.
uint32_t load_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void Crc32::update(const char* data, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  uint32_t c = state_;
  for (; n >= 8; p += 8, n -= 8) {
    const uint32_t lo = c ^ load_le32(p);
    const uint32_t hi = load_le32(p + 4);
    c = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
        kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
  }
  for (; n > 0; ++p, --n) c = kCrc[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  state_ = c;
}

uint32_t crc32(BytesView data) {
  Crc32 c;
  c.update(data);
  return c.value();
}

void put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

void put_u32(std::string& out, uint32_t v) {
  char b[4];
  store_u32(b, v);
  out.append(b, 4);
}

void put_u64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put_varint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

void put_bytes(std::string& out, BytesView v) {
  put_varint(out, v.size());
  out.append(v);
}

uint32_t load_u32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

uint64_t load_u64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

void store_u32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

VarintDecoder::Step VarintDecoder::push(uint8_t byte) {
  if (count_ == kMaxVarintLen - 1) {
    // The tenth group lands at bit 63, so only its lowest bit fits in 64 bits.
    if (byte & 0x80) return Step::Overflow;
    value_ |= static_cast<uint64_t>(byte & 1) << 63;
    ++count_;
    return Step::Done;
  }
  value_ |= static_cast<uint64_t>(byte & 0x7F) << (7 * count_);
  ++count_;
  return (byte & 0x80) ? Step::More : Step::Done;
}

bool Cursor::get_u8(uint8_t& out) {
  if (remaining() < 1) return false;
  out = static_cast<uint8_t>(*p_++);
  return true;
}

bool Cursor::get_u32(uint32_t& out) {
  if (remaining() < 4) return false;
  out = load_u32(p_);
  p_ += 4;
  return true;
}

bool Cursor::get_u64(uint64_t& out) {
  if (remaining() < 8) return false;
  out = load_u64(p_);
  p_ += 8;
  return true;
}

DecodeStatus Cursor::get_varint(uint64_t& out) {
  VarintDecoder d;
  while (p_ < end_) {
    switch (d.push(static_cast<uint8_t>(*p_++))) {
      case VarintDecoder::Step::More:
        break;
      case VarintDecoder::Step::Done:
        out = d.value();
        return DecodeStatus::Ok;
      case VarintDecoder::Step::Overflow:
        return DecodeStatus::Overflow;
    }
  }
  return DecodeStatus::Truncated;
}

DecodeStatus Cursor::get_bytes(BytesView& out) {
  uint64_t len = 0;
  DecodeStatus st = get_varint(len);
  if (st != DecodeStatus::Ok) return st;
  if (len > remaining()) return DecodeStatus::Truncated;
  out = BytesView(p_, static_cast<size_t>(len));
  p_ += len;
  return DecodeStatus::Ok;
}

BytesView Cursor::rest() {
  BytesView out(p_, remaining());
  p_ = end_;
  return out;
}

}  // namespace vellum::persist
