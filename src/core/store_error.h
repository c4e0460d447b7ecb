#pragma once
// StoreError: the error values of store operations, with their fixed texts. The Python
// layer raises them as TypeError, MemoryError, ValueError and OSError, unchanged but for
// OutOfMemory, which it words for the Cache's own parameters; the server sends them as
// error replies, adding "ERR " where the text carries no upper-case code.
// PersistenceFailed is completed with its cause by Store::error_text.

#include <cstdint>
#include <string_view>

#include "platform/result.h"

namespace vellum {

enum class StoreError : uint8_t {
  WrongType = 0,
  OutOfMemory = 1,
  NotAnInteger = 2,
  Overflow = 3,
  // The log refused the mutation (fsync "always"); nothing changed.
  PersistenceFailed = 4,
  NotAFloat = 5,
  NotFinite = 6,
  NoSuchKey = 7,
  // A list position past either end (LSET).
  IndexOutOfRange = 8,
  // Not an error of the data: a string key of 2^32 bytes or more cannot be represented.
  // The call is abandoned before anything changes and surfaces as an internal failure.
  KeyTooLong = 255,
};

inline constexpr std::string_view store_error_text(StoreError e) {
  switch (e) {
    case StoreError::WrongType:
      return "WRONGTYPE Operation against a key holding the wrong kind of value";
    case StoreError::OutOfMemory:
      return "OOM command not allowed when used memory > 'maxmemory'";
    case StoreError::NotAnInteger:
      return "value is not an integer or out of range";
    case StoreError::Overflow:
      return "increment or decrement would overflow";
    case StoreError::PersistenceFailed:
      return "persistence failed";
    case StoreError::KeyTooLong:
      return "key longer than 4 GiB";
    case StoreError::NotAFloat:
      return "value is not a valid float";
    case StoreError::NotFinite:
      return "increment would produce NaN or Infinity";
    case StoreError::NoSuchKey:
      return "no such key";
    case StoreError::IndexOutOfRange:
      return "index out of range";
  }
  return "unknown store error";
}

template <class T>
using StoreResult = Result<T, StoreError>;

inline Err<StoreError> store_err(StoreError e) { return Err<StoreError>{e}; }

}  // namespace vellum
