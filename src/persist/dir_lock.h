#pragma once
// The lock on a data directory: a process-wide registry of the directories held by
// stores of this process, and a LOCK file naming the holding process for other ones.
//
// Acquisition holds the registry mutex and an advisory flock on the directory while it
// inspects and creates LOCK, so two processes (or two threads) never both judge the same
// stale LOCK and both take it. Releasing deletes LOCK and unregisters the directory.
// acquire_dir_lock may be called from any thread; a DirLock itself is not thread-safe,
// so its owner guards it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/io_error.h"

namespace vellum::persist {

inline constexpr std::string_view kLockFile = "LOCK";
inline constexpr std::string_view kLockedText = "data directory is locked by another live process";
inline constexpr uint64_t kLockWaitMs = 2000;
inline constexpr uint64_t kLockPollMs = 5;
inline constexpr int kLockAttempts = 3;

// The pid a LOCK file names: UTF-8, Unicode white space trimmed at both ends, then an
// unsigned 32-bit decimal with at most one leading "+". None when the content is anything
// else, which makes the lock stale.
std::optional<uint32_t> parse_lock_pid(std::string_view content);

class DirLock {
 public:
  DirLock() = default;
  DirLock(std::string canonical, std::string lock_path)
      : canonical_(std::move(canonical)), lock_path_(std::move(lock_path)), held_(true) {}
  DirLock(DirLock&& other) noexcept;
  DirLock& operator=(DirLock&& other) noexcept;
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  ~DirLock() { release(); }

  bool held() const { return held_; }
  const std::string& canonical() const { return canonical_; }
  // Deletes LOCK (ignoring errors) and unregisters the directory. Idempotent.
  void release();

 private:
  std::string canonical_;
  std::string lock_path_;
  bool held_ = false;
};

// Takes the lock on `dir`, whose canonical path is `canonical`. Fails with WouldBlock
// (kLockedText) when another store of this process keeps it for 2 s, when LOCK names a
// live process, or after 3 stale attempts; other failures are the I/O error itself.
IoResult<DirLock> acquire_dir_lock(const std::string& dir, const std::string& canonical);

}  // namespace vellum::persist
