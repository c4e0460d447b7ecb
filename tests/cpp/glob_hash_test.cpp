// The glob matcher (documented corner cases and a brute-force cross-check against a
// plainly recursive matcher) and the key hash's block rules for every length class.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>

#include "core/hash.h"
#include "core/store.h"

namespace vellum {
namespace {

struct GlobCase {
  const char* pattern;
  const char* key;
  bool match;
};

class Glob : public ::testing::TestWithParam<GlobCase> {};

TEST_P(Glob, Matches) {
  const auto& c = GetParam();
  EXPECT_EQ(glob_match(c.pattern, c.key), c.match) << c.pattern << " vs " << c.key;
}

INSTANTIATE_TEST_SUITE_P(
    Corners, Glob,
    ::testing::Values(GlobCase{"h[^e]llo", "hallo", true}, GlobCase{"h[^e]llo", "hello", false},
                      GlobCase{"a[", "a[", true}, GlobCase{"a[", "a", false}, GlobCase{"*", "", true},
                      GlobCase{"**a**", "bab", true}, GlobCase{"?", "", false}, GlobCase{"?", "x", true},
                      GlobCase{"[]", "]", false}, GlobCase{"[]", "", false}, GlobCase{"[^]", "q", true},
                      GlobCase{"[z-a]", "m", true}, GlobCase{"[a-]", "-", true}, GlobCase{"[a-]", "b", false},
                      GlobCase{"[\\]]", "]", true}, GlobCase{"\\*", "*", true}, GlobCase{"\\*", "a", false},
                      GlobCase{"ab\\", "ab\\", true}, GlobCase{"a*b*c", "axxbyyc", true},
                      GlobCase{"a*b*c", "axxbyy", false}, GlobCase{"*.txt", "a.txt.txt", true},
                      GlobCase{"[a-c][^0-9]", "b!", true}, GlobCase{"[a-c][^0-9]", "b5", false}));

// The same semantics by plain recursion over every split, for cross-checking.
bool reference_match(const std::string& p, size_t pi, const std::string& k, size_t ki) {
  if (pi == p.size()) return ki == k.size();
  if (p[pi] == '*') {
    for (size_t j = ki; j <= k.size(); ++j)
      if (reference_match(p, pi + 1, k, j)) return true;
    return false;
  }
  if (ki == k.size()) return false;
  const unsigned char c = static_cast<unsigned char>(k[ki]);
  if (p[pi] == '?') return reference_match(p, pi + 1, k, ki + 1);
  if (p[pi] == '\\') {
    if (pi + 1 == p.size()) return c == '\\' && reference_match(p, pi + 1, k, ki + 1);
    return static_cast<unsigned char>(p[pi + 1]) == c && reference_match(p, pi + 2, k, ki + 1);
  }
  if (p[pi] == '[') {
    size_t q = pi + 1;
    bool neg = q < p.size() && p[q] == '^';
    if (neg) ++q;
    size_t close = std::string::npos;
    for (size_t i = q; i < p.size(); ++i) {
      if (p[i] == '\\') {
        ++i;
        continue;
      }
      if (p[i] == ']') {
        close = i;
        break;
      }
    }
    if (close == std::string::npos) return c == '[' && reference_match(p, pi + 1, k, ki + 1);
    std::vector<unsigned char> bytes;
    for (size_t i = q; i < close; ++i) {
      if (p[i] == '\\' && i + 1 < close) ++i;
      bytes.push_back(static_cast<unsigned char>(p[i]));
    }
    // Re-scan with ranges: element, '-', element where the '-' is not last.
    bool in = false;
    for (size_t i = q; i < close;) {
      unsigned char lo = static_cast<unsigned char>(p[i]);
      if (lo == '\\' && i + 1 < close) lo = static_cast<unsigned char>(p[++i]);
      ++i;
      if (i < close && p[i] == '-' && i + 1 < close) {
        unsigned char hi = static_cast<unsigned char>(p[i + 1]);
        i += 1;
        if (hi == '\\' && i + 1 < close) hi = static_cast<unsigned char>(p[++i]);
        ++i;
        if (std::min(lo, hi) <= c && c <= std::max(lo, hi)) in = true;
      } else if (lo == c) {
        in = true;
      }
    }
    return (in != neg) && reference_match(p, close + 1, k, ki + 1);
  }
  return static_cast<unsigned char>(p[pi]) == c && reference_match(p, pi + 1, k, ki + 1);
}

TEST(GlobCrossCheck, AgreesWithRecursiveMatcherOnRandomInputs) {
  std::mt19937 rng(12345);
  const char alphabet[] = {'a', 'b', '*', '?', '[', ']', '^', '-', '\\'};
  const char key_alphabet[] = {'a', 'b', '[', ']', '-', '\\', '*'};
  for (int i = 0; i < 200000; ++i) {
    std::string p, k;
    for (size_t n = rng() % 8; n > 0; --n) p += alphabet[rng() % sizeof alphabet];
    for (size_t n = rng() % 7; n > 0; --n) k += key_alphabet[rng() % sizeof key_alphabet];
    ASSERT_EQ(glob_match(p, k), reference_match(p, 0, k, 0)) << "pattern " << p << " key " << k;
  }
}

// The key hash written out from its description, reading little-endian numbers byte by
// byte, to pin the block rules of each length class.
uint64_t le(const std::string& s, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
  return v;
}
uint64_t fold_ref(uint64_t a, uint64_t b) {
  __extension__ using u128 = unsigned __int128;
  const u128 p = static_cast<u128>(a) * b;
  return static_cast<uint64_t>(p >> 64) ^ static_cast<uint64_t>(p);
}
uint64_t reference_hash(const std::string& s) {
  const auto& k = kKeyHashKeys;
  const uint64_t m = 6364136223846793005ULL;
  uint64_t buffer = k[1];
  const uint64_t pad = k[0];
  const uint64_t len = s.size();
  buffer = fold_ref(buffer ^ len, m);
  buffer = (buffer + len) * m;
  std::vector<std::pair<uint64_t, uint64_t>> blocks;
  if (len == 0) {
    blocks.push_back({0, 0});
  } else if (len == 1) {
    blocks.push_back({le(s, 0, 1), le(s, 0, 1)});
  } else if (len < 4) {
    blocks.push_back({le(s, 0, 2), le(s, len - 1, 1)});
  } else if (len <= 8) {
    blocks.push_back({le(s, 0, 4), le(s, len - 4, 4)});
  } else if (len <= 16) {
    blocks.push_back({le(s, 0, 8), le(s, len - 8, 8)});
  } else {
    blocks.push_back({le(s, len - 16, 8), le(s, len - 8, 8)});
    for (size_t at = 0; len - at > 16; at += 16) blocks.push_back({le(s, at, 8), le(s, at + 8, 8)});
  }
  for (auto [a, b] : blocks) buffer = std::rotl((buffer + pad) ^ fold_ref(a ^ k[2], b ^ k[3]), 23);
  return std::rotl(fold_ref(buffer, pad), static_cast<int>(buffer & 63));
}

TEST(KeyHash, BlockRulesPerLengthClass) {
  std::string base;
  for (int i = 0; i < 80; ++i) base += static_cast<char>(i * 37 + 11);
  for (size_t len : {0, 1, 2, 3, 4, 5, 8, 9, 15, 16, 17, 31, 32, 33, 48, 49, 80}) {
    const std::string key = base.substr(0, len);
    EXPECT_EQ(key_hash(key), reference_hash(key)) << "length " << len;
  }
  EXPECT_NE(key_hash("a"), key_hash("b"));
  EXPECT_NE(key_hash(std::string(1, '\0')), key_hash(""));
}

}  // namespace
}  // namespace vellum
