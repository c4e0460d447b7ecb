// Transactions: queueing and EXEC's answers, WATCH, the atomicity of EXEC against other
// connections, and the log's batch record (replayed whole, or not at all when torn).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "core/store.h"
#include "persist/data_dir.h"
#include "persist_util.h"
#include "server_conn.h"
#include "server/commands.h"

namespace vellum {
namespace {

using server::Reply;
using server::Request;
using server::ServerContext;
using testing::Conn;
using testing::Enc;
using testing::read_file;
using testing::write_file;

struct TxnTest : testing::PersistFixture {
  ServerContext ctx;
  void use(std::shared_ptr<Store> s) { ctx.store = std::move(s); }
  void use_memory(uint64_t shards = 64, uint64_t max_memory = 0) {
    StoreConfig c;
    c.shards = shards;
    c.sweep_interval_ms = 0;
    c.max_memory = max_memory;
    c.policy = EvictionPolicy::AllKeysLru;
    use(Store::create(c, clock, false));
  }
  Bytes key_in_other_shard(BytesView than) { return testing::key_in_other_shard(*ctx.store, than); }
};

const Reply kOk = Reply::simple("OK");
const Reply kQueued = Reply::simple("QUEUED");

TEST_F(TxnTest, QueueingAndExecReplies) {
  use_memory();
  Conn c(ctx);
  EXPECT_EQ(c({"EXEC"}), Reply::error("ERR EXEC without MULTI"));
  EXPECT_EQ(c({"DISCARD"}), Reply::error("ERR DISCARD without MULTI"));
  ASSERT_EQ(c({"SADD", "s", "m"}), Reply::from_int(1));
  EXPECT_EQ(c({"MULTI"}), kOk);
  EXPECT_EQ(c({"MULTI"}), Reply::error("ERR MULTI calls can not be nested"));
  EXPECT_EQ(c({"WATCH", "x"}), Reply::error("ERR WATCH inside MULTI is not allowed"));
  EXPECT_EQ(c({"SET", "a", "1"}), kQueued);
  EXPECT_EQ(c({"INCR", "s"}), kQueued);
  EXPECT_EQ(c({"INCR", "a"}), kQueued);
  EXPECT_EQ(c({"DBSIZE"}), kQueued);
  // Nothing runs before EXEC.
  Conn other(ctx);
  EXPECT_EQ(other({"GET", "a"}), Reply::null());
  EXPECT_EQ(c({"EXEC"}),
            Reply::array({kOk, Reply::error("WRONGTYPE Operation against a key holding the wrong kind of value"),
                          Reply::from_int(2), Reply::from_int(2)}));
  EXPECT_EQ(c({"EXEC"}), Reply::error("ERR EXEC without MULTI"));
}

TEST_F(TxnTest, RefusedWhileQueuingAbortsAndRunsNothing) {
  use_memory();
  const std::vector<Request> refused = {{"NOSUCH", "x"}, {"GET"}, {"GET", "a", "b"}, {"SAVE"}};
  for (const Request& bad : refused) {
    Conn c(ctx);
    ASSERT_EQ(c({"MULTI"}), kOk);
    EXPECT_EQ(c({"SET", "a", "1"}), kQueued);
    EXPECT_EQ(c(bad).kind, Reply::Kind::Error) << bad[0];
    EXPECT_EQ(c({"SET", "b", "1"}), kQueued);
    EXPECT_EQ(c({"EXEC"}), Reply::error("EXECABORT Transaction discarded because of previous errors.")) << bad[0];
    EXPECT_EQ(ctx.store->key_count(), 0u) << bad[0];
    // The connection is out of MULTI and works as usual.
    EXPECT_EQ(c({"SET", "a", "1"}), kOk);
    ASSERT_TRUE(ctx.store->flush().ok());
  }
  Conn d(ctx);
  ASSERT_EQ(d({"MULTI"}), kOk);
  EXPECT_EQ(d({"SET", "a", "1"}), kQueued);
  EXPECT_EQ(d({"DISCARD"}), kOk);
  EXPECT_EQ(d({"GET", "a"}), Reply::null());
}

// Queued requests are charged to the server's request budget until EXEC, DISCARD or the
// end of the connection. One that finds no room is refused with the over-budget reply,
// the queue is dropped at once, and EXEC aborts; what follows the refusal is not kept.
TEST_F(TxnTest, QueuedRequestsAreChargedToTheRequestBudget) {
  use_memory();
  ctx.request_budget = std::make_shared<server::RequestBudget>(64 * 1024);
  server::RequestBudget& budget = *ctx.request_budget;
  const Bytes value(10 * 1024, 'v');
  const Reply over_budget = Reply::error(std::string(server::kOverBudgetReply));
  {
    Conn c(ctx);
    ASSERT_EQ(c({"MULTI"}), kOk);
    int queued = 0;
    Reply r;
    for (; queued < 100; ++queued) {
      r = c({"SET", "k" + std::to_string(queued), value});
      if (r != kQueued) break;
      EXPECT_GT(budget.held(), static_cast<uint64_t>(queued + 1) * value.size());
    }
    EXPECT_EQ(r, over_budget);
    EXPECT_EQ(queued, 6) << "64 KiB holds six queued 10 KiB values, not seven";
    EXPECT_EQ(budget.held(), 0u) << "the refused transaction still holds its queue";
    EXPECT_EQ(c({"SET", "after", value}), kQueued);
    EXPECT_EQ(budget.held(), 0u) << "a request queued after the refusal was kept";
    EXPECT_EQ(c({"EXEC"}), Reply::error("EXECABORT Transaction discarded because of previous errors."));
    EXPECT_EQ(ctx.store->key_count(), 0u);
    // The budget is whole again: a transaction within it runs.
    ASSERT_EQ(c({"MULTI"}), kOk);
    EXPECT_EQ(c({"SET", "a", value}), kQueued);
    EXPECT_GT(budget.held(), value.size());
    EXPECT_EQ(c({"EXEC"}), Reply::array({kOk}));
    EXPECT_EQ(budget.held(), 0u);
    ASSERT_EQ(c({"MULTI"}), kOk);
    EXPECT_EQ(c({"SET", "b", value}), kQueued);
    EXPECT_EQ(c({"DISCARD"}), kOk);
    EXPECT_EQ(budget.held(), 0u);
    // A connection that ends inside MULTI gives its charge back.
    ASSERT_EQ(c({"MULTI"}), kOk);
    EXPECT_EQ(c({"SET", "c", value}), kQueued);
    EXPECT_GT(budget.held(), 0u);
  }
  EXPECT_EQ(budget.held(), 0u);
  EXPECT_EQ(ctx.store->key_count(), 1u);
}

// Each way a watched key can change makes EXEC answer the null array and run nothing; a key in
// another shard, a read, an unwatch, or a sweeper pass that removes nothing leave it to run.
TEST_F(TxnTest, WatchInvalidation) {
  enum class How { Write, Delete, Expire, SweptAway, Evict, OtherShard, Read, Unwatch, SweepFindsNothing };
  for (How how : {How::Write, How::Delete, How::Expire, How::SweptAway, How::Evict, How::OtherShard, How::Read,
                  How::Unwatch, How::SweepFindsNothing}) {
    use_memory(64, how == How::Evict ? 4096 : 0);
    Conn c(ctx), other(ctx);
    ASSERT_EQ(other({"SET", "w", "1", "PX", "1000"}), kOk);
    ASSERT_EQ(c({"WATCH", "w"}), kOk);
    switch (how) {
      case How::Write: other({"SET", "w", "2"}); break;
      case How::Delete: other({"DEL", "w"}); break;
      case How::Expire: clock->advance(2000); break;
      case How::SweptAway:
        clock->advance(2000);
        for (int pass = 0; pass < 40 && ctx.store->key_count() > 0; ++pass) ctx.store->sweep_pass(clock->now_ms());
        ASSERT_EQ(ctx.store->key_count(), 0u);
        break;
      case How::SweepFindsNothing:
        for (int pass = 0; pass < 3; ++pass) ctx.store->sweep_pass(clock->now_ms());
        break;
      case How::Evict:
        for (int i = 0; i < 200 && ctx.store->exists("w"); ++i) other({"SET", "f" + std::to_string(i), Bytes(100, 'x')});
        ASSERT_FALSE(ctx.store->exists("w"));
        break;
      case How::OtherShard: other({"SET", key_in_other_shard("w"), "x"}); break;
      case How::Read: other({"GET", "w"}); break;
      case How::Unwatch: other({"SET", "w", "2"}); c({"UNWATCH"}); break;
    }
    ASSERT_EQ(c({"MULTI"}), kOk);
    ASSERT_EQ(c({"SET", "done", "1"}), kQueued);
    const bool runs =
        how == How::OtherShard || how == How::Read || how == How::Unwatch || how == How::SweepFindsNothing;
    EXPECT_EQ(c({"EXEC"}), runs ? Reply::array({kOk}) : Reply::null_array()) << static_cast<int>(how);
    EXPECT_EQ(ctx.store->exists("done"), runs);
    EXPECT_EQ(ctx.store->used_memory(), ctx.store->audit_charge_sum());
  }
}

// Writers move one unit between two keys in each transaction and readers read both in
// one; any reader that saw half a transaction would see a sum other than zero.
TEST_F(TxnTest, ExecIsAtomicAgainstOtherConnections) {
  use_memory(8);
  std::atomic<bool> bad{false};
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(ctx.store->set("f" + std::to_string(i), "x", std::nullopt, false, false).ok());
  }
  testing::run_together(4, [&](int t) {
    Conn c(ctx);
    for (int i = 0; i < 2000; ++i) {
      if (t < 2) {
        c({"MULTI"});
        c({"GET", "a"});
        c({"GET", "b"});
        Reply r = c({"EXEC"});
        const auto num = [](const Reply& x) { return x.kind == Reply::Kind::Bulk ? std::stoll(x.text) : 0LL; };
        if (r.kind != Reply::Kind::Array || num(r.elements[0]) + num(r.elements[1]) != 0) bad = true;
      } else {
        c({"MULTI"});
        c({"INCRBY", "a", "1"});
        c({"KEYS", "zz*"});  // scans every shard: a long window between the two writes
        c({"INCRBY", "b", "-1"});
        if (c({"EXEC"}).kind != Reply::Kind::Array) bad = true;
      }
    }
  });
  EXPECT_FALSE(bad);
  EXPECT_EQ(ctx.store->get("a").value(), std::optional<Bytes>("4000"));
}

TEST_F(TxnTest, BatchIsOneLogRecordReplayedWhole) {
  {
    use(open(FsyncPolicy::Always));
    Conn c(ctx);
    c({"MULTI"});
    c({"SET", "a", "1"});
    c({"RPUSH", "l", "x", "y"});
    c({"DEL", "nothing"});
    ASSERT_EQ(c({"EXEC"}).kind, Reply::Kind::Array);
    ctx.store.reset();
  }
  const std::string seg = read_file(dir.file("wal-0.log"));
  const std::string sub_set = Enc::op(1) + Enc::u64(0) + Enc::bytes("a") + "1";
  const std::string sub_push = Enc::op(7) + Enc::bytes("l") + Enc::list({"x", "y"});
  const std::string whole = Enc::record(Enc::op(13) + Enc::list({sub_set, sub_push}));
  ASSERT_EQ(seg, whole);
  // Every cut of the record is a torn tail: the batch applies whole or not at all.
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    write_file(dir.file("wal-0.log"), Enc::set("before", "1") + whole.substr(0, cut));
    auto s = open();
    ASSERT_TRUE(s) << cut;
    EXPECT_TRUE(s->exists("before"));
    const bool all = cut == whole.size();
    EXPECT_EQ(s->exists("a"), all) << cut;
    EXPECT_EQ(s->exists("l"), all) << cut;
    EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  }
}

