#pragma once
// Writing and loading the snapshot file (format in snapshot_format.h).
//
// Writing streams the key space through one 64 KiB buffer into snapshot.tmp, syncs it,
// renames it over snapshot.kvs and syncs the directory, so after a crash the directory
// holds either the old snapshot or the complete new one. Loading verifies the whole
// file's checksum before it decodes anything, so a damaged file loads nothing. Nothing
// is kept between calls: writing reads the store under the shard read locks its caller
// passes, and loading fills a store that is not shared yet.

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/store.h"
#include "platform/io_error.h"

namespace vellum::persist {

struct SnapshotInfo {
  uint64_t wal_seq = 0;
  uint64_t size = 0;
};

// One decoded record. For a hash, `elements` alternates field and value.
struct SnapshotRecord {
  uint8_t type = 0;
  Bytes key;
  uint64_t expires_at_ms = 0;
  Bytes value;
  std::vector<Bytes> elements;
};

class SnapshotSink {
 public:
  virtual ~SnapshotSink() = default;
  virtual void on_record(SnapshotRecord&& record) = 0;
};

// Writes a snapshot of `store` carrying `wal_seq`. `shard_locks` holds a read lock on
// every shard, in index order; each is released as soon as its shard is written, and
// any still held when an error ends the write are left to the caller. Returns the size of
// the new snapshot.kvs.
IoResult<uint64_t> write_snapshot(Store& store, const std::string& dir, uint64_t wal_seq,
                                  std::vector<std::shared_lock<RwLock>>& shard_locks);

// Reads and checks the snapshot at `path`, handing each record to `sink` only after the
// checksum of the whole file has been verified. Format errors are invalid data with text
// "snapshot: {reason}"; a record cut off by the checksum bytes is UnexpectedEof. A
// missing file is a NotFound error.
IoResult<SnapshotInfo> read_snapshot_file(const std::string& path, SnapshotSink& sink);

// Loads dir/snapshot.kvs into a store that is not shared yet. No snapshot.kvs at all
// gives {0, 0}; any other failure to open it is returned, so an unreadable snapshot is
// never mistaken for an empty one.
IoResult<SnapshotInfo> load_snapshot(const std::string& dir, Store& store);

}  // namespace vellum::persist
