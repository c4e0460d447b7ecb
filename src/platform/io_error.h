#pragma once
// IoError: the error value of every operation that reaches the operating system or parses
// a file. It carries a kind, so callers can decide what failed, and a text. An OS error's
// text is the system's message followed by " (os error N)".

#include <string>

#include "platform/result.h"

namespace vellum {

enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  WouldBlock,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  BrokenPipe,
  Interrupted,
  Other,
};

struct IoError {
  IoErrorKind kind = IoErrorKind::Other;
  std::string text;
  int os_code = 0;  // errno for OS errors, 0 otherwise

  // The error of a failed system call, from its errno value.
  static IoError from_errno(int err);
  static IoError make(IoErrorKind kind, std::string text) { return IoError{kind, std::move(text), 0}; }
  static IoError invalid_data(std::string text) { return make(IoErrorKind::InvalidData, std::move(text)); }
  static IoError invalid_input(std::string text) { return make(IoErrorKind::InvalidInput, std::move(text)); }
  static IoError unexpected_eof() { return make(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"); }
};

template <class T>
using IoResult = Result<T, IoError>;

inline Err<IoError> io_err(IoError e) { return Err<IoError>{std::move(e)}; }

}  // namespace vellum
