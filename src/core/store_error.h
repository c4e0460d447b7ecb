#pragma once
// StoreError: the error values of store operations, with their fixed texts. The Python
// layer raises them unchanged (TypeError, MemoryError, ValueError, OSError); the server
// sends them as error replies, adding "ERR " where the text carries no upper-case code.
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
  // A hash field's value or an increment that is not a finite double, or a result that
  // would not be one.
  NotAFloat = 5,
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
    case StoreError::NotAFloat:
      return "value is not a valid float";
    case StoreError::KeyTooLong:
      return "key longer than 4 GiB";
  }
  return "unknown store error";
}

template <class T>
using StoreResult = Result<T, StoreError>;

inline Err<StoreError> store_err(StoreError e) { return Err<StoreError>{e}; }

}  // namespace vellum
