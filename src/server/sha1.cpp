#include "server/sha1.h"

#include <array>
#include <cstdint>

namespace vellum::server {

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void compress(std::array<uint32_t, 5>& h, const unsigned char* block) {
  std::array<uint32_t, 80> w{};
  for (size_t i = 0; i < 16; ++i) {
    w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) | (uint32_t{block[4 * i + 2]} << 8) |
           uint32_t{block[4 * i + 3]};
  }
  for (size_t i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (size_t i = 0; i < 80; ++i) {
    uint32_t f = 0, k = 0;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = t;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

std::string sha1_hex(BytesView data) {
  std::array<uint32_t, 5> h = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const size_t n = data.size();
  size_t i = 0;
  for (; i + 64 <= n; i += 64) compress(h, p + i);
  // The tail, the 0x80 marker and the bit length, in one or two final blocks.
  std::array<unsigned char, 128> tail{};
  const size_t rest = n - i;
  for (size_t j = 0; j < rest; ++j) tail[j] = p[i + j];
  tail[rest] = 0x80;
  const size_t blocks = rest + 9 <= 64 ? 1 : 2;
  const uint64_t bits = static_cast<uint64_t>(n) * 8;
  for (size_t j = 0; j < 8; ++j) tail[blocks * 64 - 1 - j] = static_cast<unsigned char>(bits >> (8 * j));
  for (size_t b = 0; b < blocks; ++b) compress(h, tail.data() + 64 * b);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(40);
  for (uint32_t word : h) {
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(word >> shift) & 0xF]);
  }
  return out;
}

}  // namespace vellum::server
