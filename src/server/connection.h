#pragma once
// The request loop of one connection, over a byte source and sink so it runs the same on
// a socket and in tests. Per request: read, dispatch, write the reply; the output is
// flushed only when no further whole request is already buffered, so a pipelined burst
// is answered in as few sends as the 8 KiB output buffer allows.
//
// What one connection may hold: until it authenticates (when the server has a password),
// a request of at most kUnauthenticatedLimits; always, no more request buffer than the
// server's RequestBudget has left. A request that crosses either is answered with an
// error and the connection closes, since the rest of that request is never read.

#include <string_view>

#include "server/commands.h"
#include "server/resp.h"

namespace vellum::server {

// Enough for AUTH, HELLO with credentials, PING and QUIT, and for a password of 4 KiB.
inline constexpr RequestLimits kUnauthenticatedLimits{5, 4096, 8192, "request too large before authentication"};

inline constexpr std::string_view kOutOfMemoryReply = "OOM out of memory";
inline constexpr std::string_view kInternalErrorReply = "ERR internal error";

// A request that held at least this many bytes of buffer is followed by handing free heap
// memory back to the system (see give_back_memory).
inline constexpr uint64_t kGiveBackBytes = uint64_t{1} << 20;
inline constexpr uint64_t kGiveBackIntervalMs = 200;

// Returns when the stream ends, after answering a protocol error or a refused request,
// after answering QUIT, when a send fails, or after an exception: an allocation failure
// is answered with kOutOfMemoryReply and any other exception with kInternalErrorReply,
// and the connection then closes. The last replies are flushed (errors ignored) before it
// returns. `ctx` must stay live for the call. The connection is listed in ctx.clients
// under the address `peer` while it is served.
void serve_requests(ByteSource& in, ByteSink& out, const ServerContext& ctx, std::string_view peer = {}) noexcept;

// A freed buffer below glibc's mmap threshold (which rises to 32 MiB after large frees)
// stays in its arena, counted in the process's resident memory; a trim hands the free
// pages of every arena back. It walks every arena under its lock, which takes milliseconds
// in a large heap, so the process trims at most once per kGiveBackIntervalMs, and only
// when a large request ended since the last trim. serve_requests calls this after every
// request without `wait`: inside the interval, the memory stays owed. A connection thread
// calls it with `wait` once its socket is closed, sleeping out the interval if need be,
// so the memory of a burst is handed back even when no request follows it.
void give_back_memory(bool wait) noexcept;

}  // namespace vellum::server
