// The shard lock: mutual exclusion of writers, shared readers, and no lost wake-up when
// more threads than cores contend (they sleep on the futex after spinning).

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "platform/rwlock.h"

namespace vellum {
namespace {

TEST(RwLock, TryLockRespectsHolders) {
  RwLock l;
  ASSERT_TRUE(l.try_lock());
  EXPECT_FALSE(l.try_lock());
  EXPECT_FALSE(l.try_lock_shared());
  l.unlock();
  ASSERT_TRUE(l.try_lock_shared());
  ASSERT_TRUE(l.try_lock_shared());
  EXPECT_FALSE(l.try_lock());
  l.unlock_shared();
  l.unlock_shared();
  EXPECT_TRUE(l.try_lock());
  l.unlock();
}

TEST(RwLock, ReadersShareTheLock) {
  RwLock l;
  std::shared_lock a(l);
  // A second reader gets in while the first holds it (on another thread, so nothing
  // could be mistaken for re-entrancy).
  bool got = false;
  std::thread([&] { got = l.try_lock_shared(); if (got) l.unlock_shared(); }).join();
  EXPECT_TRUE(got);
}

// Writers keep two plain counters equal; readers must never see them differ. Run with
// far more threads than cores so holders are preempted and waiters sleep.
TEST(RwLock, OversubscribedMixKeepsInvariantAndFinishes) {
  RwLock l;
  uint64_t a = 0, b = 0;
  std::atomic<uint64_t> torn{0};
  constexpr int kThreads = 16, kIters = 20000;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < kIters; ++i) {
        if ((i + t) % 4 == 0) {
          std::unique_lock w(l);
          ++a;
          ++b;
        } else {
          std::shared_lock r(l);
          if (a != b) torn.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(a, static_cast<uint64_t>(kThreads) * kIters / 4);
  EXPECT_EQ(a, b);
}

TEST(RwLock, WaitingWriterIsNotStarvedByReaders) {
  RwLock l;
  std::atomic<bool> stop{false}, wrote{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) std::shared_lock r(l);
    });
  }
  std::thread writer([&] {
    std::unique_lock w(l);
    wrote = true;
  });
  for (int i = 0; i < 500 && !wrote.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  writer.join();
  for (auto& r : readers) r.join();
  EXPECT_TRUE(wrote.load());
}

}  // namespace
}  // namespace vellum
