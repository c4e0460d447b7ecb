#pragma once
// Processes of the OS: this process's id and a liveness test for another one.

#include <cstdint>

namespace vellum {

uint32_t current_pid();
// Whether a process with this id exists. A process we may not signal exists all the
// same, so permission errors count as alive; only "no such process" counts as gone.
// Ids that cannot name a single process (0, or above the largest pid_t) are not alive.
bool process_alive(uint32_t pid);

}  // namespace vellum
