#pragma once
// Clock: the store's source of "now" in milliseconds since the Unix epoch. The store holds
// one shared Clock; tests inject a fake one to control expiry. Implementations must be
// safe to call from any thread.

#include <cstdint>
#include <memory>

namespace vellum {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t now_ms() const = 0;
};

// Reads the precise wall clock; 0 for a reading before 1970.
class SystemClock final : public Clock {
 public:
  uint64_t now_ms() const override;
};

std::shared_ptr<const Clock> system_clock();

}  // namespace vellum
