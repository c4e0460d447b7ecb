#pragma once
// UTF-8 exactly as Python's codec reads it: a sequence is well-formed only in its
// shortest form, never encodes a surrogate (U+D800..U+DFFF) and never exceeds U+10FFFF.
// Where a sequence is ill-formed, the unit of replacement is its maximal subpart (the
// longest prefix of some well-formed sequence, at least one byte), so one U+FFFD stands
// where bytes.decode('utf-8', 'replace') puts one. Pure and thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/bytes.h"

namespace vellum::utf8 {

inline constexpr uint32_t kReplacement = 0xFFFD;

// What one step of decoding reads at an offset: a well-formed sequence of `length` bytes
// encoding `code_point`, or an ill-formed maximal subpart of `length` bytes (at least 1)
// with `code_point` U+FFFD. Python's UnicodeDecodeError for the first ill-formed one spans
// exactly [offset, offset + length).
struct Sequence {
  uint32_t code_point;
  size_t length;
  bool valid;
};

// The sequence starting at bytes[at]. REQUIRES: at < bytes.size().
Sequence decode_at(BytesView bytes, size_t at);

// True when `bytes` is well-formed UTF-8 throughout (the empty string is).
bool is_valid(BytesView bytes);

// `bytes` as well-formed UTF-8: well-formed sequences are kept as they are and each
// ill-formed maximal subpart becomes one U+FFFD.
std::string lossy(BytesView bytes);

// Appends the UTF-8 encoding of `code_point`. A value that is not a Unicode scalar value
// (a surrogate, or above U+10FFFF) is written as U+FFFD, so the output stays well-formed.
void append(std::string& out, uint32_t code_point);

}  // namespace vellum::utf8
