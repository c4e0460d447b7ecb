// Failures of the file layer (injected) and of the process (SIGKILL): each ends in its
// recorded last_error with the in-memory data intact, and what is on disk reopens to a
// state that holds every acknowledged write.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "persist/data_dir.h"
#include "core/store.h"
#include "persist_util.h"
#include "platform/file.h"

namespace vellum {
namespace {

using testing::Enc;
using testing::file_exists;
using testing::read_file;

const std::string kEio = "Input/output error (os error 5)";
const std::string kEnospc = "No space left on device (os error 28)";

struct FaultFixture : testing::PersistFixture {
  void SetUp() override { fault::reset(); }
  void TearDown() override { fault::reset(); }
  static void set(Store& s, const std::string& k, const std::string& v) {
    ASSERT_TRUE(s.set(k, v, std::nullopt, false, false).ok());
  }
};

using AppendFaults = FaultFixture;

TEST_F(AppendFaults, FailedWriteLeavesTheSegmentOnAWholeRecord) {
  auto s = open();
  fault::fail(fault::Op::Write, 1, ENOSPC);
  set(*s, "lost", "1");
  EXPECT_EQ(s->get("lost").value(), "1");
  EXPECT_EQ(last_error(*s), "WAL append failed: " + kEnospc);
  EXPECT_EQ(persist::read_persist_stats(*s)->wal_bytes, 0u);
  set(*s, "kept", "2");
  EXPECT_EQ(read_file(dir.file("wal-0.log")), Enc::set("kept", "2"));
  EXPECT_EQ(last_error(*s), "WAL append failed: " + kEnospc);  // only a save clears it
  ASSERT_TRUE(persist::save(*s).ok());
  EXPECT_EQ(last_error(*s), std::nullopt);
}

TEST_F(AppendFaults, FailedSyncUnderAlwaysKeepsTheRecordCounted) {
  auto s = open(FsyncPolicy::Always);
  fault::fail(fault::Op::Sync, 1, EIO);
  set(*s, "k", "v");
  EXPECT_EQ(last_error(*s), "WAL append failed: " + kEio);
  EXPECT_EQ(persist::read_persist_stats(*s)->wal_bytes, Enc::set("k", "v").size());
  EXPECT_EQ(read_file(dir.file("wal-0.log")), Enc::set("k", "v"));
}

TEST_F(AppendFaults, BackgroundSyncFailureIsRecordedAndRetried) {
  auto s = open(FsyncPolicy::EverySec);
  fault::fail(fault::Op::Sync, 1, EIO);
  set(*s, "k", "v");
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(last_error(*s), "fsync failed: " + kEio);
  const uint64_t after_first = fault::calls(fault::Op::Sync);
  EXPECT_GE(after_first, 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  // The segment stayed dirty, so the next period synced it again; then it is clean and
  // later periods do not sync at all.
  EXPECT_EQ(fault::calls(fault::Op::Sync), after_first + 1);
  EXPECT_TRUE(persist::close(*s).ok());
}

struct SaveFault {
  const char* name;
  fault::Op op;
  uint64_t nth;  // under `never` a save syncs the old segment, the directory, the
                 // snapshot and the directory again, in that order
  int err;
  std::string text;
};

class SaveFaults : public FaultFixture, public ::testing::WithParamInterface<SaveFault> {};

TEST_P(SaveFaults, FailEndsInSaveFailedWithDataIntactAndRecoverable) {
  const SaveFault& c = GetParam();
  auto s = open();
  set(*s, "a", "1");
  ASSERT_TRUE(s->rpush("l", testing::items({"x", "y"})).ok());
  fault::fail(c.op, c.nth, c.err);
  auto r = persist::save(*s);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text, c.text);
  EXPECT_EQ(last_error(*s), "save failed: " + c.text);
  EXPECT_EQ(s->get("a").value(), "1");
  set(*s, "b", "2");  // logging goes on after the failure
  s.reset();

  // Whatever the failure left on disk reopens to the whole history.
  auto again = open();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->get("a").value(), "1");
  EXPECT_EQ(again->get("b").value(), "2");
  EXPECT_EQ(again->lrange("l", 0, -1).value(), testing::items({"x", "y"}));
  ASSERT_TRUE(persist::save(*again).ok());
  EXPECT_EQ(last_error(*again), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SaveFaults,
    ::testing::Values(SaveFault{"RotationSync", fault::Op::Sync, 1, EIO, kEio},
                      SaveFault{"NewSegmentOpen", fault::Op::Open, 1, ENOSPC, kEnospc},
                      SaveFault{"NewSegmentDirSync", fault::Op::Sync, 2, EIO, kEio},
                      SaveFault{"SnapshotWrite", fault::Op::Write, 1, ENOSPC, kEnospc},
                      SaveFault{"SnapshotSync", fault::Op::Sync, 3, EIO, kEio},
                      SaveFault{"Rename", fault::Op::Rename, 1, EIO, kEio},
                      SaveFault{"DirSyncAfterRename", fault::Op::Sync, 4, EIO, kEio},
                      SaveFault{"SegmentDelete", fault::Op::Remove, 1, EIO, kEio}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SaveFaults, SegmentsSurviveWhenTheRenameIsNotYetDurable) {
  auto s = open();
  set(*s, "a", "1");
  fault::fail(fault::Op::Sync, 4, EIO);
  ASSERT_FALSE(persist::save(*s).ok());
  EXPECT_TRUE(file_exists(dir.file("snapshot.kvs")));
  EXPECT_EQ(read_file(dir.file("wal-0.log")), Enc::set("a", "1"));
}

TEST_F(SaveFaults, FailedRotationKeepsTheCurrentSegment) {
  auto s = open();
  fault::fail(fault::Op::Sync, 1, EIO);
  ASSERT_FALSE(persist::save(*s).ok());
  set(*s, "a", "1");
  EXPECT_EQ(read_file(dir.file("wal-0.log")), Enc::set("a", "1"));
  EXPECT_FALSE(file_exists(dir.file("wal-1.log")));
}

using CloseFaults = FaultFixture;

TEST_F(CloseFaults, FinalSaveFailureIsRecordedAndTheLockStillReleased) {
  auto s = open();
  set(*s, "a", "1");
  fault::fail(fault::Op::Rename, 1, EIO);
  EXPECT_TRUE(persist::close(*s).ok());
  EXPECT_EQ(last_error(*s), "final save failed: " + kEio);
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
}

TEST_F(CloseFaults, WalCloseFailureReplacesTheSaveFailure) {
  auto s = open(FsyncPolicy::EverySec);
  set(*s, "a", "1");  // leaves the segment dirty
  fault::fail(fault::Op::Sync, 1, EIO, 2);  // the rotation's sync, then the close's sync
  EXPECT_TRUE(persist::close(*s).ok());
  EXPECT_EQ(last_error(*s), "WAL close failed: " + kEio);
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
}

// ---- process crashes ----

using Crash = FaultFixture;

// Runs `body(ack_fd)` in a child, collects the acknowledged indices it writes until at
// least `min_acks`, then kills it with SIGKILL and returns every index acknowledged.
template <class Body>
std::vector<uint32_t> run_and_kill(Body body, size_t min_acks) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  pid_t child = fork();
  if (child == 0) {
    close(p[0]);
    body(p[1]);
    _exit(0);
  }
  close(p[1]);
  std::vector<uint32_t> acks;
  uint32_t v;
  while (acks.size() < min_acks && read(p[0], &v, sizeof v) == static_cast<ssize_t>(sizeof v)) acks.push_back(v);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  while (read(p[0], &v, sizeof v) == static_cast<ssize_t>(sizeof v)) acks.push_back(v);
  close(p[0]);
  return acks;
}

TEST_F(Crash, NoAcknowledgedWriteIsLostUnderAlways) {
  const StoreConfig c = config(FsyncPolicy::Always);
  auto acks = run_and_kill(
      [&](int ack) {
        auto r = persist::open_store(c, clock);
        if (!r.ok()) _exit(2);
        for (uint32_t i = 0;; ++i) {
          (void)r.value()->set("k" + std::to_string(i), std::string(i % 50, 'v'), std::nullopt, false, false);
          if (write(ack, &i, sizeof i) != sizeof i) _exit(3);
        }
      },
      150);
  ASSERT_GE(acks.size(), 150u);
  auto s = open();
  ASSERT_TRUE(s);
  for (uint32_t i : acks) {
    auto v = s->get("k" + std::to_string(i));
    ASSERT_TRUE(v.ok() && v.value()) << i;
    EXPECT_EQ(*v.value(), std::string(i % 50, 'v'));
  }
}

TEST_F(Crash, KilledDuringSavesReopensWithEveryAcknowledgedWrite) {
  const StoreConfig c = config(FsyncPolicy::Always);
  auto acks = run_and_kill(
      [&](int ack) {
        auto r = persist::open_store(c, clock);
        if (!r.ok()) _exit(2);
        for (uint32_t i = 0;; ++i) {
          (void)r.value()->rpush("list", std::vector<Bytes>{std::to_string(i)});
          if (i % 16 == 0) (void)persist::save(*r.value());
          if (write(ack, &i, sizeof i) != sizeof i) _exit(3);
        }
      },
      120);
  auto s = open();
  ASSERT_TRUE(s);
  auto list = s->lrange("list", 0, -1);
  ASSERT_TRUE(list.ok());
  ASSERT_GE(list.value().size(), acks.size());
  for (size_t i = 0; i < acks.size(); ++i) EXPECT_EQ(list.value()[i], std::to_string(i));
}

}  // namespace
}  // namespace vellum
