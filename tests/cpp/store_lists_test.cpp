// List positional reads and counted pops: index rules, search ranks and limits, and
// counted pops that account exactly and remove an emptied list. Writes in place and moves:
// replies and errors, exact accounting, a record only for a call that changes something,
// and a refused record that changes nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
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

// ---- writes in place and moves ----

// Keeps the op and key of every record; `refuse` makes it refuse them.
struct OpLog : PersistHook {
  std::vector<std::pair<WalOp, std::string>>* out;
  bool* refuse;
  OpLog(std::vector<std::pair<WalOp, std::string>>* o, bool* r) : out(o), refuse(r) {}
  bool wal_append(const WalRecord& r) noexcept override {
    if (*refuse) return false;
    out->emplace_back(r.op, std::string(r.key));
    return true;
  }
  std::string refusal_text() const override { return "refused"; }
};

// A list as text ("a,b,c"), or "-" when the key is absent.
std::string render(Store& s, BytesView key) {
  if (!s.exists(key)) return "-";
  std::string out;
  const std::vector<Bytes> items = s.lrange(key, 0, -1).value();
  for (const Bytes& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

template <class T>
std::string render(const StoreResult<T>& r) {
  if (!r) return "error:" + std::string(store_error_text(r.error()));
  if constexpr (std::is_same_v<T, std::optional<Bytes>>) {
    return r.value() ? *r.value() : "nil";
  } else {
    return std::to_string(r.value());
  }
}
std::string render(const StoreResult<void>& r) {
  return r ? "ok" : "error:" + std::string(store_error_text(r.error()));
}

struct WriteCase {
  const char* name;
  std::function<std::string(Store&)> run;  // the reply, rendered
  std::string reply;
  std::string l_after;  // "l" held "a,b,c,a"; "d" held "x"
  std::string d_after;
  std::vector<WalOp> logged;  // Del follows the record of a call that empties its list
};

class ListWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ListWrites, ReplyStateAccountingAndLog) {
  const WriteCase& c = GetParam();
  std::vector<std::pair<WalOp, std::string>> log;
  bool refuse = false;
  StoreConfig config;
  config.shards = 8;
  config.sweep_interval_ms = 0;
  auto s = Store::create_for_persistence(config, testing::make_fake_clock());
  s->attach_persistence(std::make_unique<OpLog>(&log, &refuse));
  ASSERT_TRUE(s->rpush("l", std::vector<Bytes>{"a", "b", "c", "a"}).ok());
  ASSERT_TRUE(s->rpush("d", std::vector<Bytes>{"x"}).ok());
  ASSERT_TRUE(s->set("str", "v", std::nullopt, false, false).ok());
  const uint64_t used = s->used_memory();
  // Under a refusing log a call that would change something fails and changes nothing.
  refuse = true;
  const std::string refused = c.run(*s);
  if (!c.logged.empty()) {
    EXPECT_TRUE(refused.starts_with("error:persistence failed")) << refused;
    EXPECT_EQ(render(*s, "l"), "a,b,c,a");
    EXPECT_EQ(render(*s, "d"), "x");
    EXPECT_EQ(s->used_memory(), used);
  }
  refuse = false;
  log.clear();
  EXPECT_EQ(c.run(*s), c.reply);
  EXPECT_EQ(render(*s, "l"), c.l_after);
  EXPECT_EQ(render(*s, "d"), c.d_after);
  std::vector<WalOp> ops;
  for (const auto& [op, key] : log) ops.push_back(op);
  EXPECT_EQ(ops, c.logged);
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  EXPECT_EQ(s->audit_empty_collections(), 0u);
}

const std::vector<WalOp> kNone{};
std::vector<WalOp> ops(std::initializer_list<WalOp> xs) { return xs; }

INSTANTIATE_TEST_SUITE_P(
    Lists, ListWrites,
    ::testing::Values(
        WriteCase{"LsetHead", [](Store& s) { return render(s.lset("l", 0, "zz")); }, "ok", "zz,b,c,a", "x",
                  ops({WalOp::LSet})},
        WriteCase{"LsetFromTailLonger", [](Store& s) { return render(s.lset("l", -1, Bytes(300, 'q'))); }, "ok",
                  "a,b,c," + Bytes(300, 'q'), "x", ops({WalOp::LSet})},
        WriteCase{"LsetPastTail", [](Store& s) { return render(s.lset("l", 4, "z")); }, "error:index out of range",
                  "a,b,c,a", "x", kNone},
        WriteCase{"LsetPastHead", [](Store& s) { return render(s.lset("l", -5, "z")); },
                  "error:index out of range", "a,b,c,a", "x", kNone},
        WriteCase{"LsetMissing", [](Store& s) { return render(s.lset("nope", 0, "z")); }, "error:no such key",
                  "a,b,c,a", "x", kNone},
        WriteCase{"LsetString", [](Store& s) { return render(s.lset("str", 0, "z")); },
                  "error:" + std::string(store_error_text(StoreError::WrongType)), "a,b,c,a", "x", kNone},
        WriteCase{"LtrimMiddle", [](Store& s) { return render(s.ltrim("l", 1, -2)); }, "ok", "b,c", "x",
                  ops({WalOp::LTrim})},
        WriteCase{"LtrimClampsBothEnds", [](Store& s) { return render(s.ltrim("l", -100, 100)); }, "ok",
                  "a,b,c,a", "x", kNone},
        WriteCase{"LtrimTail", [](Store& s) { return render(s.ltrim("l", -2, -1)); }, "ok", "c,a", "x",
                  ops({WalOp::LTrim})},
        WriteCase{"LtrimToNothing", [](Store& s) { return render(s.ltrim("l", 3, 1)); }, "ok", "-", "x",
                  ops({WalOp::LTrim, WalOp::Del})},
        WriteCase{"LtrimPastTheEnd", [](Store& s) { return render(s.ltrim("l", 4, 10)); }, "ok", "-", "x",
                  ops({WalOp::LTrim, WalOp::Del})},
        WriteCase{"LtrimMissing", [](Store& s) { return render(s.ltrim("nope", 0, 1)); }, "ok", "a,b,c,a", "x",
                  kNone},
        WriteCase{"LremAll", [](Store& s) { return render(s.lrem("l", 0, "a")); }, "2", "b,c", "x",
                  ops({WalOp::LRem})},
        WriteCase{"LremFirst", [](Store& s) { return render(s.lrem("l", 1, "a")); }, "1", "b,c,a", "x",
                  ops({WalOp::LRem})},
        WriteCase{"LremLast", [](Store& s) { return render(s.lrem("l", -1, "a")); }, "1", "a,b,c", "x",
                  ops({WalOp::LRem})},
        WriteCase{"LremNoMatch", [](Store& s) { return render(s.lrem("l", 0, "q")); }, "0", "a,b,c,a", "x", kNone},
        WriteCase{"LremEmpties", [](Store& s) { return render(s.lrem("d", -5, "x")); }, "1", "a,b,c,a", "-",
                  ops({WalOp::LRem, WalOp::Del})},
        WriteCase{"LremString", [](Store& s) { return render(s.lrem("str", 0, "v")); },
                  "error:" + std::string(store_error_text(StoreError::WrongType)), "a,b,c,a", "x", kNone},
        WriteCase{"LinsertBefore", [](Store& s) { return render(s.linsert("l", false, "a", "z")); }, "5",
                  "z,a,b,c,a", "x", ops({WalOp::LInsert})},
        WriteCase{"LinsertAfterLast", [](Store& s) { return render(s.linsert("l", true, "c", "z")); }, "5",
                  "a,b,c,z,a", "x", ops({WalOp::LInsert})},
        WriteCase{"LinsertNoPivot", [](Store& s) { return render(s.linsert("l", true, "q", "z")); }, "-1",
                  "a,b,c,a", "x", kNone},
        WriteCase{"LinsertMissing", [](Store& s) { return render(s.linsert("nope", true, "a", "z")); }, "0",
                  "a,b,c,a", "x", kNone},
        WriteCase{"LmoveLeftRight", [](Store& s) { return render(s.lmove("l", "d", true, false)); }, "a",
                  "b,c,a", "x,a", ops({WalOp::LMove})},
        WriteCase{"LmoveRightLeft", [](Store& s) { return render(s.lmove("l", "d", false, true)); }, "a",
                  "a,b,c", "a,x", ops({WalOp::LMove})},
        WriteCase{"LmoveEmptiesSource", [](Store& s) { return render(s.lmove("d", "l", true, true)); }, "x",
                  "x,a,b,c,a", "-", ops({WalOp::LMove, WalOp::Del})},
        WriteCase{"LmoveToNewKey",
                  [](Store& s) {
                    const std::string moved = render(s.lmove("d", "n", false, false));
                    return moved + ":" + render(s, "n");
                  }, "x:x",
                  "a,b,c,a", "-", ops({WalOp::LMove, WalOp::Del})},
        WriteCase{"RotateLeftToRight", [](Store& s) { return render(s.lmove("l", "l", true, false)); }, "a",
                  "b,c,a,a", "x", ops({WalOp::LMove})},
        WriteCase{"RotateRightToLeft", [](Store& s) { return render(s.lmove("l", "l", false, true)); }, "a",
                  "a,a,b,c", "x", ops({WalOp::LMove})},
        WriteCase{"RotateSingle", [](Store& s) { return render(s.lmove("d", "d", false, true)); }, "x", "a,b,c,a",
                  "x", ops({WalOp::LMove})},
        WriteCase{"LmoveMissingSource",
                  [](Store& s) {
                    const std::string moved = render(s.lmove("nope", "n", true, true));
                    return moved + ":" + render(s, "n");
                  }, "nil:-",
                  "a,b,c,a", "x", kNone},
        WriteCase{"LmoveOntoString", [](Store& s) { return render(s.lmove("l", "str", true, true)); },
                  "error:" + std::string(store_error_text(StoreError::WrongType)), "a,b,c,a", "x", kNone},
        WriteCase{"LmoveFromString", [](Store& s) { return render(s.lmove("str", "d", true, true)); },
                  "error:" + std::string(store_error_text(StoreError::WrongType)), "a,b,c,a", "x", kNone}),
    [](const auto& info) { return std::string(info.param.name); });

// LMOVE across shards holds both shard locks: items moved back and forth by two threads
// in opposite directions are never lost, duplicated or deadlocked on.
TEST(ListMoves, OppositeMovesAcrossShardsKeepEveryItem) {
  StoreConfig c;
  c.shards = 16;
  c.sweep_interval_ms = 0;
  auto s = Store::create(c, testing::make_fake_clock(), false);
  Bytes other = "b0";
  for (int i = 1; s->shard_index(other) == s->shard_index("a"); ++i) other = "b" + std::to_string(i);
  std::vector<Bytes> items;
  for (int i = 0; i < 100; ++i) items.push_back(std::to_string(i));
  ASSERT_TRUE(s->rpush("a", items).ok());
  ASSERT_TRUE(s->rpush(other, items).ok());
  auto mover = [&](BytesView from, BytesView to) {
    for (int i = 0; i < 20000; ++i) (void)s->lmove(from, to, i % 2 == 0, i % 3 == 0);
  };
  std::thread t1(mover, "a", other);
  std::thread t2(mover, other, "a");
  t1.join();
  t2.join();
  std::vector<Bytes> all = s->lrange("a", 0, -1).value();
  const std::vector<Bytes> rest = s->lrange(other, 0, -1).value();
  all.insert(all.end(), rest.begin(), rest.end());
  std::sort(all.begin(), all.end());
  std::vector<Bytes> want = items;
  for (const Bytes& b : items) want.push_back(b);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(all, want);
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
}

}  // namespace
}  // namespace vellum
