// Store behaviour of the string commands beyond the basics: SET with every option, GETDEL,
// GETEX, STRLEN, MSETNX and INCRBYFLOAT; their records and their refusal by the log.

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/store.h"
#include "fake_clock.h"

namespace vellum {
namespace {

using testing::FakeClock;
using testing::make_fake_clock;
using Mode = Store::ExpiryMode;

// Records every mutation it is shown and, while `refuse` is set, refuses them.
class RecordingHook : public PersistHook {
 public:
  struct Rec {
    WalOp op;
    uint64_t at;
    std::string key, value;
  };
  bool wal_append(const WalRecord& r) noexcept override {
    if (refuse) return false;
    recs.push_back({r.op, r.expires_at_ms, std::string(r.key), std::string(r.value) + std::string(r.value_tail)});
    return true;
  }
  std::string refusal_text() const override { return "refused"; }
  std::vector<Rec> recs;
  bool refuse = false;
};

struct StringWrites : ::testing::Test {
  std::shared_ptr<FakeClock> clock = make_fake_clock();
  RecordingHook* hook = nullptr;
  std::shared_ptr<Store> make(uint64_t shards = 4) {
    StoreConfig c;
    c.shards = shards;
    c.sweep_interval_ms = 0;
    auto s = Store::create_for_persistence(c, clock);
    auto h = std::make_unique<RecordingHook>();
    hook = h.get();
    s->attach_persistence(std::move(h));
    return s;
  }
  static void balanced(const Store& s) { EXPECT_EQ(s.used_memory(), s.audit_charge_sum()); }
};

TEST_F(StringWrites, SetWithGetKeepTtlAndAbsoluteExpiry) {
  auto s = make();
  const uint64_t t0 = clock->now_ms();
  auto r = s->set_with("k", "a", {Mode::Relative, 5000}, false, false, true);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().written);
  EXPECT_FALSE(r.value().old.has_value());
  r = s->set_with("k", "bb", {Mode::Keep, 0}, false, false, true);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().old.value(), "a");
  EXPECT_EQ(s->pttl("k"), 5000) << "KEEPTTL keeps the expiry";
  EXPECT_EQ(hook->recs.back().at, t0 + 5000) << "the record carries the kept expiry";
  r = s->set_with("k", "c", {Mode::Clear, 0}, true, false, true);
  EXPECT_FALSE(r.value().written);
  EXPECT_EQ(r.value().old.value(), "bb") << "NX with GET still reports the old value";
  ASSERT_TRUE(s->set_with("k", "d", {Mode::Absolute, t0 + 700}, false, false, false).ok());
  EXPECT_EQ(s->pttl("k"), 700);
  ASSERT_TRUE(s->lpush("l", std::vector<Bytes>{"x"}).ok());
  const size_t before = hook->recs.size();
  auto wrong = s->set_with("l", "v", {}, false, false, true);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error(), StoreError::WrongType);
  EXPECT_EQ(hook->recs.size(), before) << "nothing logged for a refused GET";
  EXPECT_TRUE(s->set_with("l", "v", {}, false, false, false).value().written) << "without GET a list is replaced";
  balanced(*s);
}

TEST_F(StringWrites, GetdelGetexStrlen) {
  auto s = make();
  ASSERT_TRUE(s->set("k", "hello", std::nullopt, false, false).ok());
  EXPECT_EQ(s->strlen("k").value(), 5u);
  EXPECT_EQ(s->strlen("missing").value(), 0u);
  EXPECT_EQ(s->getex("k", {Mode::Relative, 2000}).value().value(), "hello");
  EXPECT_EQ(s->pttl("k"), 2000);
  EXPECT_EQ(hook->recs.back().op, WalOp::ExpireAt);
  EXPECT_EQ(s->getex("k", {Mode::Persist, 0}).value().value(), "hello");
  EXPECT_EQ(s->pttl("k"), -1);
  const size_t before = hook->recs.size();
  EXPECT_EQ(s->getex("k", {Mode::Persist, 0}).value().value(), "hello");
  EXPECT_EQ(hook->recs.size(), before) << "an unchanged expiry is not logged";
  EXPECT_EQ(s->getdel("k").value().value(), "hello");
  EXPECT_EQ(hook->recs.back().op, WalOp::Del);
  EXPECT_FALSE(s->exists("k"));
  EXPECT_FALSE(s->getdel("k").value().has_value());
  ASSERT_TRUE(s->sadd("set", std::vector<Bytes>{"m"}).ok());
  EXPECT_EQ(s->getdel("set").error(), StoreError::WrongType);
  EXPECT_EQ(s->strlen("set").error(), StoreError::WrongType);
  EXPECT_EQ(s->getex("set", {Mode::Persist, 0}).error(), StoreError::WrongType);
  ASSERT_TRUE(s->set("gone", "v", 10, false, false).ok());
  clock->advance(10);
  EXPECT_EQ(s->strlen("gone").value(), 0u) << "an expired key has no length";
  balanced(*s);
}

