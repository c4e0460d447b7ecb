#pragma once
// RwLock: a 12-byte reader-writer lock for the store's shards. Uncontended, taking and
// releasing it is one atomic read-modify-write each (a pthread rwlock costs several); a
// thread that cannot get it spins briefly and then sleeps on a futex, so oversubscribed
// threads (one per server connection) do not burn the cores while a holder is preempted.
//
// Writers are preferred: a waiting writer sets a pending bit that keeps new readers out,
// so a steady stream of readers cannot starve writes. Meets the standard Lockable and
// SharedLockable requirements, so std::unique_lock and std::shared_lock work with it.

#include <atomic>
#include <cstdint>

namespace vellum {

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    if ((s & kBlocksReaders) == 0 &&
        state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    lock_shared_slow();
  }
  void unlock_shared() {
    state_.fetch_sub(1, std::memory_order_seq_cst);
    wake_if_sleepers();
  }
  void lock() {
    uint32_t s = 0;
    if (state_.compare_exchange_weak(s, kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
    lock_slow();
  }
  void unlock() {
    state_.fetch_and(~kWriter, std::memory_order_seq_cst);
    wake_if_sleepers();
  }
  bool try_lock() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    return (s & ~kPending) == 0 &&
           state_.compare_exchange_strong(s, kWriter, std::memory_order_acquire, std::memory_order_relaxed);
  }
  bool try_lock_shared() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    return (s & kBlocksReaders) == 0 &&
           state_.compare_exchange_strong(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed);
  }

 private:
  static constexpr uint32_t kWriter = 1u << 31;   // a writer holds the lock
  static constexpr uint32_t kPending = 1u << 30;  // a writer is waiting: readers stay out
  static constexpr uint32_t kBlocksReaders = kWriter | kPending;
  // The low 30 bits count the readers holding the lock.

  void lock_shared_slow();
  void lock_slow();
  // Sleeps until some holder releases the lock, unless `ready` already holds.
  template <class Ready>
  void wait(Ready ready);
  void wake_if_sleepers() {
    if (sleepers_.load(std::memory_order_seq_cst) != 0) wake_all();
  }
  void wake_all();

  std::atomic<uint32_t> state_{0};
  std::atomic<uint32_t> epoch_{0};     // futex word: bumped by every release with sleepers
  std::atomic<uint32_t> sleepers_{0};  // threads asleep (or about to sleep) on epoch_
};

}  // namespace vellum
