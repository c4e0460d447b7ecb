#pragma once
// Byte strings: keys, string values, hash fields and values, list items and set members.
// `Bytes` is an owned copy; `BytesView` borrows bytes that must stay live for the call.
// No text encoding is assumed anywhere: keys compare byte for byte.

#include <cstdint>
#include <string>
#include <string_view>

namespace vellum {

using Bytes = std::string;
using BytesView = std::string_view;

// The unit of every memory charge: n rounded up to a multiple of 16, align16(0) == 0.
inline constexpr uint64_t align16(uint64_t n) { return (n + 15) & ~uint64_t{15}; }

}  // namespace vellum
