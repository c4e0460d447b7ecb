#include "core/clock.h"

#include "platform/clock.h"

namespace vellum {

uint64_t SystemClock::now_ms() const { return wall_clock_ms(); }

std::shared_ptr<const Clock> system_clock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace vellum
