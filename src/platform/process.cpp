#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace vellum {

uint32_t current_pid() { return static_cast<uint32_t>(::getpid()); }

bool process_alive(uint32_t pid) {
  // kill(0, ...) and negative ids address process groups, never one process.
  if (pid == 0 || pid > static_cast<uint32_t>(std::numeric_limits<pid_t>::max())) return false;
  if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
  return errno != ESRCH;
}

}  // namespace vellum
