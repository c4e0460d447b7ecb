// Store behaviour: strings, expiry (with a fake clock), eviction and collections.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/store.h"
#include "fake_clock.h"

namespace vellum {
namespace {

using testing::FakeClock;
using testing::make_fake_clock;

struct StoreFixture : ::testing::Test {
  std::shared_ptr<FakeClock> clock = make_fake_clock();
  std::shared_ptr<Store> make(uint64_t shards = 1, uint64_t max_memory = 0,
                              EvictionPolicy policy = EvictionPolicy::NoEviction) {
    StoreConfig c;
    c.shards = shards;
    c.max_memory = max_memory;
    c.policy = policy;
    c.sweep_interval_ms = 0;
    return Store::create(c, clock);
  }
  static bool set(Store& s, BytesView k, BytesView v, std::optional<uint64_t> ttl = std::nullopt,
                  bool nx = false, bool xx = false) {
    auto r = s.set(k, v, ttl, nx, xx);
    EXPECT_TRUE(r.ok());
    return r.ok() && r.value();
  }
};

using Strings = StoreFixture;

TEST_F(Strings, SetGetAndOptions) {
  auto s = make(4);
  EXPECT_FALSE(set(*s, "k", "v", std::nullopt, false, true)) << "xx on a missing key writes nothing";
  EXPECT_FALSE(s->exists("k"));
  EXPECT_TRUE(set(*s, "k", "v", std::nullopt, true));
  EXPECT_FALSE(set(*s, "k", "w", std::nullopt, true));
  EXPECT_EQ(s->get("k").value(), "v");
  EXPECT_TRUE(set(*s, "k", "w", std::nullopt, false, true));
  EXPECT_EQ(s->get("k").value(), "w");
}

TEST_F(Strings, TtlZeroReadsAsAbsentAndNxOnExpiredSucceeds) {
  auto s = make();
  EXPECT_TRUE(set(*s, "k", "v", 0));
  EXPECT_FALSE(s->get("k").value().has_value());
  EXPECT_TRUE(set(*s, "e", "v", 10));
  clock->advance(10);
  EXPECT_TRUE(set(*s, "e", "new", std::nullopt, true));
  EXPECT_EQ(s->get("e").value(), "new");
  EXPECT_EQ(s->pttl("e"), -1) << "a plain set clears the expiry";
}

struct IncrCase {
  const char* stored;
  int64_t delta;
  bool ok;
  int64_t result;
  StoreError error;
};

class Incr : public StoreFixture, public ::testing::WithParamInterface<IncrCase> {};

TEST_P(Incr, ParsesStrictly) {
  const IncrCase& c = GetParam();
  auto s = make();
  set(*s, "n", c.stored);
  auto r = s->incr_by("n", c.delta);
  ASSERT_EQ(r.ok(), c.ok);
  if (c.ok) {
    EXPECT_EQ(r.value(), c.result);
    EXPECT_EQ(s->get("n").value(), std::to_string(c.result));
  } else {
    EXPECT_EQ(r.error(), c.error);
    EXPECT_EQ(s->get("n").value(), c.stored) << "a failed incr leaves the value";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, Incr,
    ::testing::Values(IncrCase{"007", 1, true, 8, {}}, IncrCase{"-5", 3, true, -2, {}},
                      IncrCase{"-9223372036854775808", 0, true, INT64_MIN, {}},
                      IncrCase{"+1", 1, false, 0, StoreError::NotAnInteger},
                      IncrCase{"1.5", 1, false, 0, StoreError::NotAnInteger},
                      IncrCase{"", 1, false, 0, StoreError::NotAnInteger},
                      IncrCase{"1 ", 1, false, 0, StoreError::NotAnInteger},
                      IncrCase{"-", 1, false, 0, StoreError::NotAnInteger},
                      IncrCase{"9223372036854775808", 1, false, 0, StoreError::NotAnInteger},
                      IncrCase{"9223372036854775807", 1, false, 0, StoreError::Overflow},
                      IncrCase{"-9223372036854775807", -2, false, 0, StoreError::Overflow}));

TEST_F(Strings, IncrMissingKeyKeepsExpiryOfExisting) {
  auto s = make();
  EXPECT_EQ(s->incr_by("new", 1).value(), 1);
  EXPECT_EQ(s->pttl("new"), -1);
  set(*s, "t", "10", 5000);
  EXPECT_EQ(s->incr_by("t", 5).value(), 15);
  EXPECT_EQ(s->pttl("t"), 5000);
}

TEST_F(Strings, AppendGrowsCapacityAndCharge) {
  auto s = make();
  EXPECT_EQ(s->append("a", "xyz").value(), 3u);
  EXPECT_EQ(s->used_memory(), 16u + 192u);  // exact buffer of 4 bytes
  // Capacity 4 -> max(8, 5, 8) = 8 -> charge 16; then 8 -> 16 -> charge 16; then 32.
  EXPECT_EQ(s->append("a", "1").value(), 4u);
  EXPECT_EQ(s->append("a", "2345").value(), 8u);
  EXPECT_EQ(s->used_memory(), 16u + 192u);
  EXPECT_EQ(s->append("a", "abcdefghi").value(), 17u);
  EXPECT_EQ(s->used_memory(), 32u + 192u);
  EXPECT_EQ(s->get("a").value(), "xyz12345abcdefghi");
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
}

TEST_F(Strings, DeleteCountsOnceAndSkipsExpired) {
  auto s = make();
  set(*s, "a", "1");
  set(*s, "b", "1", 5);
  clock->advance(5);
  const Bytes keys[] = {"a", "a", "b", "zz"};
  EXPECT_EQ(s->del(keys).value(), 1u);
  EXPECT_EQ(s->used_memory(), 0u);
}

TEST_F(Strings, MgetGivesNoneForCollections) {
  auto s = make();
  set(*s, "s", "v");
  EXPECT_TRUE(s->hset("h", "f", "v").value());
  const Bytes keys[] = {"s", "h", "missing"};
  auto r = s->mget(keys);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0], "v");
  EXPECT_FALSE(r[1]);
  EXPECT_FALSE(r[2]);
}

TEST_F(Strings, KeysAndCountSkipExpiredWithoutRemoving) {
  auto s = make(8);
  set(*s, "hallo", "1");
  set(*s, "hello", "1");
  set(*s, "a[", "1");
  set(*s, "gone", "1", 1);
  clock->advance(1);
  auto ks = s->keys("h[^e]llo");
  EXPECT_EQ(ks, std::vector<Bytes>{"hallo"});
  EXPECT_EQ(s->keys("a["), std::vector<Bytes>{"a["});
  EXPECT_EQ(s->key_count(), 3u);
  EXPECT_EQ(s->keys("*").size(), 3u);
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  EXPECT_GT(s->used_memory(), 3u * 16) << "the expired key is still held until swept";
}

TEST_F(Strings, KeysOf4GiBAreRefusedBeforeAnythingChanges) {
  auto s = make();
  // The length is checked before any byte of the key is read, so a view of that length
  // over a small buffer is enough to reach the check.
  static const char small[16] = {};
  const BytesView huge(small, size_t{1} << 32);
  EXPECT_EQ(s->set(huge, "v", std::nullopt, false, false).error(), StoreError::KeyTooLong);
  EXPECT_EQ(s->incr_by(huge, 1).error(), StoreError::KeyTooLong);
  EXPECT_EQ(s->append(huge, "v").error(), StoreError::KeyTooLong);
  EXPECT_EQ(s->restore_string(huge, "v", 0).error(), StoreError::KeyTooLong);
  EXPECT_EQ(store_error_text(StoreError::KeyTooLong), "key longer than 4 GiB");
  EXPECT_EQ(s->used_memory(), 0u);
  EXPECT_EQ(s->key_count(), 0u);
}

using Expiry = StoreFixture;

TEST_F(Expiry, TtlRoundsUpAndReportsAbsence) {
  auto s = make();
  set(*s, "k", "v", 1500);
  EXPECT_EQ(s->pttl("k"), 1500);
  EXPECT_EQ(s->ttl("k"), 2);
  clock->advance(1499);
  EXPECT_EQ(s->ttl("k"), 1);
  clock->advance(1);
  EXPECT_EQ(s->pttl("k"), -2);
  EXPECT_EQ(s->ttl("k"), -2);
  set(*s, "p", "v");
  EXPECT_EQ(s->ttl("p"), -1);
  EXPECT_EQ(s->ttl("missing"), -2);
}

TEST_F(Expiry, PexpirePersistAndSaturation) {
  auto s = make();
  set(*s, "k", "v");
  EXPECT_FALSE(s->persist("k").value());
  EXPECT_TRUE(s->pexpire("k", 0).value());
  EXPECT_FALSE(s->get("k").value().has_value());
  EXPECT_FALSE(s->pexpire("k", 100).value()) << "an expired key is removed first";
  set(*s, "m", "v");
  EXPECT_TRUE(s->pexpire("m", ~uint64_t{0}).value());
  EXPECT_EQ(s->pttl("m"), INT64_MAX);
  EXPECT_TRUE(s->persist("m").value());
  EXPECT_EQ(s->pttl("m"), -1);
  EXPECT_EQ(absolute_expiry(0, 0), 1u) << "a relative expiry never stores 0";
  EXPECT_EQ(absolute_expiry(~uint64_t{0} - 1, 5), ~uint64_t{0});
}

TEST_F(Expiry, SweeperPassReclaimsExpiredKeys) {
  auto s = make(4);
  for (int i = 0; i < 2000; ++i) set(*s, "k" + std::to_string(i), "v", i % 2 == 0 ? std::optional<uint64_t>(10) : std::nullopt);
  clock->advance(10);
  for (int pass = 0; pass < 40; ++pass) s->sweep_pass(clock->now_ms());
  uint64_t total = 0;
  for (size_t i = 0; i < s->shard_count(); ++i) total += s->shard(i).table.size();
  // Sampling stops a shard at the first batch without an expired key, so a few may stay
  // for later passes; the bulk must be gone and every removal accounted.
  EXPECT_LT(total, 1000u + 50u);
  EXPECT_GE(total, 1000u);
  EXPECT_EQ(s->counters().expired, 2000u - total);
  EXPECT_EQ(s->key_count(), 1000u);
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
}

TEST_F(Expiry, ReadOfExpiredCollectionRemovesIt) {
  auto s = make();
  const Bytes m[] = {"a"};
  ASSERT_EQ(s->sadd("set", m).value(), 1u);
  EXPECT_TRUE(s->pexpire("set", 5).value());
  clock->advance(5);
  EXPECT_TRUE(s->smembers("set").value().empty());
  EXPECT_EQ(s->used_memory(), 0u);
}

using Versions = StoreFixture;

// Every kind of write gives the key a version never seen before; reads, TTL changes and
// version checks leave it alone.
TEST_F(Versions, EveryWriteAndOnlyAWriteChangesTheVersion) {
  auto s = make(4);
  auto version = [&] {
    Bytes out;
    uint64_t v = 0;
    EXPECT_TRUE(s->get_into("k", out, &v).value());
    return v;
  };
  set(*s, "other", "x");
  set(*s, "k", "1");
  std::set<uint64_t> seen{version()};
  EXPECT_NE(*seen.begin(), 0u);
  const std::pair<const char*, std::function<void()>> writes[] = {
      {"set of an equal value", [&] { set(*s, "k", "1"); }},
      {"set with a ttl", [&] { set(*s, "k", "1", 60000); }},
      {"incr", [&] { ASSERT_TRUE(s->incr_by("k", 1).ok()); }},
      {"append", [&] { ASSERT_TRUE(s->append("k", "0").ok()); }},
      {"delete and recreate", [&] { const Bytes k[] = {"k"}; ASSERT_TRUE(s->del(k).ok()); set(*s, "k", "1"); }},
      {"restore", [&] { ASSERT_TRUE(s->restore_string("k", "1", 0).ok()); }},
      {"set nx after expiry", [&] { set(*s, "k", "1", 5); clock->advance(5); set(*s, "k", "1", std::nullopt, true); }},
  };
  for (const auto& [name, write] : writes) {
    write();
    const uint64_t v = version();
    EXPECT_TRUE(seen.insert(v).second) << name << " kept an earlier version";
    EXPECT_EQ(version(), v) << "a read after " << name << " changed the version";
    EXPECT_TRUE(s->pexpire("k", 60000));
    EXPECT_TRUE(s->persist("k"));
    EXPECT_TRUE(s->check_version("k", v)) << "ttl changes after " << name << " changed the version";
  }
  EXPECT_FALSE(s->check_version("k", *seen.begin()));
  EXPECT_FALSE(s->check_version("missing", version()));
}

TEST_F(Versions, CheckFailsForExpiredDeletedFlushedAndCollectionKeys) {
  auto s = make();
  auto version_of = [&](BytesView k) {
    Bytes out;
    uint64_t v = 0;
    EXPECT_TRUE(s->get_into(k, out, &v).value());
    return v;
  };
  set(*s, "t", "v", 10);
  const uint64_t t = version_of("t");
  EXPECT_TRUE(s->check_version("t", t));
  clock->advance(10);
  EXPECT_FALSE(s->check_version("t", t));
  set(*s, "d", "v");
  const uint64_t d = version_of("d");
  const Bytes dk[] = {"d"};
  ASSERT_TRUE(s->del(dk).ok());
  EXPECT_FALSE(s->check_version("d", d));
  set(*s, "f", "v");
  const uint64_t f = version_of("f");
  ASSERT_TRUE(s->flush().ok());
  EXPECT_FALSE(s->check_version("f", f));
  set(*s, "c", "v");
  const uint64_t c = version_of("c");
  const Bytes ck[] = {"c"};
  ASSERT_TRUE(s->del(ck).ok());
  const Bytes items[] = {"m"};
  ASSERT_TRUE(s->sadd("c", items).ok());
  EXPECT_FALSE(s->check_version("c", c));
  EXPECT_FALSE(s->check_version("c", 0));
}

using TryRead = Store::TryRead;

struct NonWaitingRead : StoreFixture, ::testing::WithParamInterface<Store::Counting> {};

// The non-waiting read gives what the waiting one gives whenever it can run, and steps
// aside (Busy) whenever the waiting one would wait or must remove an expired entry. Both
// ways of counting land in the same counters.
TEST_P(NonWaitingRead, MatchesGetOrStepsAside) {
  const Store::Counting counting = GetParam();
  auto s = make(1);
  set(*s, "k", "value");
  set(*s, "soon", "v", 10);
  const Bytes items[] = {"m"};
  ASSERT_TRUE(s->sadd("set", items).ok());
  Bytes seen;
  uint64_t seen_version = 0;
  auto take = [&](BytesView v, uint64_t version) {
    seen.assign(v);
    seen_version = version;
    return true;
  };
  EXPECT_EQ(s->try_read_string("k", counting, true, take), TryRead::Hit);
  Bytes got;
  uint64_t version = 0;
  ASSERT_TRUE(s->get_into("k", got, &version).value());
  EXPECT_EQ(seen, got);
  EXPECT_EQ(seen_version, version);
  EXPECT_EQ(s->try_read_string("missing", counting, true, take), TryRead::Miss);
  EXPECT_EQ(s->try_read_string("missing", counting, false, take), TryRead::Miss);
  EXPECT_EQ(s->try_read_string("set", counting, true, take), TryRead::WrongType);
  EXPECT_EQ(s->try_read_string("k", counting, true, [](BytesView, uint64_t) { return false; }),
            TryRead::Declined);
  EXPECT_EQ(s->counters().hits, 2u);
  EXPECT_EQ(s->counters().misses, 1u) << "one counted miss, none for the uncounted or declined reads";
  {
    std::unique_lock writer(s->shard(0).lock);
    EXPECT_EQ(s->try_read_string("k", counting, true, take), TryRead::Busy);
  }
  {
    std::shared_lock reader(s->shard(0).lock);
    EXPECT_EQ(s->try_read_string("k", counting, true, take), TryRead::Hit) << "readers share the lock";
  }
  clock->advance(10);
  EXPECT_EQ(s->try_read_string("soon", counting, true, take), TryRead::Busy);
  EXPECT_EQ(s->counters().expired, 0u);
  EXPECT_FALSE(s->get("soon").value().has_value());
  EXPECT_EQ(s->counters().expired, 1u);
  EXPECT_EQ(s->try_read_string("soon", counting, true, take), TryRead::Miss);
  EXPECT_EQ(s->counters().hits, 3u);
}

INSTANTIATE_TEST_SUITE_P(Counting, NonWaitingRead,
                         ::testing::Values(Store::Counting::Atomic, Store::Counting::Serialized));

using Eviction = StoreFixture;

TEST_F(Eviction, MemoryCeilingStampsReadsOfBothPaths) {
  auto s = make(1, 1 << 20, EvictionPolicy::AllKeysLru);
  for (const char* k : {"a", "b", "c"}) set(*s, k, "v");
  EXPECT_EQ(s->try_read_string("a", Store::Counting::Atomic, true, [](BytesView, uint64_t) { return true; }),
            TryRead::Hit);
  Bytes out;
  uint64_t v = 0;
  ASSERT_TRUE(s->get_into("b", out, &v).value());
  EXPECT_TRUE(s->check_version("b", v));
  ASSERT_TRUE(s->evict_one(false));
  EXPECT_FALSE(s->exists("c")) << "the only key not read since its write goes first";
}

TEST_F(Eviction, EvictsOldestStampAndReadsProtect) {
  auto s = make(1, 1 << 20, EvictionPolicy::AllKeysLru);
  for (const char* k : {"a", "b", "c", "d", "e"}) set(*s, k, "v");
  EXPECT_TRUE(s->get("a").value().has_value());  // a is now the most recent
  EXPECT_TRUE(s->exists("b"));                   // exists does not stamp
  EXPECT_EQ(s->ttl("b"), -1);                    // nor does ttl
  ASSERT_TRUE(s->evict_one(false));
  EXPECT_FALSE(s->exists("b"));
  ASSERT_TRUE(s->evict_one(false));
  EXPECT_FALSE(s->exists("c"));
  EXPECT_TRUE(s->exists("a"));
  EXPECT_EQ(s->counters().evictions, 2u);
}

TEST_F(Eviction, VolatileOnlyTouchesKeysWithExpiry) {
  auto s = make(1, 1 << 20, EvictionPolicy::VolatileLru);
  set(*s, "plain", "v");
  EXPECT_FALSE(s->evict_one(true));
  set(*s, "temp", "v", 100000);
  EXPECT_TRUE(s->evict_one(true));
  EXPECT_FALSE(s->exists("temp"));
  EXPECT_TRUE(s->exists("plain"));
}

TEST_F(Eviction, NoevictionRefusesWithoutChange) {
  auto s = make(1, 300);
  EXPECT_TRUE(set(*s, "a", "v"));
  auto r = s->set("big", std::string(200, 'x'), std::nullopt, false, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), StoreError::OutOfMemory);
  EXPECT_FALSE(s->exists("big"));
  EXPECT_EQ(s->get("a").value(), "v");
}

