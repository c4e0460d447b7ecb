// Whole-key glob matching with a single backtrack point: on a mismatch after a `*`, the
// most recent `*` absorbs one more byte and matching resumes right after it. This is
// linear in practice and never recurses, so a hostile pattern cannot blow the stack.

#include <cstddef>
#include <cstdint>

#include "core/glob.h"

namespace vellum {

namespace {

// Matches one byte `c` against the pattern element at `p`; sets `next` to the position
// after the element.
bool match_element(BytesView pat, size_t p, uint8_t c, size_t& next) {
  const size_t n = pat.size();
  const uint8_t pc = static_cast<uint8_t>(pat[p]);
  if (pc == '?') {
    next = p + 1;
    return true;
  }
  if (pc == '\\') {
    if (p + 1 < n) {
      next = p + 2;
      return static_cast<uint8_t>(pat[p + 1]) == c;
    }
    next = p + 1;  // a trailing backslash matches a backslash
    return c == '\\';
  }
  if (pc == '[') {
    // Find the closing bracket first; without one, `[` is a literal byte.
    size_t q = p + 1;
    const bool negate = q < n && pat[q] == '^';
    if (negate) ++q;
    const size_t body = q;
    size_t close = n;
    for (size_t i = body; i < n; ++i) {
      if (pat[i] == '\\') {
        ++i;
      } else if (pat[i] == ']') {
        close = i;
        break;
      }
    }
    if (close == n) {
      next = p + 1;
      return c == '[';
    }
    bool in = false;
    for (size_t i = body; i < close;) {
      uint8_t lo = static_cast<uint8_t>(pat[i]);
      if (lo == '\\' && i + 1 < close) {
        lo = static_cast<uint8_t>(pat[++i]);
      }
      ++i;
      if (i + 1 < close && pat[i] == '-') {
        size_t j = i + 1;
        uint8_t hi = static_cast<uint8_t>(pat[j]);
        if (hi == '\\' && j + 1 < close) hi = static_cast<uint8_t>(pat[++j]);
        i = j + 1;
        uint8_t a = lo, b = hi;
        if (a > b) {
          a = hi;
          b = lo;
        }
        if (c >= a && c <= b) in = true;
      } else if (lo == c) {
        in = true;
      }
    }
    next = close + 1;
    return in != negate;
  }
  next = p + 1;
  return pc == c;
}

}  // namespace

bool glob_match(BytesView pat, BytesView key) {
  size_t p = 0, k = 0;
  size_t star_p = SIZE_MAX, star_k = 0;
  const size_t n = pat.size();
  while (k < key.size()) {
    if (p < n && pat[p] == '*') {
      while (p < n && pat[p] == '*') ++p;
      star_p = p;
      star_k = k;
      continue;
    }
    if (p < n) {
      size_t next = p;
      if (match_element(pat, p, static_cast<uint8_t>(key[k]), next)) {
        p = next;
        ++k;
        continue;
      }
    }
    if (star_p == SIZE_MAX) return false;
    k = ++star_k;
    p = star_p;
  }
  while (p < n && pat[p] == '*') ++p;
  return p == n;
}

}  // namespace vellum
