// SCAN: a full iteration returns every key present throughout it, while tables grow,
// shrink and are written between (and during) its calls; each call stays bounded.

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/store.h"

namespace vellum {
namespace {

std::shared_ptr<Store> make(uint64_t shards) {
  StoreConfig c;
  c.shards = shards;
  c.sweep_interval_ms = 0;
  return Store::create(c);
}

void put(Store& s, const std::string& k) { ASSERT_TRUE(s.set(k, "v", std::nullopt, false, false).ok()); }

TEST(Scan, ReturnsEveryStableKeyAcrossGrowthAndShrink) {
  for (uint64_t shards : {1, 4}) {
    auto s = make(shards);
    std::set<std::string> stable;
    for (int i = 0; i < 300; ++i) {
      stable.insert("stable" + std::to_string(i));
      put(*s, "stable" + std::to_string(i));
    }
    std::set<std::string> seen;
    uint64_t cursor = 0;
    int call = 0;
    do {
      auto page = s->scan(cursor, 5, std::nullopt, "");
      EXPECT_LE(page.keys.size(), 64u) << "one call stays bounded";
      seen.insert(page.keys.begin(), page.keys.end());
      cursor = page.cursor;
      // Alternate growth (thousands of inserts) and shrink (removing them again).
      if (call % 20 == 5) {
        for (int i = 0; i < 3000; ++i) put(*s, "churn" + std::to_string(i));
      } else if (call % 20 == 15) {
        std::vector<Bytes> doomed;
        for (int i = 0; i < 3000; ++i) doomed.push_back("churn" + std::to_string(i));
        ASSERT_TRUE(s->del(doomed).ok());
      }
      ++call;
    } while (cursor != 0 && call < 100000);
    EXPECT_EQ(cursor, 0u);
    for (const std::string& k : stable) EXPECT_TRUE(seen.count(k)) << k << " with " << shards << " shards";
    EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  }
}

TEST(Scan, ConcurrentWritersNeverHideAStableKey) {
  auto s = make(8);
  std::set<std::string> stable;
  for (int i = 0; i < 2000; ++i) {
    stable.insert("s" + std::to_string(i));
    put(*s, "s" + std::to_string(i));
  }
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    uint64_t n = 0;
    while (!stop.load()) {
      const int round = static_cast<int>(n++ % 4000);
      const std::string k = "c" + std::to_string(round);
      if ((n / 4000) % 2 == 0) {
        (void)s->set(k, "v", std::nullopt, false, false);
      } else {
        (void)s->del(std::vector<Bytes>{k});
      }
    }
  });
  for (int pass = 0; pass < 20; ++pass) {
    std::set<std::string> seen;
    uint64_t cursor = 0;
    do {
      auto page = s->scan(cursor, 1 + static_cast<uint64_t>(pass % 7) * 5, std::nullopt, "");
      seen.insert(page.keys.begin(), page.keys.end());
      cursor = page.cursor;
    } while (cursor != 0);
    for (const std::string& k : stable) ASSERT_TRUE(seen.count(k)) << k << " in pass " << pass;
  }
  stop = true;
  writer.join();
}

TEST(Scan, FiltersByPatternAndType) {
  auto s = make(4);
  put(*s, "user:1");
  put(*s, "user:2");
  put(*s, "other");
  ASSERT_TRUE(s->sadd("user:set", std::vector<Bytes>{"m"}).ok());
  std::set<std::string> users, sets;
  for (uint64_t c = 0;;) {
    auto page = s->scan(c, 100, BytesView("user:*"), "");
    users.insert(page.keys.begin(), page.keys.end());
    if ((c = page.cursor) == 0) break;
  }
  for (uint64_t c = 0;;) {
    auto page = s->scan(c, 100, std::nullopt, "set");
    sets.insert(page.keys.begin(), page.keys.end());
    if ((c = page.cursor) == 0) break;
  }
  EXPECT_EQ(users, (std::set<std::string>{"user:1", "user:2", "user:set"}));
  EXPECT_EQ(sets, (std::set<std::string>{"user:set"}));
  EXPECT_EQ(s->scan(uint64_t{1} << 40, 10, std::nullopt, "").cursor, 0u) << "a cursor past the shards ends";
}

}  // namespace
}  // namespace vellum
