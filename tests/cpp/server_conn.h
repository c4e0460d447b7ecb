#pragma once
// A connection's state over a ServerContext, for dispatching requests without a socket.

#include <string>

#include "core/store.h"
#include "server/commands.h"

namespace vellum::testing {

struct Conn {
  const server::ServerContext* ctx;
  server::ConnectionState state;
  explicit Conn(const server::ServerContext& c) : ctx(&c), state(server::initial_connection_state(c)) {}
  server::Reply operator()(const server::Request& r) { return server::dispatch(*ctx, state, r).reply; }
};

// A key whose shard is not the shard of `than`.
inline Bytes key_in_other_shard(const Store& store, BytesView than) {
  for (int i = 0;; ++i) {
    Bytes k = "o" + std::to_string(i);
    if (store.shard_index(k) != store.shard_index(than)) return k;
  }
}

}  // namespace vellum::testing
