#pragma once
// The lock on a data directory: a process-wide registry of the directories held by
// stores of this process, and an exclusive flock on the directory's LOCK file, which
// also names the holding process.
//
// Another process holds the directory exactly while it holds the flock on LOCK; the pid
// the file names only tells who that is. So a LOCK left by a process that died, or whose
// pid now belongs to an unrelated live process, is stale and is taken over. The flock
// dies with its holder and is never inherited by a child made by fork (see FileLock), so
// a reused pid can never keep a directory locked.
//
// Acquisition holds an advisory flock on the directory itself while it takes LOCK's, so
// an inspector that takes the same directory flock (vellum info) sees no half-taken
// lock. Releasing deletes LOCK, then drops its flock, then unregisters the directory.
// acquire_dir_lock may be called from any thread; a DirLock itself is not thread-safe,
// so its owner guards it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file.h"
#include "platform/io_error.h"

namespace vellum::persist {

inline constexpr std::string_view kLockFile = "LOCK";
// The text of WouldBlock when another process holds the directory; " (pid N)" follows.
inline constexpr std::string_view kLockedText = "data directory is locked by another live process";
// The text of WouldBlock when a store of this process holds it; " (pid N)" follows.
inline constexpr std::string_view kOpenHereText = "data directory is already open in this process";
inline constexpr uint64_t kLockWaitMs = 2000;
inline constexpr uint64_t kLockPollMs = 5;

// The pid a LOCK file names: UTF-8, Unicode white space trimmed at both ends, then an
// unsigned 32-bit decimal with at most one leading "+". None when the content is anything
// else.
std::optional<uint32_t> parse_lock_pid(std::string_view content);

class DirLock {
 public:
  DirLock() = default;
  DirLock(std::string canonical, std::string lock_path, FileLock lock, std::optional<std::string> warning)
      : canonical_(std::move(canonical)),
        lock_path_(std::move(lock_path)),
        lock_(std::move(lock)),
        warning_(std::move(warning)) {}
  DirLock(DirLock&& other) noexcept = default;
  DirLock& operator=(DirLock&& other) noexcept;
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  ~DirLock() { release(); }

  bool held() const { return lock_.held(); }
  const std::string& canonical() const { return canonical_; }
  // What acquisition has to report although it succeeded: a stale LOCK naming a live
  // process was taken over. Empty after the first call.
  std::optional<std::string> take_warning() { return std::exchange(warning_, std::nullopt); }
  // Deletes LOCK (ignoring errors), drops its flock and unregisters the directory. In a
  // child made by fork it only forgets the lock, which belongs to the parent. Idempotent.
  void release();

 private:
  std::string canonical_;
  std::string lock_path_;
  FileLock lock_;
  std::optional<std::string> warning_;
};

// Takes the lock on `dir`, whose canonical path is `canonical`. Fails with WouldBlock when
// another store of this process keeps it for 2 s (kOpenHereText) or another process holds
// LOCK's flock (kLockedText); other failures are the I/O error itself.
IoResult<DirLock> acquire_dir_lock(const std::string& dir, const std::string& canonical);

}  // namespace vellum::persist
