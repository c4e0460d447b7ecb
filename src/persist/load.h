#pragma once
// Loading a data directory into a fresh store: the snapshot, then every log segment from
// the snapshot's sequence on, each record applied through the store's ordinary operations.
// Runs while the directory is opened, before the store is shared or has a log attached.

#include <optional>
#include <string>

#include "core/store.h"
#include "persist/snapshot.h"
#include "persist/wal_format.h"
#include "platform/io_error.h"

namespace vellum::persist {

struct Loaded {
  SnapshotInfo snapshot;
  // The last segment replayed, which stays the current one; none when no segment follows
  // the snapshot.
  std::optional<Segment> newest;
  // What replay repaired (a torn tail cut off a segment), for last_error.
  std::optional<std::string> repaired;
};

// Loads `dir` into `store`. Segments older than the snapshot are deleted: the snapshot
// holds everything they logged. Damage that replay must not repair on its own (intact
// records after it) fails the load and leaves the files as they are.
IoResult<Loaded> load_dir(const std::string& dir, Store& store);

// Applies one record to a store through its ordinary operations; results are ignored, so
// a record that does not fit the current state changes nothing.
// REQUIRES: the store is replaying (Store::set_replaying) and has no persistence yet.
void apply_wal_record(Store& store, const DecodedWalRecord& record);

}  // namespace vellum::persist
