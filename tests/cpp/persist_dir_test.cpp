// The data directory's life: open, save, close, drop, the directory lock across threads
// and processes, and replay that rebuilds the logged history regardless of the clock.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "persist/data_dir.h"
#include "core/store.h"
#include "persist/dir_lock.h"
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

// Every list write in place and every move, logged under each policy and replayed into a
// fresh open: the same lists, the same accounting, and the segment is all that held them.
class ListReplay : public PersistFixture, public ::testing::WithParamInterface<FsyncPolicy> {};

TEST_P(ListReplay, WritesInPlaceAndMovesReplayToTheSameLists) {
  StoreConfig c = config(GetParam());
  c.shards = 8;
  const std::vector<std::string> keys = {"l", "m", "gone", "fresh", "rot"};
  std::map<std::string, std::vector<Bytes>> want;
  uint64_t used = 0;
  {
    auto r = persist::open_store(c, clock);
    ASSERT_TRUE(r.ok());
    Store& s = *r.value();
    ASSERT_TRUE(s.rpush("l", items({"a", "b", "c", "a", "d", "a"})).ok());
    ASSERT_TRUE(s.rpush("m", items({"x"})).ok());
    ASSERT_TRUE(s.rpush("gone", items({"g"})).ok());
    ASSERT_TRUE(s.rpush("rot", items({"1", "2", "3"})).ok());
    ASSERT_TRUE(s.lset("l", -2, "D").ok());
    ASSERT_TRUE(s.linsert("l", false, "b", "B").ok());
    ASSERT_TRUE(s.linsert("l", true, "c", "C").ok());
    EXPECT_EQ(s.lrem("l", -1, "a").value(), 1u);
    ASSERT_TRUE(s.ltrim("l", 1, -1).ok());
    EXPECT_EQ(s.lmove("l", "m", true, false).value(), std::optional<Bytes>("B"));
    EXPECT_EQ(s.lmove("gone", "m", false, true).value(), std::optional<Bytes>("g"));
    EXPECT_EQ(s.lmove("m", "fresh", false, false).value(), std::optional<Bytes>("B"));
    EXPECT_EQ(s.lmove("rot", "rot", true, false).value(), std::optional<Bytes>("1"));
    EXPECT_EQ(s.lmove("rot", "rot", false, true).value(), std::optional<Bytes>("1"));
    EXPECT_EQ(s.lmove("rot", "rot", false, true).value(), std::optional<Bytes>("3"));
    EXPECT_EQ(s.lrem("m", 0, "x").value(), 1u);
    ASSERT_TRUE(s.rpush("m", items({"y", "z"})).ok());
    ASSERT_TRUE(s.ltrim("m", 5, 9).ok());
    for (const auto& k : keys) want[k] = s.lrange(k, 0, -1).value();
    EXPECT_EQ(want["l"], items({"b", "c", "C", "a", "D"}));
    EXPECT_EQ(want["rot"], items({"3", "1", "2"}));
    EXPECT_EQ(want["fresh"], items({"B"}));
    EXPECT_TRUE(want["m"].empty());
    EXPECT_TRUE(want["gone"].empty());
    used = s.used_memory();
    EXPECT_EQ(used, s.audit_charge_sum());
  }
  EXPECT_FALSE(file_exists(dir.file("snapshot.kvs")));
  auto r = persist::open_store(c, clock);
  ASSERT_TRUE(r.ok());
  Store& again = *r.value();
  for (const auto& k : keys) EXPECT_EQ(again.lrange(k, 0, -1).value(), want[k]) << k;
  EXPECT_EQ(again.key_count(), 3u);
  EXPECT_EQ(again.used_memory(), used);
  EXPECT_EQ(again.audit_empty_collections(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Policies, ListReplay,
                         ::testing::Values(FsyncPolicy::Always, FsyncPolicy::EverySec, FsyncPolicy::Never));

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
  // Since the holder is the process holding LOCK's flock, the error names its pid after
  // the old text.
  EXPECT_EQ(e.text, "data directory is locked by another live process (pid " + std::to_string(child) + ")");
  EXPECT_EQ(read_file(dir.file("LOCK")), std::to_string(child) + "\n");
  (void)!write(done[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
  // A live pid written by hand used to block the same way; since liveness is the flock on
  // LOCK it is a stale LOCK, taken over (StaleLockNamingALiveProcess below).
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
  // Since the error tells a holder in this process from one elsewhere, it says so.
  EXPECT_EQ(e.text, "data directory is already open in this process (pid " + std::to_string(current_pid()) + ")");
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

// A LOCK naming a live process that holds no flock on it means the pid was reused (pid 1
// in a container after a crash, an unrelated parent, this very process). The open takes
// it over and says so in last_error, beside a repaired tail; a dead pid or content that
// names nobody is the ordinary leftover of a crash and goes unremarked.
TEST_F(DirLockTest, StaleLockNamingALiveProcessIsTakenOverWithAWarning) {
  for (uint32_t pid : {1u, static_cast<uint32_t>(getppid()), current_pid()}) {
    StoreConfig c = config();
    c.persist_dir = dir.path() + "/" + std::to_string(pid);
    std::filesystem::create_directory(*c.persist_dir);
    write_file(*c.persist_dir + "/LOCK", std::to_string(pid) + "\n");
    write_file(*c.persist_dir + "/wal-0.log", std::string("\x05\x00", 2));  // a torn tail
    auto s = persist::open_store(c, clock);
    ASSERT_TRUE(s.ok()) << pid << ": " << s.error().text;
    const std::string err = last_error(*s.value()).value_or("");
    EXPECT_NE(err.find("stale LOCK taken over: it names "), std::string::npos) << err;
    EXPECT_NE(err.find("pid " + std::to_string(pid)), std::string::npos) << err;
    EXPECT_NE(err.find("torn WAL tail"), std::string::npos) << err;
    EXPECT_EQ(read_file(*c.persist_dir + "/LOCK"), std::to_string(current_pid()) + "\n");
    EXPECT_TRUE(persist::close(*s.value()).ok());
  }
  for (const std::string& content : {std::to_string(dead_pid()) + "\n", std::string("abc"), std::string()}) {
    write_file(dir.file("LOCK"), content);
    auto s = open();
    ASSERT_TRUE(s) << content;
    EXPECT_EQ(last_error(*s), std::nullopt) << content;
    EXPECT_TRUE(persist::close(*s).ok());
  }
}

// Runs `body` in a child made by fork; 0 when it returned true.
int exit_code_in_child(const std::function<bool()>& body) {
  pid_t child = fork();
  if (child == 0) _exit(body() ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// A child made by fork is never the holder: releasing its copy of the lock neither deletes
// LOCK nor unlocks it, it finds the directory held by its parent, and once the parent dies
// without releasing, a still running child does not keep the directory locked.
TEST_F(DirLockTest, ForkedChildNeitherReleasesNorKeepsTheParentsLock) {
  const std::string canonical = canonical_dir(dir.path()).value();
  auto lock = persist::acquire_dir_lock(dir.path(), canonical);
  ASSERT_TRUE(lock.ok()) << lock.error().text;
  const std::string held_by_parent =
      std::string(persist::kLockedText) + " (pid " + std::to_string(current_pid()) + ")";
  EXPECT_EQ(exit_code_in_child([&] {
              lock.value().release();
              auto again = persist::acquire_dir_lock(dir.path(), canonical);
              return !again.ok() && again.error().text == held_by_parent;
            }),
            0);
  EXPECT_TRUE(lock.value().held());
  EXPECT_EQ(read_file(dir.file("LOCK")), std::to_string(current_pid()) + "\n");
  EXPECT_EQ(exit_code_in_child([&] {
              auto again = persist::acquire_dir_lock(dir.path(), canonical);
              return !again.ok() && again.error().text == held_by_parent;
            }),
            0);
  lock.value().release();

  int gate[2];
  int ready[2];
  ASSERT_EQ(pipe(gate), 0);
  ASSERT_EQ(pipe(ready), 0);
  EXPECT_EQ(exit_code_in_child([&] {
              auto held = persist::acquire_dir_lock(dir.path(), canonical);
              if (!held.ok()) return false;
              pid_t grandchild = fork();
              if (grandchild == 0) {
                // fork has returned here, so the fork handlers have dropped this copy of
                // the lock; only then may the child die.
                (void)!write(ready[1], "r", 1);
                char c;
                (void)!read(gate[0], &c, 1);
                _exit(0);
              }
              char c;
              if (grandchild < 0 || read(ready[0], &c, 1) != 1) _exit(1);
              _exit(0);  // dies holding the lock: no release runs
            }),
            0);
  close(ready[0]);
  close(ready[1]);
  auto s = open();  // the grandchild still runs, but holds nothing
  EXPECT_TRUE(s);
  (void)!write(gate[1], "x", 1);
  close(gate[0]);
  close(gate[1]);
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Whatever the umask, each directory the core creates is 0700 and each file it writes
// 0600: LOCK, the segments (one the directory already had included) and the snapshot,
// which keeps the mode of the temporary file it was written as. A directory that already
// existed keeps its mode.
class PrivateModes : public PersistFixture, public ::testing::WithParamInterface<mode_t> {
 protected:
  void SetUp() override { saved_ = ::umask(GetParam()); }
  void TearDown() override { ::umask(saved_); }
  mode_t saved_ = 0;
};

TEST_P(PrivateModes, CreatedDirectoryIsOwnerOnlyAndEveryFileOwnerReadWrite) {
  StoreConfig c = config();
  c.persist_dir = dir.path() + "/made/data";
  auto made = persist::open_store(c, clock);
  ASSERT_TRUE(made.ok()) << made.error().text;
  ASSERT_TRUE(made.value()->set("k", "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(persist::save(*made.value()).ok());
  for (const char* d : {"/made", "/made/data"}) EXPECT_EQ(mode_of(dir.path() + d), 0700u) << d;
  for (const char* f : {"LOCK", "wal-1.log", "snapshot.kvs"}) {
    EXPECT_EQ(mode_of(dir.path() + "/made/data/" + f), 0600u) << f;
  }
  EXPECT_TRUE(persist::close(*made.value()).ok());

  const std::string kept = dir.path() + "/kept";
  ASSERT_EQ(::mkdir(kept.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(kept.c_str(), 0755), 0);
  write_file(kept + "/wal-0.log", "");
  ASSERT_EQ(::chmod((kept + "/wal-0.log").c_str(), 0644), 0);
  c.persist_dir = kept;
  auto opened = persist::open_store(c, clock);
  ASSERT_TRUE(opened.ok()) << opened.error().text;
  EXPECT_EQ(mode_of(kept), 0755u);
  EXPECT_EQ(mode_of(kept + "/wal-0.log"), 0600u);
  EXPECT_EQ(mode_of(kept + "/LOCK"), 0600u);
  EXPECT_TRUE(persist::close(*opened.value()).ok());
}

INSTANTIATE_TEST_SUITE_P(Umask, PrivateModes, ::testing::Values(mode_t{0}, mode_t{022}, mode_t{0277}));

}  // namespace
}  // namespace vellum
