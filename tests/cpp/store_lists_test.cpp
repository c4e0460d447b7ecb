// List positional reads and counted pops: index rules, search ranks and limits, and
// counted pops that account exactly and remove an emptied list.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/store.h"
#include "fake_clock.h"

namespace vellum {
namespace {

std::shared_ptr<Store> make_with(std::vector<Bytes> items) {
  StoreConfig c;
  c.shards = 2;
  c.sweep_interval_ms = 0;
  auto s = Store::create(c, testing::make_fake_clock(), false);
  EXPECT_TRUE(s->rpush("l", items).ok());
  return s;
}

TEST(ListReads, LposRanksCountsAndMaxlen) {
  auto s = make_with({"a", "b", "a", "c", "a"});
  using V = std::vector<int64_t>;
  EXPECT_EQ(s->lpos("l", "a", 1, 0, 0).value(), (V{0, 2, 4}));
  EXPECT_EQ(s->lpos("l", "a", 2, 1, 0).value(), (V{2}));
  EXPECT_EQ(s->lpos("l", "a", -1, 2, 0).value(), (V{4, 2}));
  EXPECT_EQ(s->lpos("l", "a", -3, 0, 0).value(), (V{0}));
  EXPECT_EQ(s->lpos("l", "a", 4, 0, 0).value(), V{});
  EXPECT_EQ(s->lpos("l", "a", 1, 0, 2).value(), (V{0}));
  EXPECT_EQ(s->lpos("l", "a", -1, 0, 1).value(), (V{4}));
  EXPECT_EQ(s->lpos("l", "c", 1, 0, 3).value(), V{});
  EXPECT_EQ(s->lindex("l", -5).value(), "a");
  EXPECT_FALSE(s->lindex("l", -6).value().has_value());
  EXPECT_FALSE(s->lindex("l", 5).value().has_value());
}

TEST(ListPops, CountedPopsAccountAndRemoveTheEmptiedList) {
  auto s = make_with({"1", "2", "3", "4", "5"});
  EXPECT_EQ(s->pop_count("l", 2, true).value(), (std::vector<Bytes>{"1", "2"}));
  EXPECT_EQ(s->pop_count("l", 0, true).value(), std::vector<Bytes>{});
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  EXPECT_EQ(s->pop_count("l", 9, false).value(), (std::vector<Bytes>{"5", "4", "3"}));
  EXPECT_FALSE(s->exists("l"));
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  EXPECT_EQ(s->audit_empty_collections(), 0u);
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->pop_count("str", 1, true).error(), StoreError::WrongType);
  EXPECT_EQ(s->lpos("str", "v", 1, 0, 0).error(), StoreError::WrongType);
}

}  // namespace
}  // namespace vellum