TEST_F(Eviction, OversizedWriteEvictsEverythingThenFails) {
  auto s = make(1, 1000, EvictionPolicy::AllKeysLru);
  for (const char* k : {"a", "b", "c"}) set(*s, k, "v");
  auto r = s->set("huge", std::string(2000, 'x'), std::nullopt, false, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), StoreError::OutOfMemory);
  EXPECT_EQ(s->used_memory(), 0u);
  EXPECT_EQ(s->key_count(), 0u);
}

TEST_F(Eviction, CeilingHoldsUnderSteadyWrites) {
  auto s = make(4, 64 * 1024, EvictionPolicy::AllKeysLru);
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(set(*s, "key" + std::to_string(i), std::string(100, 'v')));
  EXPECT_LE(s->used_memory(), 64u * 1024);
  EXPECT_GT(s->counters().evictions, 0u);
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
}

using Collections = StoreFixture;

TEST_F(Collections, LrangeIndexRules) {
  auto s = make();
  const Bytes abc[] = {"a", "b", "c"};
  ASSERT_EQ(s->rpush("l", abc).value(), 3u);
  struct {
    int64_t start, stop;
    std::vector<Bytes> want;
  } cases[] = {{0, -1, {"a", "b", "c"}}, {-2, 100, {"b", "c"}}, {2, 1, {}},
               {5, 10, {}},              {-100, 0, {"a"}},      {INT64_MIN, INT64_MAX, {"a", "b", "c"}}};
  for (const auto& c : cases) EXPECT_EQ(s->lrange("l", c.start, c.stop).value(), c.want) << c.start << " " << c.stop;
  ASSERT_EQ(s->lpush("m", abc).value(), 3u);
  EXPECT_EQ(s->lrange("m", 0, -1).value(), (std::vector<Bytes>{"c", "b", "a"}));
}

