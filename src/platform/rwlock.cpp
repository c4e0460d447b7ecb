#include "platform/rwlock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace vellum {

namespace {

constexpr int kSpins = 64;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

void futex_wait(std::atomic<uint32_t>& word, uint32_t expected) {
  // Returns at once when the word no longer holds `expected`; spurious wake-ups are fine,
  // every caller re-checks its condition.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

template <class Ready>
void RwLock::wait(Ready ready) {
  const uint32_t epoch = epoch_.load(std::memory_order_acquire);
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  // Checked after announcing ourselves: a release either happened before this load (and
  // we see its effect) or sees our count and bumps the epoch, which the futex notices.
  if (!ready(state_.load(std::memory_order_seq_cst))) futex_wait(epoch_, epoch);
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

void RwLock::wake_all() {
  epoch_.fetch_add(1, std::memory_order_release);
  futex_wake_all(epoch_);
}

void RwLock::lock_shared_slow() {
  for (int spin = 0;; ++spin) {
    uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & kBlocksReaders) == 0) {
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
      continue;
    }
    if (spin < kSpins) {
      cpu_relax();
    } else {
      wait([](uint32_t st) { return (st & kBlocksReaders) == 0; });
    }
  }
}

void RwLock::lock_slow() {
  for (int spin = 0;; ++spin) {
    uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & ~kPending) == 0) {
      // Free (perhaps with our own or another writer's pending mark): take it, clearing
      // the mark; a writer still waiting sets it again on its next look.
      if (state_.compare_exchange_weak(s, kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
      continue;
    }
    if ((s & kPending) == 0) {
      state_.compare_exchange_weak(s, s | kPending, std::memory_order_relaxed, std::memory_order_relaxed);
      continue;
    }
    if (spin < kSpins) {
      cpu_relax();
    } else {
      wait([](uint32_t st) { return (st & ~kPending) == 0; });
    }
  }
}

}  // namespace vellum
