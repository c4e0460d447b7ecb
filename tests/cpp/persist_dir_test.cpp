// The data directory's life: open, save, close, drop, the directory lock across threads
// and processes, and replay that rebuilds the logged history regardless of the clock.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "persist/data_dir.h"
#include "core/store.h"
#include "persist_util.h"
#include "platform/file.h"
#include "platform/process.h"

namespace vellum {
namespace {

using testing::Enc;
using testing::file_exists;
using testing::items;
using testing::PersistFixture;
using testing::read_file;
using testing::write_file;

using Lifecycle = PersistFixture;

TEST_F(Lifecycle, FreshDirectoryStartsAtSegmentZero) {
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_TRUE(file_exists(dir.file("wal-0.log")));
  EXPECT_EQ(read_file(dir.file("LOCK")), std::to_string(current_pid()) + "\n");
  auto st = persist::read_persist_stats(*s);
  ASSERT_TRUE(st);
  EXPECT_EQ(st->snapshot_bytes, 0u);
  EXPECT_EQ(st->loaded_keys, 0u);
  EXPECT_EQ(st->last_save_ms, 0u);
  EXPECT_EQ(st->wal_bytes, 0u);
  EXPECT_EQ(st->last_error, std::nullopt);
}

TEST_F(Lifecycle, SaveRotatesAndDeletesCoveredSegments) {
  auto s = open();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(persist::save(*s).ok());
  write_file(dir.file("wal-1.log"), "");    // a stray older segment
  write_file(dir.file("wal-0002.log"), "");  // listed under a non-canonical name
  ASSERT_TRUE(s->set("k", "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(persist::save(*s).ok());
  for (const char* gone : {"wal-0.log", "wal-1.log", "wal-0002.log", "wal-3.log"}) {
    EXPECT_FALSE(file_exists(dir.file(gone))) << gone;
  }
  EXPECT_TRUE(file_exists(dir.file("wal-4.log")));
  EXPECT_EQ(read_file(dir.file("snapshot.kvs")).substr(12, 8), Enc::u64(4));
  auto st = persist::read_persist_stats(*s);
  EXPECT_EQ(st->last_save_ms, clock->now_ms());
  EXPECT_EQ(st->wal_bytes, 0u);
}

TEST_F(Lifecycle, CloseSavesReleasesAndIsIdempotent) {
  auto s = open();
  ASSERT_TRUE(s->hset("h", "f", "v").ok());
  EXPECT_TRUE(persist::close(*s).ok());
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
  const std::string segment = read_file(dir.file("wal-1.log"));
  EXPECT_TRUE(persist::close(*s).ok());  // nothing happens the second time
  auto saved = persist::save(*s);
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().text, "store is closed");
  // After close, mutations still work in memory and nothing reaches any segment.
  ASSERT_TRUE(s->set("after", "1", std::nullopt, false, false).ok());
  EXPECT_EQ(read_file(dir.file("wal-1.log")), segment);
  EXPECT_TRUE(persist::read_persist_stats(*s));

  // The same process reopens at once and finds the data in the final snapshot.
  auto again = open();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->hget("h", "f").value(), "v");
  EXPECT_FALSE(again->exists("after"));
  EXPECT_EQ(persist::read_persist_stats(*again)->loaded_keys, 1u);
}

TEST_F(Lifecycle, DropWithoutCloseKeepsTheLogAndReleasesTheLock) {
  auto s = open();
  ASSERT_TRUE(s->set("k", "v", std::nullopt, false, false).ok());
  s.reset();
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
  EXPECT_FALSE(file_exists(dir.file("snapshot.kvs")));
  auto again = open();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->get("k").value(), "v");
}

TEST_F(Lifecycle, StoreWithoutPersistenceRefusesSave) {
  StoreConfig c;
  c.sweep_interval_ms = 0;
  auto s = persist::open_store(c, clock);
  ASSERT_TRUE(s.ok());
  auto r = persist::save(*s.value());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, IoErrorKind::InvalidInput);
  EXPECT_EQ(r.error().text, "persistence is not enabled for this store");
  EXPECT_FALSE(persist::read_persist_stats(*s.value()));
}

TEST_F(Lifecycle, LeftoverTempSnapshotIsDeleted) {
  write_file(dir.file("snapshot.tmp"), "partial");
  auto s = open();
  EXPECT_FALSE(file_exists(dir.file("snapshot.tmp")));
}

