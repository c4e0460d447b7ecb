#pragma once
// The data-directory lifecycle of a persistent Store: open (Store::open), save, close and
// the statistics read by persist_stats and INFO. Every function is thread-safe.

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

// Writes a snapshot now. Without persistence: invalid input "persistence is not enabled
// for this store"; after close: "store is closed".
IoResult<void> save(Store& store);
// Sets `closed`; for a persistent store also joins its threads, writes a final snapshot,
// closes the log and releases the directory lock. Never fails; idempotent.
void close(Store& store);
// None for a store without persistence.
std::optional<PersistStats> read_persist_stats(const Store& store);

}  // namespace vellum::persist
