#pragma once
// The write-ahead log: the current segment that every mutation is appended to, and the
// replay of segments when a data directory is opened.
//
// WalWriter is not thread-safe. Its owner (the Persistence record) holds it under
// `wal_lock` and takes that lock only while the mutating operation's shard lock(s) are
// held, or from the fsync thread, or during a save that holds every shard read lock.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "persist/wal_format.h"
#include "core/store.h"
#include "platform/file.h"

namespace vellum::persist {

struct Segment {
  uint64_t n = 0;
  std::string name;  // the name as listed, which may carry leading zeros
};

// The segments of `dir`, ascending by number (equal numbers by name).
IoResult<std::vector<Segment>> list_segments(const std::string& dir);

// Replays one segment, calling `apply` for every whole record in order. A torn tail (a
// cut header or payload, or a checksum mismatch) is cut off the file, which is then
// synced, and the result is the repair message. A malformed record fails with an
// invalid-data error and leaves the file untouched.
IoResult<std::optional<std::string>> replay_segment(
    const std::string& dir, const Segment& segment,
    const std::function<void(const DecodedWalRecord&)>& apply);

// Applies one record to a store through its ordinary operations; results are ignored, so
// a record that does not fit the current state changes nothing.
// REQUIRES: the store is replaying (Store::set_replaying) and has no persistence yet.
void apply_wal_record(Store& store, const DecodedWalRecord& record);

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

  // Encodes and writes one record, then syncs under `always`. A failed write cuts the
  // segment back to its last whole record. Under `always` a failed sync leaves the
  // record counted, since its bytes are in the file.
  // REQUIRES: is_open().
  IoResult<void> append(const WalRecord& record);
  // The fsync thread's step: syncs when records were appended since the last sync.
  IoResult<void> flush_if_dirty();
  // Syncs the current segment, then makes segment seq()+1 current. On failure the
  // current segment stays.
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
};

}  // namespace vellum::persist