TEST_F(Collections, EmptiedCollectionsDisappear) {
  auto s = make();
  const Bytes none[] = {"x"};
  EXPECT_EQ(s->lpush("l", std::span<const Bytes>()).value(), 0u);
  EXPECT_FALSE(s->exists("l"));
  const Bytes one[] = {"a"};
  s->rpush("l", one).value();
  EXPECT_EQ(s->lpop("l").value(), "a");
  EXPECT_FALSE(s->exists("l"));
  EXPECT_TRUE(s->hset("h", "f", "v").value());
  const Bytes ff[] = {"f", "f"};
  EXPECT_EQ(s->hdel("h", ff).value(), 1u);
  EXPECT_FALSE(s->exists("h"));
  const Bytes mm[] = {"m", "m"};
  EXPECT_EQ(s->sadd("s", mm).value(), 1u);
  EXPECT_EQ(s->scard("s").value(), 1u);
  EXPECT_EQ(s->srem("s", mm).value(), 1u);
  EXPECT_EQ(s->srem("s", none).value(), 0u);
  EXPECT_FALSE(s->exists("s"));
  EXPECT_EQ(s->used_memory(), 0u);
  EXPECT_EQ(s->audit_empty_collections(), 0u);
}

TEST_F(Collections, HashValueReplacementCharges) {
  auto s = make();
  EXPECT_TRUE(s->hset("h", "f", std::string(20, 'a')).value());
  const uint64_t before = s->used_memory();
  EXPECT_EQ(before, 80u + 16 + 16 + 32 + 56 + 192);
  EXPECT_FALSE(s->hset("h", "f", std::string(40, 'b')).value());
  EXPECT_EQ(s->used_memory(), before + 16);
  EXPECT_EQ(s->hget("h", "f").value(), std::string(40, 'b'));
  EXPECT_EQ(s->hlen("h").value(), 1u);
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
}

