#pragma once
// The command layer of the server: a fixed table of commands with their argument counts
// and what sets some apart (allowed before authentication, closing the connection), the
// dispatcher that applies those rows before running a handler, and the handlers
// themselves, which call the same Store operations as the Python Cache.
//
// dispatch() keeps no state of its own and takes no lock: each store call takes the
// store's locks for its own duration, so a command making several calls (HSET, EXISTS) is
// not atomic across them. It runs on many connection threads at once; a ConnectionState
// belongs to one of them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/store.h"
#include "server/clients.h"
#include "server/resp.h"
#include "server/script.h"

namespace vellum::server {

// What every connection of one run of a server shares. Created by start(); a restarted
// server gets a fresh one, so uptime and the background-save flag start over.
struct ServerContext {
  std::optional<Bytes> password;
  uint64_t started_ms = 0;  // monotonic clock, the source of uptime_in_seconds
  uint64_t started_unix_ms = 0;  // the store's clock: LASTSAVE before the first snapshot
  std::shared_ptr<Store> store;
  // True while a save started by BGSAVE runs. Shared with the background-save thread,
  // which may outlive the run of the server that started it.
  std::shared_ptr<std::atomic<bool>> bgsave_running = std::make_shared<std::atomic<bool>>(false);
  // Set by BGSAVE SCHEDULE while a save runs: that save's thread saves once more.
  std::shared_ptr<std::atomic<bool>> bgsave_scheduled = std::make_shared<std::atomic<bool>>(false);
  // Charged by every connection for its request buffers; none: only the protocol's limits.
  std::shared_ptr<RequestBudget> request_budget;
  // The live connections, for CLIENT and INFO; each connection lists itself.
  std::shared_ptr<ClientRegistry> clients = std::make_shared<ClientRegistry>();
  // Cached scripts, the limits of a script's run, and the runs in progress.
  std::shared_ptr<Scripts> scripts = std::make_shared<Scripts>();
};

struct CommandSpec;

// What one connection chose and what it is; dispatch reads and changes it on that
// connection's thread only. What other connections may see (name, protocol) is mirrored
// into the ServerContext's ClientRegistry under the id.
struct ConnectionState {
  bool authenticated = false;
  int protocol = kResp2;  // the reply encoding HELLO chose
  int64_t id = 0;         // the connection's id in ctx.clients; 0: not listed
  std::string name;       // CLIENT SETNAME
  bool closing = false;   // the connection closes after the current reply (CLIENT KILL of itself)

  // Transactions. Between MULTI and EXEC or DISCARD requests are checked and queued, not
  // run; a request refused while queuing makes EXEC abort. The queued requests are
  // charged to the server's request budget until EXEC, DISCARD or the end of the
  // connection, so a transaction holds no more memory than a request being read may.
  // WATCH keeps one mark per key.
  struct Queued {
    const CommandSpec* row = nullptr;
    Request request;
  };
  bool in_multi = false;
  bool multi_refused = false;
  std::vector<Queued> queued;
  BudgetCharge queued_charge;
  std::vector<std::pair<Bytes, WatchMark>> watched;

  // The interpreter this connection's scripts run in; none until its first script.
  std::shared_ptr<ScriptVm> script_vm;
};

inline ConnectionState initial_connection_state(const ServerContext& ctx) {
  ConnectionState state;
  state.authenticated = !ctx.password.has_value();
  return state;
}

struct DispatchResult {
  Reply reply;
  bool close = false;  // the connection closes after this reply (QUIT)
};

// Runs one request. REQUIRES: !request.empty(). Never fails: every problem is an Error
// reply.
DispatchResult dispatch(const ServerContext& ctx, ConnectionState& state, const Request& request);

// The INFO text: Server, Memory, Keyspace and Persistence sections, CR LF after each line.
std::string render_info(const ServerContext& ctx);

// Equality of two byte strings in a time that depends only on their lengths.
bool constant_time_equal(BytesView a, BytesView b);

// Whole seconds of a PTTL result, rounded to nearest with halves going up; negative
// results (-1 no expiry, -2 no key) pass unchanged. Exact up to INT64_MAX.
int64_t ttl_seconds_from_ms(int64_t ms);

}  // namespace vellum::server
