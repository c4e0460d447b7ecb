// Store behaviour of the key commands: TYPE, TOUCH, conditional absolute expiry, the
// expiry time and RENAME, with their accounting.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/store.h"
#include "fake_clock.h"

namespace vellum {
namespace {

using testing::make_fake_clock;
using If = Store::ExpireIf;

struct Keyspace : ::testing::Test {
  std::shared_ptr<testing::FakeClock> clock = make_fake_clock();
  std::shared_ptr<Store> make(uint64_t shards = 8) {
    StoreConfig c;
    c.shards = shards;
    c.sweep_interval_ms = 0;
    return Store::create(c, clock);
  }
  static void balanced(const Store& s) { EXPECT_EQ(s.used_memory(), s.audit_charge_sum()); }
};

TEST_F(Keyspace, TypeAndTouch) {
  auto s = make();
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(s->lpush("list", std::vector<Bytes>{"a"}).ok());
  ASSERT_TRUE(s->hset("hash", "f", "v").ok());
  ASSERT_TRUE(s->sadd("set", std::vector<Bytes>{"m"}).ok());
  ASSERT_TRUE(s->set("old", "v", 5, false, false).ok());
  clock->advance(5);
  for (auto [k, t] : {std::pair{"str", "string"}, {"list", "list"}, {"hash", "hash"}, {"set", "set"},
                      {"old", "none"}, {"missing", "none"}}) {
    EXPECT_EQ(s->type(k), t) << k;
  }
  EXPECT_EQ(s->touch(std::vector<Bytes>{"str", "str", "old", "missing", "set"}), 3u);
}

TEST_F(Keyspace, ConditionalExpiry) {
  struct Case {
    uint64_t current;  // 0: no expiry
    uint64_t at;
    If cond;
    bool applied;
  };
  const uint64_t t = clock->now_ms();
  const Case cases[] = {
      {0, t + 100, If::Always, true},          {t + 50, t + 100, If::Always, true},
      {0, t + 100, If::NoExpiry, true},        {t + 50, t + 100, If::NoExpiry, false},
      {0, t + 100, If::HasExpiry, false},      {t + 50, t + 100, If::HasExpiry, true},
      {0, t + 100, If::Later, false},          {t + 50, t + 100, If::Later, true},
      {t + 200, t + 100, If::Later, false},    {0, t + 100, If::Earlier, true},
      {t + 50, t + 100, If::Earlier, false},   {t + 200, t + 100, If::Earlier, true},
      {0, t + 100, If::EarlierWithExpiry, false}, {t + 200, t + 100, If::EarlierWithExpiry, true},
  };
  auto s = make();
  for (const Case& c : cases) {
    ASSERT_TRUE(s->set("k", "v", std::nullopt, false, false).ok());
    if (c.current != 0) {
      ASSERT_TRUE(s->expire_at("k", c.current).value());
    }
    EXPECT_EQ(s->expire_at_if("k", c.at, c.cond).value(), c.applied) << static_cast<int>(c.cond) << " " << c.current;
    const uint64_t want = c.applied ? c.at : c.current;
    EXPECT_EQ(s->expire_time_ms("k"), want == 0 ? -1 : static_cast<int64_t>(want));
  }
  EXPECT_FALSE(s->expire_at_if("missing", t + 100, If::Always).value());
  EXPECT_EQ(s->expire_time_ms("missing"), -2);
  EXPECT_TRUE(s->expire_at_if("k", t, If::Always).value()) << "a time not in the future removes the key";
  EXPECT_FALSE(s->exists("k"));
  EXPECT_EQ(s->key_count(), 0u);
  balanced(*s);
}

TEST_F(Keyspace, RenameMovesValueAndExpiry) {
  auto s = make();
  ASSERT_TRUE(s->set("a", "value", 1000, false, false).ok());
  ASSERT_TRUE(s->sadd("b", std::vector<Bytes>{"x", "y"}).ok());
  EXPECT_EQ(s->rename("missing", "z", false).error(), StoreError::NoSuchKey);
  EXPECT_TRUE(s->rename("a", "a-longer-name", false).value());
  EXPECT_FALSE(s->exists("a"));
  EXPECT_EQ(s->get("a-longer-name").value().value(), "value");
  EXPECT_EQ(s->pttl("a-longer-name"), 1000);
  EXPECT_FALSE(s->rename("b", "a-longer-name", true).value()) << "RENAMENX onto a present key";
  EXPECT_TRUE(s->rename("b", "a-longer-name", false).value()) << "RENAME replaces a string with a set";
  EXPECT_EQ(s->type("a-longer-name"), "set");
  EXPECT_EQ(s->pttl("a-longer-name"), -1);
  EXPECT_EQ(s->smembers("a-longer-name").value().size(), 2u);
  EXPECT_TRUE(s->rename("a-longer-name", "a-longer-name", false).value());
  EXPECT_FALSE(s->rename("a-longer-name", "a-longer-name", true).value());
  EXPECT_EQ(s->key_count(), 1u);
  balanced(*s);
  // Many renames across shards and within one, each leaving the accounting whole.
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(s->set("k" + std::to_string(i), "v", std::nullopt, false, false).ok());
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(s->rename("k" + std::to_string(i), "r" + std::to_string(i % 50), false).ok());
  EXPECT_EQ(s->key_count(), 51u);
  balanced(*s);
}

}  // namespace
}  // namespace vellum