TEST_F(Collections, WrongTypeBothWays) {
  auto s = make();
  set(*s, "str", "v");
  const Bytes one[] = {"a"};
  EXPECT_EQ(s->hget("str", "f").error(), StoreError::WrongType);
  EXPECT_EQ(s->lpush("str", one).error(), StoreError::WrongType);
  EXPECT_EQ(s->sadd("str", one).error(), StoreError::WrongType);
  EXPECT_EQ(s->llen("str").error(), StoreError::WrongType);
  EXPECT_TRUE(s->hset("h", "f", "v").value());
  EXPECT_EQ(s->get("h").error(), StoreError::WrongType);
  EXPECT_EQ(s->incr_by("h", 1).error(), StoreError::WrongType);
  EXPECT_EQ(s->append("h", "x").error(), StoreError::WrongType);
  EXPECT_EQ(s->smembers("h").error(), StoreError::WrongType);
  EXPECT_EQ(s->rpop("h").error(), StoreError::WrongType);
  EXPECT_EQ(s->get("str").value(), "v");
  // A plain set replaces a collection of any kind.
  EXPECT_TRUE(set(*s, "h", "now a string"));
  EXPECT_EQ(s->get("h").value(), "now a string");
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
}

TEST_F(Collections, RestoreCollectionReplacesAndCharges) {
  auto s = make();
  set(*s, "k", "string");
  auto rec = CollectionRecord::create(ValueKind::Set, "k");
  rec->set().insert("m");
  rec->payload_bytes = item_charge(1);
  s->restore_collection(std::move(rec), 0);
  EXPECT_TRUE(s->sismember("k", "m").value());
  EXPECT_EQ(s->used_memory(), 80u + 16 + 72 + 192);
}

