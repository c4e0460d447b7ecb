#pragma once
// The writer of the current log segment: every mutation is appended to it, synced as the
// fsync policy asks, and a save rotates it to the next segment. It owns the segment's
// File.
//
// WalWriter is not thread-safe. Its owner (the Persistence record) holds it under
// `wal_lock_` and takes that lock only while the mutating operation's shard lock(s) are
// held, or from the fsync thread, or during a save that holds every shard read lock.

#include <cstdint>
#include <string>

#include "core/store.h"
#include "persist/wal_format.h"
#include "platform/file.h"

namespace vellum::persist {

class WalWriter {
 public:
  WalWriter() = default;  // closed
  // Appends to the open `file`, which holds `len` bytes of whole records.
  WalWriter(std::string dir, Segment segment, File file, uint64_t len, FsyncPolicy policy);

  bool is_open() const { return open_; }
  uint64_t seq() const { return segment_.n; }
  const std::string& name() const { return segment_.name; }
  uint64_t len() const { return len_; }
  bool dirty() const { return dirty_; }
  FsyncPolicy policy() const { return policy_; }

  // Encodes and writes one record, then syncs under `always`. A failed write, and under
  // `always` a failed sync, cuts the record back out of the segment: after a failed sync
  // what the file holds on disk is unknown, and the caller reports the record as not
  // made. Either way the segment ends on the last record that succeeded, unless the cut
  // itself fails (see retry_cut).
  // REQUIRES: is_open().
  IoResult<void> append(const WalRecord& record);
  // The fsync thread's step: syncs when records were appended since the last sync.
  IoResult<void> flush_if_dirty();
  // Syncs the current segment.
  IoResult<void> sync();
  // Repeats a cut that failed in append, if any; true when the segment ends on a whole
  // record again.
  bool retry_cut();
  // Cuts the segment back to its last whole record after an append that an exception
  // interrupted, wherever it stopped.
  void abandon_append() {
    uncut_ = true;
    (void)retry_cut();
  }
  // Makes segment seq()+1 current, without syncing the current one first (the caller
  // does that). On failure the current segment stays.
  IoResult<void> rotate();
  // Syncs if dirty and closes; the handle is closed even when the sync fails.
  IoResult<void> close();

 private:
  std::string dir_;
  Segment segment_;
  File file_;
  std::string buf_;  // encode buffer reused by every append
  uint64_t len_ = 0;
  FsyncPolicy policy_ = FsyncPolicy::EverySec;
  bool open_ = false;
  bool dirty_ = false;
  bool uncut_ = false;  // a failed record's bytes may still follow len_ in the file
};

}  // namespace vellum::persist
