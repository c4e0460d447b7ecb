// Fuzzes the glob matcher: any pattern against any key must terminate without reading
// out of bounds, and a pattern must always match itself once its metacharacters are
// escaped.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/glob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] % size;
  const std::string pattern(reinterpret_cast<const char*>(data) + 1, split > 0 ? split - 1 : 0);
  const std::string key(reinterpret_cast<const char*>(data) + split, size - split);
  (void)vellum::glob_match(pattern, key);
  std::string escaped;
  for (char c : key) {
    escaped += '\\';
    escaped += c;
  }
  if (!vellum::glob_match(escaped, key)) __builtin_trap();
  return 0;
}
