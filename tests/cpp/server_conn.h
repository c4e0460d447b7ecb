#pragma once
// A connection's state over a ServerContext, for dispatching requests without a socket.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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

// Runs fn(t) for t in [0, n) on n threads that start together, so they overlap even on
// few cores, and joins them.
template <class Fn>
void run_together(int n, Fn fn) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < n) std::this_thread::yield();
      fn(t);
    });
  }
  for (auto& th : threads) th.join();
}

}  // namespace vellum::testing
