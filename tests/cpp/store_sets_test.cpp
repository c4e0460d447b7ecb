// Set membership in bulk, random choice, moves and algebra: replies, accounting, and the
// log records they hand to persistence, which replayed must rebuild the same sets.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/element_page.h"
#include "core/store.h"
#include "fake_clock.h"

namespace vellum {
namespace {

using Members = std::set<std::string>;

// Keeps a copy of every record; `refuse` makes it refuse them.
struct RecordingHook : PersistHook {
  struct Rec {
    WalOp op;
    std::string key;
    std::vector<std::string> items;
  };
  std::vector<Rec>* out;
  bool* refuse;
  RecordingHook(std::vector<Rec>* o, bool* r) : out(o), refuse(r) {}
  bool wal_append(const WalRecord& r) noexcept override {
    if (*refuse) return false;
    out->push_back({r.op, std::string(r.key), std::vector<std::string>(r.items.begin(), r.items.end())});
    return true;
  }
  std::string refusal_text() const override { return "refused"; }
};

struct SetsFixture : ::testing::Test {
  std::vector<RecordingHook::Rec> log;
  bool refuse = false;
  std::shared_ptr<Store> make(uint64_t shards = 8) {
    StoreConfig c;
    c.shards = shards;
    c.sweep_interval_ms = 0;
    auto s = Store::create_for_persistence(c, testing::make_fake_clock());
    s->attach_persistence(std::make_unique<RecordingHook>(&log, &refuse));
    return s;
  }
  static Members members(Store& s, BytesView k) {
    auto v = s.smembers(k).value();
    return Members(v.begin(), v.end());
  }
  static void add(Store& s, BytesView k, std::vector<Bytes> m) { ASSERT_TRUE(s.sadd(k, m).ok()); }
  // Replays the recorded log into a fresh store and compares every named key.
  void expect_replay_matches(Store& s, std::vector<std::string> keys) {
    StoreConfig c;
    c.shards = s.shard_count();
    c.sweep_interval_ms = 0;
    auto r = Store::create(c, nullptr, false);
    for (const auto& rec : log) {
      std::vector<Bytes> items(rec.items.begin(), rec.items.end());
      Bytes key = rec.key;
      switch (rec.op) {
        case WalOp::SAdd: ASSERT_TRUE(r->sadd(key, items).ok()); break;
        case WalOp::SRem: ASSERT_TRUE(r->srem(key, items).ok()); break;
        case WalOp::Del: ASSERT_TRUE(r->del(std::span<const Bytes>(&key, 1)).ok()); break;
        case WalOp::Set: ASSERT_TRUE(r->set(key, "x", std::nullopt, false, false).ok()); break;
        default: FAIL() << "unexpected record " << static_cast<int>(rec.op);
      }
    }
    for (const auto& k : keys) EXPECT_EQ(members(*r, k), members(s, k)) << k;
    EXPECT_EQ(r->used_memory(), s.used_memory());
  }
  static void expect_accounted(Store& s) {
    EXPECT_EQ(s.used_memory(), s.audit_charge_sum());
    EXPECT_EQ(s.audit_empty_collections(), 0u);
  }
};

TEST_F(SetsFixture, MismemberAndRandomMemberCounts) {
  auto s = make();
  add(*s, "a", {"1", "2", "3", "4", "5"});
  EXPECT_EQ(s->smismember("a", std::vector<Bytes>{"1", "9", "5"}).value(), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(s->smismember("none", std::vector<Bytes>{"1"}).value(), std::vector<bool>{false});
  const Members all = members(*s, "a");
  for (int64_t n : {0, 1, 2, 3, 5, 9}) {
    auto v = s->srandmember("a", n).value();
    Members distinct(v.begin(), v.end());
    EXPECT_EQ(v.size(), static_cast<size_t>(std::min<int64_t>(n, 5))) << n;
    EXPECT_EQ(distinct.size(), v.size()) << "positive counts give distinct members";
    for (const auto& m : v) EXPECT_TRUE(all.count(m));
  }
  auto rep = s->srandmember("a", -20).value();
  EXPECT_EQ(rep.size(), 20u);
  for (const auto& m : rep) EXPECT_TRUE(all.count(m));
  EXPECT_TRUE(s->srandmember("none", -3).value().empty());
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->srandmember("str", 1).error(), StoreError::WrongType);
  EXPECT_EQ(s->smismember("str", std::vector<Bytes>{"1"}).error(), StoreError::WrongType);
}

TEST_F(SetsFixture, SpopRemovesWhatItReturnsAndLogsIt) {
  auto s = make();
  std::vector<Bytes> in;
  for (int i = 0; i < 200; ++i) in.push_back("m" + std::to_string(i));
  add(*s, "a", in);
  Members seen;
  for (uint64_t n : {1u, 7u, 90u, 0u, 150u}) {
    auto got = s->spop("a", n).value();
    for (const auto& m : got) EXPECT_TRUE(seen.insert(m).second) << "popped twice: " << m;
    expect_accounted(*s);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_FALSE(s->exists("a")) << "the emptied set is gone";
  expect_replay_matches(*s, {"a"});
}

TEST_F(SetsFixture, SmoveBetweenShardsAndOntoItself) {
  auto s = make(16);
  add(*s, "src", {"x", "y"});
  add(*s, "dst", {"y"});
  EXPECT_TRUE(s->smove("src", "dst", "x").value());
  EXPECT_FALSE(s->smove("src", "dst", "x").value());
  EXPECT_TRUE(s->smove("src", "dst", "y").value()) << "already in dst: leaves src only";
  EXPECT_FALSE(s->exists("src"));
  EXPECT_EQ(members(*s, "dst"), (Members{"x", "y"}));
  EXPECT_TRUE(s->smove("dst", "dst", "x").value());
  EXPECT_TRUE(s->smove("dst", "fresh", "x").value());
  EXPECT_EQ(members(*s, "fresh"), Members{"x"});
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->smove("dst", "str", "y").error(), StoreError::WrongType);
  EXPECT_EQ(s->smove("str", "dst", "y").error(), StoreError::WrongType);
  EXPECT_EQ(members(*s, "dst"), Members{"y"}) << "a refused move changes nothing";
  expect_accounted(*s);
  expect_replay_matches(*s, {"src", "dst", "fresh"});
  refuse = true;
  EXPECT_EQ(s->smove("dst", "fresh", "y").error(), StoreError::PersistenceFailed);
  EXPECT_EQ(members(*s, "dst"), Members{"y"});
}

TEST_F(SetsFixture, AlgebraAndStoreForms) {
  auto s = make(16);
  add(*s, "a", {"1", "2", "3", "4"});
  add(*s, "b", {"3", "4", "5"});
  add(*s, "c", {"4", "6"});
  auto as_set = [](std::vector<Bytes> v) { return Members(v.begin(), v.end()); };
  using Op = Store::SetOp;
  const std::vector<Bytes> abc{"a", "b", "c"};
  EXPECT_EQ(as_set(s->set_combine(Op::Inter, abc).value()), Members{"4"});
  EXPECT_EQ(as_set(s->set_combine(Op::Union, abc).value()), (Members{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(as_set(s->set_combine(Op::Diff, abc).value()), (Members{"1", "2"}));
  EXPECT_TRUE(s->set_combine(Op::Inter, std::vector<Bytes>{"a", "missing"}).value().empty());
  EXPECT_EQ(as_set(s->set_combine(Op::Diff, std::vector<Bytes>{"a", "missing"}).value()).size(), 4u);
  EXPECT_EQ(s->sintercard(std::vector<Bytes>{"a", "b"}, 0).value(), 2u);
  EXPECT_EQ(s->sintercard(std::vector<Bytes>{"a", "b"}, 1).value(), 1u);
  EXPECT_EQ(s->set_combine_store(Op::Union, "u", abc).value(), 6u);
  EXPECT_EQ(s->set_combine_store(Op::Inter, "a", std::vector<Bytes>{"a", "b"}).value(), 2u) << "dst among sources";
  EXPECT_EQ(members(*s, "a"), (Members{"3", "4"}));
  EXPECT_EQ(s->set_combine_store(Op::Inter, "u", std::vector<Bytes>{"a", "missing"}).value(), 0u);
  EXPECT_FALSE(s->exists("u")) << "an empty result removes dst";
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->set_combine_store(Op::Union, "str", std::vector<Bytes>{"b"}).value(), 3u) << "dst of any type is replaced";
  EXPECT_EQ(s->set_combine(Op::Union, std::vector<Bytes>{"b", "missing", "c"}).ok(), true);
  ASSERT_TRUE(s->set("str2", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->set_combine(Op::Inter, std::vector<Bytes>{"missing", "str2"}).error(), StoreError::WrongType);
  EXPECT_EQ(s->set_combine_store(Op::Union, "x", std::vector<Bytes>{"b", "str2"}).error(), StoreError::WrongType);
  EXPECT_EQ(s->sintercard(std::vector<Bytes>{"b", "str2"}, 0).error(), StoreError::WrongType);
  expect_accounted(*s);
  expect_replay_matches(*s, {"a", "b", "c", "u", "str"});
}

// ---- SSCAN ----

// Hashes into `buckets` values only, so many members share a hash.
struct CollidingHash {
  using is_transparent = void;
  uint64_t buckets = 4;
  size_t operator()(BytesView s) const noexcept {
    uint64_t h = 0;
    for (char c : s) h = h * 31 + static_cast<unsigned char>(c);
    return static_cast<size_t>((h % buckets) * 0x1000000000000001ULL);
  }
};

TEST(ElementPages, EqualHashesNeverSplitAcrossPages) {
  for (uint64_t buckets : {1u, 3u, 50u}) {
    std::unordered_set<Bytes, CollidingHash, std::equal_to<>> set(16, CollidingHash{buckets});
    for (int i = 0; i < 200; ++i) set.insert("m" + std::to_string(i));
    for (uint64_t page : {1u, 2u, 7u, 199u, 200u, 500u}) {
      std::multiset<Bytes> seen;
      uint64_t cursor = 0;
      int calls = 0;
      do {
        std::set<uint64_t> hashes;
        const uint64_t before = cursor;
        cursor = select_page(set, cursor, page, [&](const Bytes& m) {
          seen.insert(m);
          hashes.insert(set.hash_function()(m));
        });
        ++calls;
        ASSERT_LE(calls, 201) << "no progress";
        for (uint64_t h : hashes) EXPECT_GE(h, before);
        // Whole groups only: every member of each returned hash came in this call.
        if (cursor != 0) {
          for (uint64_t h : hashes) EXPECT_LT(h, cursor);
        }
      } while (cursor != 0);
      EXPECT_EQ(seen.size(), set.size()) << buckets << "/" << page;
      EXPECT_EQ(std::set<Bytes>(seen.begin(), seen.end()).size(), set.size()) << "a member came twice";
    }
  }
}

TEST_F(SetsFixture, SscanPagesFiltersAndErrors) {
  auto s = make();
  add(*s, "small", {"a", "b", "ab"});
  auto page = s->sscan("small", 0, 1, std::nullopt).value();
  EXPECT_EQ(page.cursor, 0u) << "a small set comes back whole";
  EXPECT_EQ(Members(page.items.begin(), page.items.end()), (Members{"a", "b", "ab"}));
  page = s->sscan("small", 0, 10, BytesView("a*")).value();
  EXPECT_EQ(Members(page.items.begin(), page.items.end()), (Members{"a", "ab"}));
  page = s->sscan("missing", 0, 10, std::nullopt).value();
  EXPECT_EQ(page.cursor, 0u);
  EXPECT_TRUE(page.items.empty());
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(s->sscan("str", 0, 10, std::nullopt).error(), StoreError::WrongType);
  std::vector<Bytes> big;
  for (int i = 0; i < 10000; ++i) big.push_back(std::to_string(i));
  add(*s, "big", big);
  page = s->sscan("big", 0, 10, std::nullopt).value();
  EXPECT_NE(page.cursor, 0u);
  EXPECT_EQ(page.items.size(), 10000u / Store::kElementScanSlices) << "a page is at least a slice of the set";
  page = s->sscan("big", 0, 5000, BytesView("1?")).value();
  for (const Bytes& m : page.items) EXPECT_TRUE(m.size() == 2 && m[0] == '1') << m;
}

// A full iteration while another thread adds and removes members (growing the set through
// several rehashes): every member present throughout comes back exactly once.
TEST_F(SetsFixture, SscanReturnsEveryStableMemberWhileTheSetChanges) {
  auto s = make();
  std::vector<Bytes> stable;
  for (int i = 0; i < 3000; ++i) stable.push_back("s" + std::to_string(i));
  add(*s, "k", stable);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint64_t i = 0; !done.load(); ++i) {
      const std::vector<Bytes> one{"v" + std::to_string(i)};
      (void)s->sadd("k", one);
      if (i % 3 != 0) (void)s->srem("k", std::vector<Bytes>{"v" + std::to_string(i / 2)});
      if (i > 200000) std::this_thread::yield();
    }
  });
  for (int round = 0; round < 4; ++round) {
    std::map<Bytes, int> seen;
    uint64_t cursor = 0;
    do {
      auto page = s->sscan("k", cursor, 10, std::nullopt).value();
      for (const Bytes& m : page.items) ++seen[m];
      cursor = page.cursor;
    } while (cursor != 0);
    for (const Bytes& m : stable) EXPECT_EQ(seen[m], 1) << m;
  }
  done = true;
  writer.join();
  expect_accounted(*s);
}

}  // namespace
}  // namespace vellum
