#include "platform/io_error.h"

#include <cerrno>
#include <cstring>

namespace vellum {

namespace {

IoErrorKind kind_of(int err) {
  switch (err) {
    case ENOENT:
      return IoErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return IoErrorKind::PermissionDenied;
    case EEXIST:
      return IoErrorKind::AlreadyExists;
    case EAGAIN:
      return IoErrorKind::WouldBlock;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    case EPIPE:
      return IoErrorKind::BrokenPipe;
    case EINTR:
      return IoErrorKind::Interrupted;
    default:
      return IoErrorKind::Other;
  }
}

}  // namespace

IoError IoError::from_errno(int err) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be buf.
  const char* msg = strerror_r(err, buf, sizeof buf);
  return IoError{kind_of(err), std::string(msg) + " (os error " + std::to_string(err) + ")", err};
}

}  // namespace vellum
