// The shard table's capacity model and the store's accounting invariant, checked against
// an independent computation of the documented formulas over long random sequences.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "core/store.h"
#include "core/table.h"

namespace vellum {
namespace {

// Capacity model computed from the rules alone, with no knowledge of the table.
struct CapacityModel {
  uint64_t buckets = 0;
  uint64_t size = 0;
  static uint64_t cap(uint64_t b) { return b == 0 ? 0 : (b == 4 ? 3 : b / 8 * 7); }
  void insert() {
    if (size == cap(buckets)) buckets = buckets == 0 ? 4 : buckets * 2;
    ++size;
  }
  void remove() {
    --size;
    if (size == 0) {
      buckets = 0;
    } else if (cap(buckets) > 255 && size * 4 < cap(buckets)) {
      uint64_t b = 4;
      while (cap(b) < size) b *= 2;
      if (b < buckets) buckets = b;
    }
  }
  uint64_t charge() const {
    const uint64_t c = cap(buckets);
    if (c == 0) return 0;
    if (c <= 3) return 192;
    return (328 * (c / 7) + 16 + 15) / 16 * 16;
  }
};

TEST(TableCharge, DocumentedPoints) {
  EXPECT_EQ(table_charge(0), 0u);
  EXPECT_EQ(table_charge(3), 192u);
  EXPECT_EQ(table_charge(4), 16u);
  EXPECT_EQ(table_charge(6), 16u);
  EXPECT_EQ(table_charge(7), 352u);
  EXPECT_EQ(table_charge(14), 672u);
  EXPECT_EQ(growth_charge(0), 192u);
  EXPECT_EQ(growth_charge(3), 160u);
  EXPECT_EQ(growth_charge(7), table_charge(14) - table_charge(7));
  EXPECT_EQ(growth_charge(14), table_charge(28) - table_charge(14));
  // A counted capacity of 4 to 6 never yields an estimate below what a rebuild can add.
  for (uint64_t c = 4; c < 7; ++c) EXPECT_GE(growth_charge(c), table_charge(7) - table_charge(c));
}

TEST(TableCapacity, BucketCountsHoldTheirCapacity) {
  for (uint64_t cap = 1; cap < 100000; cap = cap * 3 / 2 + 1) {
    const uint64_t b = buckets_for(cap);
    EXPECT_TRUE((b & (b - 1)) == 0) << cap;
    EXPECT_GE(bucket_capacity(b), cap);
    if (b > 4) {
      EXPECT_LT(bucket_capacity(b / 2), cap) << "not the smallest for " << cap;
    }
  }
}

class RandomSequence : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RandomSequence, CapacityAndUsedMemoryFollowTheModel) {
  StoreConfig config;
  config.shards = 1;
  config.sweep_interval_ms = 0;
  auto store = Store::create(config);
  std::mt19937 rng(GetParam());
  CapacityModel model;
  std::map<std::string, uint64_t> present;  // key -> entry charge
  uint64_t entry_sum = 0;
  // Phases of growth and decay so tables both grow past 255 and shrink back.
  for (int phase = 0; phase < 6; ++phase) {
    const bool growing = phase % 2 == 0;
    const int steps = 1500 + static_cast<int>(rng() % 1500);
    for (int i = 0; i < steps; ++i) {
      const bool do_insert = present.empty() || (growing ? rng() % 4 != 0 : rng() % 4 == 0);
      if (do_insert) {
        std::string key = "k" + std::to_string(rng() % 100000);
        std::string value(rng() % 40, 'v');
        const bool fresh = !present.count(key);
        ASSERT_TRUE(store->set(key, value, std::nullopt, false, false).value());
        const uint64_t charge = align16(key.size() + value.size());
        if (fresh) {
          model.insert();
        } else {
          entry_sum -= present[key];
        }
        present[key] = charge;
        entry_sum += charge;
      } else {
        auto it = present.begin();
        std::advance(it, rng() % present.size());
        const Bytes keys[] = {it->first};
        ASSERT_EQ(store->del(keys).value(), 1u);
        entry_sum -= it->second;
        present.erase(it);
        model.remove();
      }
      ASSERT_EQ(store->shard(0).table.capacity(), CapacityModel::cap(model.buckets));
      ASSERT_EQ(store->used_memory(), entry_sum + model.charge());
    }
  }
  EXPECT_EQ(store->used_memory(), store->audit_charge_sum());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomSequence, ::testing::Values(1u, 7u, 42u));

TEST(StoreCharges, FirstEntryAndStepChanges) {
  StoreConfig config;
  config.shards = 1;
  config.sweep_interval_ms = 0;
  auto store = Store::create(config);
  ASSERT_TRUE(store->set("a", "b", std::nullopt, false, false).value());
  EXPECT_EQ(store->used_memory(), 16u + 192u);
  // Empty key and value are charged nothing beyond the table.
  ASSERT_TRUE(store->set("", "", std::nullopt, false, false).value());
  EXPECT_EQ(store->used_memory(), 16u + 192u);
  ASSERT_TRUE(store->set("c", "d", std::nullopt, false, false).value());
  EXPECT_EQ(store->used_memory(), 32u + 192u);
  // The fourth entry doubles the table: capacity 7.
  ASSERT_TRUE(store->set("e", "f", std::nullopt, false, false).value());
  EXPECT_EQ(store->used_memory(), 48u + 352u);
  ASSERT_TRUE(store->flush().ok());
  EXPECT_EQ(store->used_memory(), 0u);
}

TEST(StoreCharges, ListOfOneItem) {
  StoreConfig config;
  config.shards = 1;
  config.sweep_interval_ms = 0;
  auto store = Store::create(config);
  const Bytes items[] = {"x"};
  ASSERT_EQ(store->rpush("l", items).value(), 1u);
  EXPECT_EQ(store->used_memory(), 168u + 192u);
  ASSERT_TRUE(store->rpop("l").value().has_value());
  EXPECT_EQ(store->used_memory(), 0u);
}

}  // namespace
}  // namespace vellum
