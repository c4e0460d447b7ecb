#include "core/hash.h"

#include <bit>
#include <cstring>

namespace vellum {

namespace {

constexpr uint64_t kMultiple = 6364136223846793005ULL;

inline uint64_t fold(uint64_t a, uint64_t b) {
  __extension__ using u128 = unsigned __int128;
  const u128 p = static_cast<u128>(a) * b;
  return static_cast<uint64_t>(p >> 64) ^ static_cast<uint64_t>(p);
}

inline uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only (x86-64, aarch64)
}
inline uint64_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t load16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

static_assert(std::endian::native == std::endian::little, "the hash reads little-endian words");

}  // namespace

uint64_t folded_hash(BytesView data, const HashKeys& keys) {
  uint64_t buffer = keys[1];
  const uint64_t pad = keys[0];
  const uint64_t len = data.size();
  auto update = [&](uint64_t a, uint64_t b) {
    const uint64_t combined = fold(a ^ keys[2], b ^ keys[3]);
    buffer = std::rotl((buffer + pad) ^ combined, 23);
  };

  buffer = fold(buffer ^ len, kMultiple);
  buffer = (buffer + len) * kMultiple;

  const char* p = data.data();
  if (len <= 8) {
    uint64_t a = 0, b = 0;
    if (len >= 4) {
      a = load32(p);
      b = load32(p + len - 4);
    } else if (len >= 2) {
      a = load16(p);
      b = static_cast<uint8_t>(p[len - 1]);
    } else if (len == 1) {
      a = b = static_cast<uint8_t>(p[0]);
    }
    update(a, b);
  } else if (len <= 16) {
    update(load64(p), load64(p + len - 8));
  } else {
    update(load64(p + len - 16), load64(p + len - 8));
    uint64_t rest = len;
    while (rest > 16) {
      update(load64(p), load64(p + 8));
      p += 16;
      rest -= 16;
    }
  }
  return std::rotl(fold(buffer, pad), static_cast<int>(buffer & 63));
}

uint64_t key_hash(BytesView key) { return folded_hash(key, kKeyHashKeys); }

}  // namespace vellum
