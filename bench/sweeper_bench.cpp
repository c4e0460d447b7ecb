// Sweeper pass time over 1,000,000 keys of which 10% have expired, and the longest time a
// concurrent writer waited for one call meanwhile (the bound on a shard's hold time as a
// writer sees it). A writer on the same store with no sweep running is the baseline.

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "core/store.h"
#include "platform/clock.h"

using namespace vellum;

namespace {

struct WriterStats {
  uint64_t calls = 0;
  uint64_t max_ns = 0;
};

WriterStats run_writer(Store& s, const std::atomic<bool>& stop) {
  WriterStats w;
  uint64_t x = 88172645463325252ULL;
  const std::string value(100, 'w');
  while (!stop.load(std::memory_order_relaxed)) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const std::string key = "writer:" + std::to_string(x % 100000);
    const uint64_t t0 = monotonic_ns();
    (void)s.set(key, value, std::nullopt, false, false);
    const uint64_t dt = monotonic_ns() - t0;
    if (dt > w.max_ns) w.max_ns = dt;
    ++w.calls;
  }
  return w;
}

}  // namespace

int main() {
  StoreConfig c;
  c.shards = 64;
  c.sweep_interval_ms = 0;
  auto store = Store::create(c);
  const std::string value(100, 'v');
  for (int i = 0; i < 1000000; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "key:%012d", i);
    (void)store->set(key, value, i % 10 == 0 ? std::optional<uint64_t>(1) : std::nullopt, false, false);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));

  std::atomic<bool> stop{false};
  WriterStats baseline;
  {
    std::thread t([&] { baseline = run_writer(*store, stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    t.join();
  }

  stop = false;
  WriterStats during;
  uint64_t longest_pass_ns = 0, total_ns = 0;
  int passes = 0;
  std::thread t([&] { during = run_writer(*store, stop); });
  const uint64_t expired_before = store->counters().expired;
  while (passes < 200 && store->key_count() + (store->counters().expired - expired_before) < 1000000 + 100000) {
    const uint64_t t0 = monotonic_ns();
    store->sweep_pass(store->now_ms());
    const uint64_t dt = monotonic_ns() - t0;
    longest_pass_ns = dt > longest_pass_ns ? dt : longest_pass_ns;
    total_ns += dt;
    ++passes;
    if (store->counters().expired - expired_before >= 100000) break;
  }
  stop = true;
  t.join();
  std::printf("\n## Sweeper over 1,000,000 keys, 10%% expired\n");
  std::printf("passes to reclaim | reclaimed | longest pass | mean pass | writer max wait (sweeping) | writer max wait (idle) | ratio\n");
  std::printf("-|-|-|-|-|-|-\n");
  std::printf("%d | %llu | %.2f ms | %.2f ms | %.3f ms | %.3f ms | %.2fx\n", passes,
              static_cast<unsigned long long>(store->counters().expired - expired_before), longest_pass_ns / 1e6,
              passes ? total_ns / 1e6 / passes : 0.0, during.max_ns / 1e6, baseline.max_ns / 1e6,
              baseline.max_ns ? static_cast<double>(during.max_ns) / static_cast<double>(baseline.max_ns) : 0.0);
  return 0;
}
