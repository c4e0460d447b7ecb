#pragma once
// Clocks of the OS: the precise wall clock (milliseconds since the Unix epoch, 0 for a
// reading before 1970) and a monotonic clock for measuring intervals.

#include <cstdint>

namespace vellum {

uint64_t wall_clock_ms();
uint64_t monotonic_ms();
uint64_t monotonic_ns();

}  // namespace vellum