// Threads doing mixed operations on overlapping keys, with eviction active and sweeps
// running, must leave the accounting exact and no empty collection behind.
TEST(StoreStress, ConcurrentMixedOperationsKeepInvariants) {
  StoreConfig c;
  c.shards = 4;
  c.max_memory = 256 * 1024;
  c.policy = EvictionPolicy::AllKeysLru;
  c.sweep_interval_ms = 0;
  auto clock = make_fake_clock();
  auto s = Store::create(c, clock);
  std::atomic<bool> stop{false};
  std::thread sweeper([&] {
    while (!stop.load()) {
      s->sweep_pass(clock->now_ms());
      clock->advance(3);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      uint64_t x = 88172645463325252ULL + static_cast<uint64_t>(t);
      for (int i = 0; i < 20000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const std::string key = "k" + std::to_string(x % 200);
        const Bytes items[] = {std::to_string(x % 7), std::to_string(x % 11)};
        switch (x % 12) {
          case 0: (void)s->set(key, std::string(x % 300, 'v'), (x & 16) ? std::optional<uint64_t>(x % 50) : std::nullopt, false, false); break;
          case 1: (void)s->get(key); break;
          case 2: (void)s->rpush(key, items); break;
          case 3: (void)s->lpop(key); break;
          case 4: (void)s->hset(key, items[0], items[1]); break;
          case 5: (void)s->hdel(key, items); break;
          case 6: (void)s->sadd(key, items); break;
          case 7: (void)s->srem(key, items); break;
          case 8: { const Bytes k[] = {key}; (void)s->del(k); break; }
          case 9: (void)s->incr_by(key, 1); break;
          case 10: (void)s->append(key, "xy"); break;
          case 11: (void)s->pexpire(key, x % 20); break;
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  stop = true;
  sweeper.join();
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  EXPECT_EQ(s->audit_empty_collections(), 0u);
  std::set<Bytes> seen;
  for (const Bytes& k : s->keys("*")) EXPECT_TRUE(seen.insert(k).second) << "key counted twice: " << k;
}

}  // namespace
}  // namespace vellum