TEST_F(Lifecycle, SnapshotThreadSavesOnlyWhenTheSegmentHasRecords) {
  StoreConfig c = config();
  c.snapshot_interval = 1;
  auto r = persist::open_store(c, clock);
  ASSERT_TRUE(r.ok());
  auto s = r.value();
  std::this_thread::sleep_for(std::chrono::milliseconds(1150));
  EXPECT_FALSE(file_exists(dir.file("snapshot.kvs")));
  ASSERT_TRUE(s->set("k", "v", std::nullopt, false, false).ok());
  // The period is counted in 10 ms sleeps, which run long on a loaded machine: poll for the
  // snapshot with a generous bound instead of waiting exactly one period.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!file_exists(dir.file("snapshot.kvs")) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(file_exists(dir.file("snapshot.kvs")));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(persist::close(*s).ok());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

// ---- replay rebuilds history, not the present ----

using ReplayClock = PersistFixture;

TEST_F(ReplayClock, PushAfterExpirySetStaysUnderThatExpiry) {
  auto s = open();
  ASSERT_TRUE(s->rpush("l", items({"a"})).ok());
  EXPECT_TRUE(s->pexpire("l", 800).value());
  ASSERT_TRUE(s->rpush("l", items({"b"})).ok());
  s.reset();
  clock->advance(1000);
  auto again = open();
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->exists("l"));
  EXPECT_EQ(again->llen("l").value(), 0u);
  // The purge logged the removal in the current segment.
  const std::string seg = read_file(dir.file("wal-0.log"));
  EXPECT_TRUE(seg.ends_with(Enc::del("l")));
}

TEST_F(ReplayClock, PopAndPersistBeforeExpiryKeepTheList) {
  auto s = open();
  ASSERT_TRUE(s->rpush("l", items({"a", "b", "c"})).ok());
  EXPECT_TRUE(s->pexpire("l", 60000).value());
  ASSERT_TRUE(s->lpop("l").ok());
  EXPECT_TRUE(s->persist("l").value());
  s.reset();
  clock->advance(120000);
  auto again = open();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->lrange("l", 0, -1).value(), items({"b", "c"}));
  EXPECT_EQ(again->pttl("l"), -1);
}

TEST_F(ReplayClock, ReplayIgnoresTheMemoryCeiling) {
  auto s = open();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(s->set("k" + std::to_string(i), std::string(100, 'x'), std::nullopt, false, false).ok());
  }
  s.reset();
  StoreConfig c = config();
  c.max_memory = 1000;  // far below what the log holds
  auto r = persist::open_store(c, clock);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value()->key_count(), 50u);
}

TEST_F(ReplayClock, ExpiredWhileDownIsPurgedAndLogged) {
  auto s = open();
  ASSERT_TRUE(s->set("t", "1", 500, false, false).ok());
  ASSERT_TRUE(s->set("keep", "1", std::nullopt, false, false).ok());
  EXPECT_TRUE(persist::close(*s).ok());
  clock->advance(1000);
  auto again = open();
  EXPECT_FALSE(again->exists("t"));
  EXPECT_EQ(read_file(dir.file("wal-1.log")), Enc::del("t"));
  EXPECT_EQ(persist::read_persist_stats(*again)->loaded_keys, 1u);
}

// ---- segments are used under the names they are listed with ----

using SegmentNames = PersistFixture;

TEST_F(SegmentNames, NewestListedSegmentStaysCurrent) {
  write_file(dir.file("wal-0004.log"), Enc::set("a", "1"));
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->get("a").value(), "1");
  ASSERT_TRUE(s->set("b", "2", std::nullopt, false, false).ok());
  EXPECT_FALSE(file_exists(dir.file("wal-4.log")));
  EXPECT_EQ(read_file(dir.file("wal-0004.log")), Enc::set("a", "1") + Enc::set("b", "2"));
  ASSERT_TRUE(persist::save(*s).ok());
  EXPECT_FALSE(file_exists(dir.file("wal-0004.log")));
  EXPECT_TRUE(file_exists(dir.file("wal-5.log")));
}

