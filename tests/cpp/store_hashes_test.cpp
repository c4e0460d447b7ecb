// Hash field writes that depend on the current value: results, errors that change
// nothing, and exact accounting when a value grows, shrinks or appears.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/store.h"
#include "fake_clock.h"

namespace vellum {
namespace {

std::shared_ptr<Store> make() {
  StoreConfig c;
  c.shards = 2;
  c.sweep_interval_ms = 0;
  return Store::create(c, testing::make_fake_clock(), false);
}

void expect_accounted(const Store& s) {
  EXPECT_EQ(s.used_memory(), s.audit_charge_sum());
  EXPECT_EQ(s.audit_empty_collections(), 0u);
}

TEST(HashFields, IncrementsParseStrictlyAndCharge) {
  auto s = make();
  EXPECT_EQ(s->hincrby("h", "n", 5).value(), 5);
  EXPECT_EQ(s->hincrby("h", "n", -1000000).value(), -999995);
  expect_accounted(*s);
  for (const char* bad : {"", " 1", "1 ", "+1", "1.0", "0x1", "99999999999999999999"}) {
    ASSERT_TRUE(s->hset("h", "b", bad).ok());
    const uint64_t used = s->used_memory();
    EXPECT_EQ(s->hincrby("h", "b", 1).error(), StoreError::NotAnInteger) << bad;
    EXPECT_EQ(s->used_memory(), used);
  }
  ASSERT_TRUE(s->hset("h", "max", std::to_string(INT64_MAX)).ok());
  EXPECT_EQ(s->hincrby("h", "max", 1).error(), StoreError::Overflow);
  EXPECT_EQ(s->hincrbyfloat("h", "f", 0.1).value(), "0.1");
  EXPECT_EQ(s->hincrbyfloat("h", "f", 0.2).value(), "0.30000000000000004");
  EXPECT_EQ(s->hincrbyfloat("h", "n", 0.5).value(), "-999994.5");
  ASSERT_TRUE(s->hset("h", "big", "1e308").ok());
  EXPECT_EQ(s->hincrbyfloat("h", "big", 1e308).error(), StoreError::NotAFloat);
  ASSERT_TRUE(s->hset("h", "nan", "nan").ok());
  EXPECT_EQ(s->hincrbyfloat("h", "nan", 1).error(), StoreError::NotAFloat);
  expect_accounted(*s);
}

TEST(HashFields, SetnxReadsAndWrongType) {
  auto s = make();
  EXPECT_TRUE(s->hsetnx("h", "a", "1").value());
  EXPECT_FALSE(s->hsetnx("h", "a", "2").value());
  EXPECT_EQ(s->hget("h", "a").value(), "1");
  EXPECT_TRUE(s->hexists("h", "a").value());
  EXPECT_EQ(s->hstrlen("h", "a").value(), 1u);
  auto got = s->hmget("h", std::vector<Bytes>{"a", "b"}).value();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "1");
  EXPECT_FALSE(got[1].has_value());
  EXPECT_EQ(s->hmget("none", std::vector<Bytes>{"a", "b"}).value().size(), 2u);
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->hsetnx("str", "a", "1").error(), StoreError::WrongType);
  EXPECT_EQ(s->hincrby("str", "a", 1).error(), StoreError::WrongType);
  EXPECT_EQ(s->hkeys("str").error(), StoreError::WrongType);
  expect_accounted(*s);
}

// HSCAN: pages of fields and values (or fields alone), and a full iteration while the hash
// grows and loses fields returns every field present throughout, with its value, once.
TEST(HashScan, PagesValuesAndConcurrentWrites) {
  auto s = make();
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(s->hset("h", "f" + std::to_string(i), "v" + std::to_string(i)).ok());
  auto small = s->hscan("h", 0, 3000, BytesView("f1?"), false).value();
  EXPECT_EQ(small.cursor, 0u);
  std::map<Bytes, Bytes> got;
  for (size_t i = 0; i + 1 < small.items.size(); i += 2) got[small.items[i]] = small.items[i + 1];
  EXPECT_EQ(got.size(), 10u);
  EXPECT_EQ(got["f17"], "v17");
  auto fields = s->hscan("h", 0, 3000, BytesView("f1?"), true).value();
  EXPECT_EQ(fields.items.size(), 10u);
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->hscan("str", 0, 10, std::nullopt, false).error(), StoreError::WrongType);
  EXPECT_TRUE(s->hscan("none", 0, 10, std::nullopt, false).value().items.empty());

  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint64_t i = 0; !done.load(); ++i) {
      (void)s->hset("h", "n" + std::to_string(i), "x");
      if (i % 2 == 0) (void)s->hdel("h", std::vector<Bytes>{"n" + std::to_string(i / 2)});
    }
  });
  for (bool no_values : {false, true, false}) {
    std::map<Bytes, int> seen;
    uint64_t cursor = 0;
    do {
      auto page = s->hscan("h", cursor, 10, std::nullopt, no_values).value();
      const size_t step = no_values ? 1 : 2;
      for (size_t i = 0; i < page.items.size(); i += step) {
        const Bytes& f = page.items[i];
        ++seen[f];
        if (!no_values && f[0] == 'f') {
          EXPECT_EQ(page.items[i + 1], "v" + f.substr(1));
        }
      }
      cursor = page.cursor;
    } while (cursor != 0);
    for (int i = 0; i < 2000; ++i) EXPECT_EQ(seen["f" + std::to_string(i)], 1) << i;
  }
  done = true;
  writer.join();
  expect_accounted(*s);
}

}  // namespace
}  // namespace vellum
