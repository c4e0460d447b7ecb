#pragma once
// The data directory of a persistent Store: open_store (lock, load, attach, start the
// background threads), save, close and the statistics read by persist_stats and INFO, all
// thread-safe. Loading itself (snapshot and replay) is in load.h.

#include <cstdint>
#include <optional>
#include <string>

#include "core/store.h"
#include "platform/io_error.h"

namespace vellum::persist {

struct PersistStats {
  uint64_t last_save_ms = 0;
  uint64_t snapshot_bytes = 0;
  uint64_t wal_bytes = 0;
  uint64_t loaded_keys = 0;
  std::optional<std::string> last_error;
};

// Opens a store on config.persist_dir, creating the directory when missing: takes its
// lock, loads the snapshot, replays the log, purges what expired and starts the fsync and
// snapshot threads the config asks for. Without persist_dir, an in-memory store.
IoResult<std::shared_ptr<Store>> open_store(const StoreConfig& config,
                                            std::shared_ptr<const Clock> clock = nullptr);

// Writes a snapshot now. Without persistence: invalid input "persistence is not enabled
// for this store"; after close: "store is closed". A save that succeeds while the log is
// broken (after a failed append or sync) mends it: logging resumes, and under `always`
// mutations are accepted again.
IoResult<void> save(Store& store);
// Sets `closed`; for a persistent store also joins its threads, writes a final snapshot,
// closes the log and releases the directory lock, all of it whatever fails. An error
// only when the final save failed and the log does not hold every acknowledged mutation
// either, so data was lost; its text says why. Idempotent: a second call returns success.
IoResult<void> close(Store& store);
// None for a store without persistence.
std::optional<PersistStats> read_persist_stats(const Store& store);

}  // namespace vellum::persist
