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

// `dir` as a single shell word, so that a command in an error text can be pasted as it is.
std::string shell_word(const std::string& dir);

// The segments of `dir`, ascending by number (equal numbers by name).
IoResult<std::vector<Segment>> list_segments(const std::string& dir);

// Replays one segment, calling `apply` for every intact record in order, up to the first
// record that fails its checks (a cut header or payload, an empty payload, a checksum
// mismatch). That record is a torn tail when nothing intact follows it: no later offset
// starts a record whose length fits, whose checksum holds and whose payload decodes, or the
// rest of the file is zero bytes. A torn tail is cut off the file, which is then synced,
// and the result is the repair message. Damage with intact records after it fails with an
// invalid-data error naming the segment, the offset, how many intact records follow and
// the offline repair, and leaves the file untouched; so does a record whose checksum holds
// but whose payload does not decode. Only a failing segment is read into memory, from its
// first failing record on.
IoResult<std::optional<std::string>> replay_segment(
    const std::string& dir, const Segment& segment,
    const std::function<void(const DecodedWalRecord&)>& apply);

}  // namespace vellum::persist