TEST_F(StringWrites, MsetnxIsAllOrNothing) {
  auto s = make(8);
  std::vector<std::pair<Bytes, Bytes>> pairs;
  for (int i = 0; i < 20; ++i) pairs.emplace_back("k" + std::to_string(i), "v");
  ASSERT_TRUE(s->set("k13", "old", std::nullopt, false, false).ok());
  EXPECT_FALSE(s->msetnx(pairs).value());
  EXPECT_EQ(s->key_count(), 1u);
  ASSERT_TRUE(s->del(std::vector<Bytes>{"k13"}).ok());
  EXPECT_TRUE(s->msetnx(pairs).value());
  EXPECT_EQ(s->key_count(), 20u);
  pairs = {{"d", "1"}, {"d", "2"}};
  EXPECT_TRUE(s->msetnx(pairs).value());
  EXPECT_EQ(s->get("d").value().value(), "2") << "a repeated key takes its last value";
  balanced(*s);
}

TEST_F(StringWrites, IncrByFloat) {
  auto s = make();
  struct Case {
    const char* start;
    long double delta;
    const char* expect;
  };
  for (const Case& c : {Case{"10.50", 0.1L, "10.6"}, Case{"5", 2.0L, "7"}, Case{"-1", 1.0L, "0"},
                        Case{"3.0e3", 200.0L, "3200"}, Case{"1", -1.5L, "-0.5"}}) {
    ASSERT_TRUE(s->set("f", c.start, std::nullopt, false, false).ok());
    EXPECT_EQ(s->incr_by_float("f", c.delta).value(), c.expect) << c.start;
    EXPECT_EQ(s->get("f").value().value(), c.expect);
    EXPECT_EQ(hook->recs.back().value, c.expect) << "the log holds the text stored";
  }
  EXPECT_EQ(s->incr_by_float("new", 2.5L).value(), "2.5");
  for (const char* bad : {"abc", "", " 1", "1 ", "nan"}) {
    ASSERT_TRUE(s->set("b", bad, std::nullopt, false, false).ok());
    EXPECT_EQ(s->incr_by_float("b", 1.0L).error(), StoreError::NotAFloat) << bad;
  }
  ASSERT_TRUE(s->set("b", "1", std::nullopt, false, false).ok());
  EXPECT_EQ(s->incr_by_float("b", std::numeric_limits<long double>::infinity()).error(), StoreError::NotFinite);
  ASSERT_TRUE(s->set("t", "1", 5000, false, false).ok());
  ASSERT_TRUE(s->incr_by_float("t", 1.0L).ok());
  EXPECT_EQ(s->pttl("t"), 5000) << "the expiry survives";
  balanced(*s);
}

TEST_F(StringWrites, RefusedRecordsChangeNothing) {
  auto s = make();
  ASSERT_TRUE(s->set("k", "v", 1000, false, false).ok());
  const uint64_t used = s->used_memory();
  hook->refuse = true;
  EXPECT_EQ(s->set_with("k", "w", {Mode::Keep, 0}, false, false, true).error(), StoreError::PersistenceFailed);
  EXPECT_EQ(s->getdel("k").error(), StoreError::PersistenceFailed);
  EXPECT_EQ(s->getex("k", {Mode::Persist, 0}).error(), StoreError::PersistenceFailed);
  EXPECT_EQ(s->incr_by_float("k2", 1.0L).error(), StoreError::PersistenceFailed);
  std::vector<std::pair<Bytes, Bytes>> pairs{{"a", "1"}};
  EXPECT_EQ(s->msetnx(pairs).error(), StoreError::PersistenceFailed);
  hook->refuse = false;
  EXPECT_EQ(s->get("k").value().value(), "v");
  EXPECT_EQ(s->pttl("k"), 1000);
  EXPECT_EQ(s->key_count(), 1u);
  EXPECT_EQ(s->used_memory(), used);
  balanced(*s);
}

}  // namespace
}  // namespace vellum
