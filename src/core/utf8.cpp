#include "core/utf8.h"

namespace vellum::utf8 {

Sequence decode_at(BytesView bytes, size_t at) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[at + k]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return {b0, 1, true};
  size_t length = 0;
  uint32_t cp = 0;
  // The range the second byte must fall in. Narrowing it for these four lead bytes is
  // what rules out overlong forms, surrogates and values above U+10FFFF, and it makes the
  // first byte that can no longer complete a sequence end the maximal subpart.
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {kReplacement, 1, false};  // C0, C1 and F5..FF never start one; 80..BF continue
  }
  for (size_t k = 1; k < length; ++k) {
    if (at + k >= bytes.size() || byte(k) < lo || byte(k) > hi) return {kReplacement, k, false};
    cp = (cp << 6) | (byte(k) & 0x3Fu);
    lo = 0x80, hi = 0xBF;
  }
  return {cp, length, true};
}

bool is_valid(BytesView bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const Sequence seq = decode_at(bytes, i);
    if (!seq.valid) return false;
    i += seq.length;
  }
  return true;
}

std::string lossy(BytesView bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const Sequence seq = decode_at(bytes, i);
    if (seq.valid) {
      out.append(bytes.substr(i, seq.length));
    } else {
      append(out, kReplacement);
    }
    i += seq.length;
  }
  return out;
}

void append(std::string& out, uint32_t code_point) {
  const bool scalar = code_point <= 0x10FFFF && !(code_point >= 0xD800 && code_point <= 0xDFFF);
  const uint32_t cp = scalar ? code_point : kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace vellum::utf8
