#pragma once
// Listing and replay of log segments (format in wal_format.h). Replay runs while a data
// directory is opened, before the store is shared, and hands each decoded record to its
// caller. The functions keep no state of their own; replay_segment may cut its file, so
// no WalWriter may have that segment open while it runs.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "persist/wal_format.h"
#include "platform/io_error.h"

namespace vellum::persist {

// The segments of `dir`, ascending by number (equal numbers by name).
IoResult<std::vector<Segment>> list_segments(const std::string& dir);

// Replays one segment, calling `apply` for every whole record in order. A torn tail (a
// cut header or payload, or a checksum mismatch) is cut off the file, which is then
// synced, and the result is the repair message. A malformed record fails with an
// invalid-data error and leaves the file untouched.
IoResult<std::optional<std::string>> replay_segment(
    const std::string& dir, const Segment& segment,
    const std::function<void(const DecodedWalRecord&)>& apply);

}  // namespace vellum::persist