TEST_F(SegmentNames, CoveredSegmentIsDeletedByItsListedName) {
  write_file(dir.file("snapshot.kvs"), Enc::snapshot(5, "", 0));
  write_file(dir.file("wal-003.log"), Enc::set("old", "1"));
  write_file(dir.file("wal-05.log"), Enc::set("new", "1"));
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_FALSE(file_exists(dir.file("wal-003.log")));
  EXPECT_FALSE(s->exists("old"));
  EXPECT_TRUE(s->exists("new"));
  EXPECT_FALSE(file_exists(dir.file("wal-5.log")));
}

// ---- the directory lock ----

using DirLockTest = PersistFixture;

uint32_t dead_pid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return static_cast<uint32_t>(child);
}

TEST_F(DirLockTest, StaleLockContentsAreTakenOver) {
  const std::string contents[] = {std::to_string(dead_pid()) + "\n", std::to_string(current_pid()) + "\n",
                                  "abc", "-1", "4294967296", "", "  \r\n"};
  for (const std::string& content : contents) {
    write_file(dir.file("LOCK"), content);
    auto s = open();
    ASSERT_TRUE(s) << content;
    EXPECT_EQ(read_file(dir.file("LOCK")), std::to_string(current_pid()) + "\n");
    EXPECT_TRUE(persist::close(*s).ok());
  }
}

TEST_F(DirLockTest, LiveHolderInAnotherProcessBlocks) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  if (child == 0) {
    auto r = persist::open_store(config(), clock);
    char c = r.ok() ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(done[0], &c, 1);
    if (r.ok()) (void)persist::close(*r.value());
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  IoError e = open_error(config());
  EXPECT_EQ(e.kind, IoErrorKind::WouldBlock);
  EXPECT_EQ(e.text, "data directory is locked by another live process");
  EXPECT_EQ(read_file(dir.file("LOCK")), std::to_string(child) + "\n");
  // A live pid written by hand blocks the same way.
  (void)!write(done[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
  write_file(dir.file("LOCK"), std::to_string(getppid()));
  EXPECT_EQ(open_error(config()).kind, IoErrorKind::WouldBlock);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(DirLockTest, FlockSerialisesLockAcquisitionAcrossProcesses) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    auto held = DirFlock::lock(dir.path());
    (void)!write(ready[1], "x", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    _exit(held.ok() ? 0 : 1);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const auto t0 = std::chrono::steady_clock::now();
  auto s = open();
  EXPECT_TRUE(s);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(ready[0]);
  close(ready[1]);
}

TEST_F(DirLockTest, SecondOpenInProcessWaitsForClose) {
  auto first = open();
  ASSERT_TRUE(first);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    (void)persist::close(*first);
  });
  const auto t0 = std::chrono::steady_clock::now();
  auto second = persist::open_store(config(), clock);
  const auto waited = std::chrono::steady_clock::now() - t0;
  closer.join();
  ASSERT_TRUE(second.ok()) << second.error().text;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

TEST_F(DirLockTest, SecondOpenInProcessGivesUpAfterTwoSeconds) {
  auto first = open();
  ASSERT_TRUE(first);
  // The same directory through another spelling resolves to the same canonical path.
  StoreConfig c = config();
  c.persist_dir = dir.path() + "/./";
  const auto t0 = std::chrono::steady_clock::now();
  IoError e = open_error(c);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(e.kind, IoErrorKind::WouldBlock);
  EXPECT_EQ(e.text, "data directory is locked by another live process");
  EXPECT_GE(waited, std::chrono::milliseconds(1990));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_TRUE(file_exists(dir.file("LOCK")));  // the holder's lock is untouched
}

TEST_F(DirLockTest, FailedOpenReleasesTheLock) {
  write_file(dir.file("wal-0.log"), Enc::record(Enc::op(99)));
  EXPECT_EQ(open_error(config()).kind, IoErrorKind::InvalidData);
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
  std::filesystem::remove(dir.file("wal-0.log"));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(open());  // unregistered too: no 2 s wait
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

TEST_F(DirLockTest, DirectoryIsCreatedWithParents) {
  StoreConfig c = config();
  c.persist_dir = dir.path() + "/a/b/c";
  auto r = persist::open_store(c, clock);
  ASSERT_TRUE(r.ok()) << r.error().text;
  EXPECT_TRUE(file_exists(dir.path() + "/a/b/c/wal-0.log"));
}

}  // namespace
}  // namespace vellum
