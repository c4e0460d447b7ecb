// An exception on any long-lived thread (a connection, the sweeper, the fsync, snapshot
// and background-save threads) ends that thread's current piece of work, not the process:
// each is injected through the thread fault hook at a chosen site, and the test checks
// that the failure is answered or recorded and that the thread goes on.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/store.h"
#include "persist/data_dir.h"
#include "persist_util.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "server/commands.h"
#include "server/connection.h"
#include "server/server.h"

namespace vellum::server {
namespace {

enum class Throw { BadAlloc, RuntimeError };

// The installed hook throws at `site` the next `times` times it is reached (every time
// while `times` is negative), and counts the throws.
struct Injected {
  static inline std::atomic<const char*> site{""};
  static inline std::atomic<int> times{0};
  static inline std::atomic<int> fired{0};
  static inline std::atomic<Throw> kind{Throw::BadAlloc};

  static void hook(std::string_view at) {
    if (at != site.load()) return;
    int left = times.load();
    while (left != 0 && !times.compare_exchange_weak(left, left < 0 ? left : left - 1)) {
    }
    if (left == 0) return;
    fired.fetch_add(1);
    if (kind.load() == Throw::BadAlloc) throw std::bad_alloc();
    throw std::runtime_error("injected failure");
  }
};

// Installs the hook for one scope.
class Fault {
 public:
  Fault(const char* site, int times, Throw kind = Throw::BadAlloc) {
    Injected::site = site;
    Injected::times = times;
    Injected::fired = 0;
    Injected::kind = kind;
    set_thread_fault_hook(&Injected::hook);
  }
  ~Fault() { disarm(); }
  Fault(const Fault&) = delete;
  Fault& operator=(const Fault&) = delete;
  void disarm() { set_thread_fault_hook(nullptr); }
  int fired() const { return Injected::fired.load(); }
};

// Polls `pred` every 10 ms for up to 20 s: generous, so a loaded machine does not fail it.
template <class Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 2000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

std::string what_thrown(Throw kind) { return kind == Throw::BadAlloc ? "out of memory" : "injected failure"; }

std::optional<std::string> last_error(const Store& store) { return persist::read_persist_stats(store)->last_error; }

std::shared_ptr<Store> open_persistent(const testing::TempDir& dir, FsyncPolicy fsync, uint64_t snapshot_interval) {
  StoreConfig config;
  config.persist_dir = dir.path();
  config.fsync = fsync;
  config.snapshot_interval = snapshot_interval;
  config.sweep_interval_ms = 0;
  auto opened = persist::open_store(config);
  EXPECT_TRUE(opened.ok()) << opened.error().text;
  return opened.value();
}

std::string exchange(uint16_t port, const std::string& request) {
  auto addrs = resolve("127.0.0.1", port);
  EXPECT_TRUE(addrs.ok() && !addrs.value().empty());
  auto s = Socket::connect_with_timeout(addrs.value().at(0), 1000);
  EXPECT_TRUE(s.ok());
  Socket sock = std::move(s).value();
  EXPECT_TRUE(sock.set_receive_timeout(10000).ok());
  EXPECT_TRUE(sock.send_all(request.data(), request.size()).ok());
  // Everything until the server closes.
  std::string out;
  char buf[256];
  for (;;) {
    auto got = sock.recv(buf, sizeof buf);
    if (!got || got.value() == 0) return out;
    out.append(buf, got.value());
  }
}

class ConnectionFault : public ::testing::TestWithParam<Throw> {};

TEST_P(ConnectionFault, IsAnsweredAndClosesOnlyThatConnection) {
  StoreConfig config;
  config.sweep_interval_ms = 0;
  auto store = Store::create(config, nullptr, /*start_sweeper=*/false);
  Server server(store, "127.0.0.1", 0, std::nullopt);
  ASSERT_TRUE(server.start().ok());
  {
    Fault fault("request", 1, GetParam());
    const std::string reply(GetParam() == Throw::BadAlloc ? kOutOfMemoryReply : kInternalErrorReply);
    // The failure hits the SET before it runs, and the connection closes after the reply.
    EXPECT_EQ(exchange(server.port(), "SET k v\r\n"), "-" + reply + "\r\n");
    EXPECT_EQ(fault.fired(), 1);
  }
  EXPECT_FALSE(store->exists("k"));
  EXPECT_EQ(exchange(server.port(), "SET k v\r\nGET k\r\nQUIT\r\n"), "+OK\r\n$1\r\nv\r\n+OK\r\n");
  EXPECT_TRUE(server.running());
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConnectionFault, ::testing::Values(Throw::BadAlloc, Throw::RuntimeError));

TEST(BackgroundFault, SweeperSkipsAFailedPassAndGoesOn) {
  StoreConfig config;
  config.sweep_interval_ms = 10;
  auto store = Store::create(config);
  Fault fault("sweep", 3);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(store->set("k" + std::to_string(i), "v", 1, false, false).ok());
  ASSERT_TRUE(eventually([&] { return fault.fired() == 3; })) << "the sweeper never reached its passes";
  // Only a pass after the failed ones removes keys; nothing reads them, so nothing else does.
  EXPECT_TRUE(eventually([&] { return store->counters().expired == 50; }))
      << "expired " << store->counters().expired << " of 50";
  store->mark_closed();
}

TEST(BackgroundFault, FsyncThreadRecordsTheFailureAndGoesOn) {
  testing::TempDir dir;
  auto store = open_persistent(dir, FsyncPolicy::EverySec, 0);
  ASSERT_TRUE(store->set("k", "v", std::nullopt, false, false).ok());
  {
    Fault fault("fsync", -1);
    // A second throw means the thread outlived the first, a period later.
    ASSERT_TRUE(eventually([&] { return fault.fired() >= 2; }));
    EXPECT_EQ(last_error(*store), "fsync failed: out of memory");
  }
  EXPECT_TRUE(store->set("k2", "v", std::nullopt, false, false).ok());
  EXPECT_TRUE(persist::close(*store).ok());
  EXPECT_EQ(last_error(*store), std::nullopt) << "the final save did not succeed";
}

TEST(BackgroundFault, SnapshotThreadRecordsTheFailedSaveAndRetries) {
  testing::TempDir dir;
  auto store = open_persistent(dir, FsyncPolicy::Never, 1);
  ASSERT_TRUE(store->set("k", "v", std::nullopt, false, false).ok());
  {
    Fault fault("save", -1);
    ASSERT_TRUE(eventually([&] { return fault.fired() >= 2; }));
    EXPECT_EQ(last_error(*store), "save failed: out of memory");
    EXPECT_EQ(persist::read_persist_stats(*store)->last_save_ms, 0u);
  }
  // Once allocations succeed again, the next period saves and clears the error.
  EXPECT_TRUE(eventually([&] { return persist::read_persist_stats(*store)->last_save_ms != 0; }));
  EXPECT_EQ(last_error(*store), std::nullopt);
  EXPECT_TRUE(persist::close(*store).ok());
}

class BgsaveFault : public ::testing::TestWithParam<Throw> {};

TEST_P(BgsaveFault, RecordsSaveFailedAndClearsTheFlag) {
  testing::TempDir dir;
  ServerContext ctx;
  ctx.store = open_persistent(dir, FsyncPolicy::Never, 0);
  ConnectionState state = initial_connection_state(ctx);
  auto run = [&](const Request& r) { return dispatch(ctx, state, r).reply; };
  ASSERT_EQ(run({"SET", "k", "v"}), Reply::simple("OK"));
  {
    Fault fault("save", 1, GetParam());
    EXPECT_EQ(run({"BGSAVE"}), Reply::simple("Background saving started"));
    ASSERT_TRUE(eventually([&] { return !ctx.bgsave_running->load(); })) << "the in-progress flag stayed set";
    EXPECT_EQ(fault.fired(), 1);
  }
  EXPECT_EQ(last_error(*ctx.store), "save failed: " + what_thrown(GetParam()));
  EXPECT_EQ(persist::read_persist_stats(*ctx.store)->last_save_ms, 0u);

  // The same failure under SAVE is its error reply.
  {
    Fault fault("save", 1, GetParam());
    const std::string reason =
        GetParam() == Throw::BadAlloc ? IoError::from_errno(ENOMEM).text : std::string("injected failure");
    EXPECT_EQ(run({"SAVE"}), Reply::error("ERR save failed: " + reason));
  }

  EXPECT_EQ(run({"BGSAVE"}), Reply::simple("Background saving started"));
  ASSERT_TRUE(eventually([&] { return !ctx.bgsave_running->load(); }));
  EXPECT_EQ(last_error(*ctx.store), std::nullopt);
  EXPECT_NE(persist::read_persist_stats(*ctx.store)->last_save_ms, 0u);
  EXPECT_TRUE(persist::close(*ctx.store).ok());
}

INSTANTIATE_TEST_SUITE_P(Kinds, BgsaveFault, ::testing::Values(Throw::BadAlloc, Throw::RuntimeError));

}  // namespace
}  // namespace vellum::server
