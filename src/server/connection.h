#pragma once
// The request loop of one connection, over a byte source and sink so it runs the same on
// a socket and in tests. Per request: read, dispatch, write the reply; the output is
// flushed only when no further whole request is already buffered, so a pipelined burst
// is answered in as few sends as the 8 KiB output buffer allows.

#include "server/commands.h"
#include "server/resp.h"

namespace vellum::server {

// Returns when the stream ends, after answering a protocol error, after answering QUIT,
// or when a send fails. The last replies are flushed (errors ignored) before it returns.
// `ctx` must stay live for the call.
void serve_requests(ByteSource& in, ByteSink& out, const ServerContext& ctx);

}  // namespace vellum::server
