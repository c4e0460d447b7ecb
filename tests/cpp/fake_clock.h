#pragma once
// A settable clock for tests that control expiry.

#include <atomic>
#include <memory>

#include "core/clock.h"

namespace vellum::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint64_t start = 1'000'000) : now_(start) {}
  uint64_t now_ms() const override { return now_.load(); }
  void set(uint64_t t) { now_.store(t); }
  void advance(uint64_t d) { now_.fetch_add(d); }

 private:
  std::atomic<uint64_t> now_;
};

inline std::shared_ptr<FakeClock> make_fake_clock(uint64_t start = 1'000'000) {
  return std::make_shared<FakeClock>(start);
}

}  // namespace vellum::testing