TEST_F(TxnTest, MalformedBatchRefusesTheOpen) {
  const std::string nested = Enc::op(13) + Enc::list({Enc::op(2) + Enc::bytes("k")});
  for (const std::string& payload : {Enc::op(13) + Enc::list({nested}), Enc::op(13) + Enc::list({Enc::op(1)}),
                                     Enc::op(13) + Enc::varint(2) + Enc::bytes(Enc::op(2) + Enc::bytes("k"))}) {
    write_file(dir.file("wal-0.log"), Enc::record(payload) + Enc::set("after", "1"));
    const IoError e = open_error(config());
    EXPECT_NE(e.text.find("WAL record malformed"), std::string::npos) << e.text;
  }
}

// A log that takes single records and refuses batches, as a disk failing at EXEC's append.
class RefusingBatches final : public PersistHook {
 public:
  bool wal_append(const WalRecord& r) noexcept override { return r.op != WalOp::Batch; }
  bool encode_payload(const WalRecord& r, Bytes& out) const override {
    out.assign(1, static_cast<char>(r.op));
    return true;
  }
  std::string refusal_text() const override { return "persistence failed: refused"; }
};

// Under "always" a refused batch leaves memory as it was, for every kind of change: new,
// replaced, removed, collection and flushed keys, expiry and eviction included.
TEST_F(TxnTest, RefusedBatchLeavesNoTrace) {
  for (bool flush : {false, true}) {
    StoreConfig c;
    c.sweep_interval_ms = 0;
    c.fsync = FsyncPolicy::Always;
    c.max_memory = 6000;
    c.policy = EvictionPolicy::AllKeysLru;
    use(Store::create(c, clock, false));
    ctx.store->attach_persistence(std::make_unique<RefusingBatches>());
    Conn conn(ctx);
    conn({"SET", "s", "old"});
    conn({"RPUSH", "l", "a", "b"});
    conn({"HSET", "h", "f", "v"});
    conn({"SET", "t", "1", "PX", "10"});
    for (int i = 0; i < 20; ++i) conn({"SET", "f" + std::to_string(i), Bytes(100, 'x')});
    const auto before = ctx.store->keys("*");
    const auto s_before = ctx.store->get("s").value();
    const auto l_before = ctx.store->lrange("l", 0, -1).value();
    const auto h_before = ctx.store->hgetall("h").value();
    const uint64_t used = ctx.store->used_memory();
    clock->advance(100);
    conn({"MULTI"});
    conn({"SET", "s", "new"});
    conn({"LPOP", "l"});
    conn({"DEL", "h"});
    conn({"SET", "n", Bytes(2000, 'y')});
    conn({"SET", "t", "2"});
    if (flush) conn({"FLUSHALL"});
    conn({"RPUSH", "l2", "z"});
    EXPECT_EQ(conn({"EXEC"}), Reply::error("ERR persistence failed: refused"));
    auto after = ctx.store->keys("*");
    auto want = before;
    std::sort(after.begin(), after.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(after.size() + 1, want.size());  // t expired: gone for readers either way
    EXPECT_EQ(ctx.store->get("s").value(), s_before);
    EXPECT_EQ(ctx.store->lrange("l", 0, -1).value(), l_before);
    EXPECT_EQ(ctx.store->hgetall("h").value(), h_before);
    EXPECT_FALSE(ctx.store->exists("n"));
    EXPECT_FALSE(ctx.store->exists("l2"));
    EXPECT_EQ(ctx.store->used_memory(), used);
    EXPECT_EQ(ctx.store->used_memory(), ctx.store->audit_charge_sum());
  }
}

// The operations over two keys (LMOVE, RPOPLPUSH, RENAME) change their second key too; a
// refused batch puts that key back as well, whether it was present or new.
TEST_F(TxnTest, RefusedBatchPutsBackTheSecondKeyOfAMove) {
  StoreConfig c;
  c.sweep_interval_ms = 0;
  c.fsync = FsyncPolicy::Always;
  use(Store::create(c, clock, false));
  ctx.store->attach_persistence(std::make_unique<RefusingBatches>());
  Conn conn(ctx);
  conn({"RPUSH", "l", "a", "b"});
  conn({"RPUSH", "ld", "q"});
  conn({"SET", "r", "1"});
  const uint64_t used = ctx.store->used_memory();
  conn({"MULTI"});
  conn({"LMOVE", "l", "ld", "LEFT", "RIGHT"});
  conn({"RPOPLPUSH", "l", "fresh"});
  conn({"RENAME", "r", "r2"});
  EXPECT_EQ(conn({"EXEC"}), Reply::error("ERR persistence failed: refused"));
  EXPECT_EQ(ctx.store->lrange("l", 0, -1).value(), testing::items({"a", "b"}));
  EXPECT_EQ(ctx.store->lrange("ld", 0, -1).value(), testing::items({"q"}));
  EXPECT_FALSE(ctx.store->exists("fresh"));
  EXPECT_FALSE(ctx.store->exists("r2"));
  EXPECT_EQ(ctx.store->get("r").value(), std::optional<Bytes>("1"));
  EXPECT_EQ(ctx.store->used_memory(), used);
  EXPECT_EQ(ctx.store->used_memory(), ctx.store->audit_charge_sum());
}

}  // namespace
}  // namespace vellum
