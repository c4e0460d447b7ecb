#include "server/connection.h"

#include <string>
#include <variant>

namespace vellum::server {

void serve_requests(ByteSource& in, ByteSink& out, const ServerContext& ctx) {
  RequestReader reader(in);
  ReplyWriter writer(out);
  ConnectionState state = initial_connection_state(ctx);

  for (;;) {
    ReadOutcome outcome = reader.read_request();
    if (std::holds_alternative<EndOfStream>(outcome)) break;
    if (auto* perr = std::get_if<ProtocolError>(&outcome)) {
      // Nothing after a malformed request is read: its extent is unknown.
      (void)writer.write_reply(Reply::error("ERR Protocol error: " + std::string(perr->message)));
      break;
    }
    const Request& req = std::get<Request>(outcome);
    if (!req.empty()) {
      DispatchResult result = dispatch(ctx, state, req);
      if (!writer.write_reply(result.reply)) break;
      if (result.close) break;
    }
    // Also after an empty request: replies buffered before it must not wait while the
    // connection blocks for more input.
    if (!reader.buffered_request_complete()) {
      if (!writer.flush_output()) break;
    }
  }
  (void)writer.flush_output();
}

}  // namespace vellum::server
