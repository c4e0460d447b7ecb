#include "server/server.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "server/commands.h"
#include "server/connection.h"
#include "server/resp.h"

namespace vellum::server {

namespace {

inline constexpr int kBacklog = 128;
inline constexpr int kWakeConnectTimeoutMs = 1000;
inline constexpr uint64_t kWakeRetryMs = 20;
inline constexpr uint64_t kAcceptRetryMs = 10;

class SocketSource final : public ByteSource {
 public:
  explicit SocketSource(Socket& s) : s_(s) {}
  IoResult<size_t> read(char* buf, size_t cap) override { return s_.recv(buf, cap); }
  // The socket stays open until its connection has left the client registry, which is
  // where this is called from (CLIENT KILL), so the descriptor is never a reused one.
  void interrupt() override { (void)s_.shutdown_both(); }

 private:
  Socket& s_;
};

class SocketSink final : public ByteSink {
 public:
  explicit SocketSink(Socket& s) : s_(s) {}
  IoResult<void> write_all(const char* data, size_t len) override { return s_.send_all(data, len); }

 private:
  Socket& s_;
};

// One connection of a run, listed in the registry from just before its thread starts
// until the thread is joined. Guarded by the registry's mutex.
struct ConnectionEntry {
  NamedThread thread;  // set by the accept thread, which holds the mutex across the spawn
  // The connection thread's socket, not owned: set by that thread once it serves and
  // cleared before the socket closes, so whoever holds the mutex and sees it non-null
  // may shut the socket down without touching a closed or reused descriptor.
  Socket* open = nullptr;
  bool ended = false;  // the thread has let go of its socket and touches nothing here
};

// The connections of one run. Taken only on its own by the accept and connection threads,
// and after the server's state lock by stop(); never held while joining a thread.
struct ConnectionRegistry {
  std::mutex mu;
  bool stopped = false;                // guarded by mu; no new connection is served once set
  std::list<ConnectionEntry> entries;  // guarded by mu; nodes stay put, threads keep references
};

// "1.2.3.4:5678" of the client, or empty when the system cannot say.
std::string peer_address(const Socket& sock) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(sock.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  if (addr.ss_family != AF_INET && addr.ss_family != AF_INET6) return {};
  return SocketAddress(reinterpret_cast<const sockaddr*>(&addr), len).to_string();
}

// Runs on the connection's own thread, which owns `sock`: the request loop between
// registering the socket and withdrawing it, then the socket closes with this frame.
// serve_requests throws nothing, so the entry is always withdrawn.
void serve_connection(ConnectionRegistry& reg, ConnectionEntry& entry, Socket sock, const ServerContext& ctx) {
  {
    std::lock_guard<std::mutex> guard(reg.mu);
    if (reg.stopped) {
      entry.ended = true;
      return;
    }
    entry.open = &sock;
  }
  (void)sock.set_nodelay(true);  // latency only; the connection works without it
  SocketSource source(sock);
  SocketSink sink(sock);
  serve_requests(source, sink, ctx, peer_address(sock));
  {
    std::lock_guard<std::mutex> guard(reg.mu);
    entry.open = nullptr;
  }
  // The client sees the end of the stream now; the thread may still sleep a moment to hand
  // memory back, and is joined only once it is marked ended.
  sock.close();
  give_back_memory(true);
  std::lock_guard<std::mutex> guard(reg.mu);
  entry.ended = true;
}

// Moves the threads of ended connections into `out` and drops their entries; the caller
// joins them once it has released the mutex. REQUIRES: reg.mu held.
void take_ended(ConnectionRegistry& reg, std::vector<NamedThread>& out) {
  for (auto it = reg.entries.begin(); it != reg.entries.end();) {
    if (it->ended) {
      out.push_back(std::move(it->thread));
      it = reg.entries.erase(it);
    } else {
      ++it;
    }
  }
}

enum class Accepted { Served, Retry, Stopped };

// Accepts one connection and hands it to a thread of its own.
Accepted accept_one(Socket& listener, const ServerContext& ctx, ConnectionRegistry& reg) {
  IoResult<Socket> accepted = listener.accept();
  std::vector<NamedThread> ended;  // destroyed, so joined, after the lock is released
  std::unique_lock<std::mutex> lock(reg.mu);
  if (reg.stopped) return Accepted::Stopped;  // stop()'s wake-up, or failed on the way out
  if (!accepted) return Accepted::Retry;
  take_ended(reg, ended);
  ConnectionEntry& entry = reg.entries.emplace_back();
  // The socket moves into the thread; the thread cannot look at its entry before the
  // thread handle is stored in it, since it needs the mutex held here.
  auto thread = NamedThread::spawn(
      "vellum-conn", [&reg, &entry, &ctx, sock = std::move(accepted).value()]() mutable {
        serve_connection(reg, entry, std::move(sock), ctx);
      });
  if (thread) {
    entry.thread = std::move(thread).value();
  } else {
    reg.entries.pop_back();  // the socket closed inside spawn; the server goes on
  }
  return Accepted::Served;
}

void accept_loop(Socket& listener, const ServerContext& ctx, ConnectionRegistry& reg) {
  for (;;) {
    Accepted a = Accepted::Retry;
    try {
      a = accept_one(listener, ctx, reg);
    } catch (...) {
      // Out of memory for the registry entry: that connection is closed by the unwinding
      // and the server goes on; the registry is left as it was.
    }
    if (a == Accepted::Stopped) return;
    // Out of descriptors, memory and similar conditions pass; retry rather than give up.
    if (a == Accepted::Retry) sleep_ms(kAcceptRetryMs);
  }
}

// Exists from a successful start() to the next stop(). It owns the listening socket (via
// the accept thread), the context, the registry and every thread of the run; shutdown()
// joins every thread before any of it is destroyed, so the threads refer to it freely.
struct RunningState {
  ServerContext ctx;
  ConnectionRegistry registry;
  SocketAddress wake_address;
  uint16_t bound_port = 0;
  std::atomic<bool> accept_ended{false};
  NamedThread accept_thread;

  ~RunningState() { shutdown(); }

  // Ends the accept thread, then every connection. Running it again does nothing.
  void shutdown() {
    {
      std::lock_guard<std::mutex> guard(registry.mu);
      registry.stopped = true;
    }
    if (accept_thread.joinable()) {
      // The accept thread blocks in accept(); a connection to its own address wakes it,
      // and it then sees the stopped flag. Repeat in case a wake-up races a client.
      while (!accept_ended.load(std::memory_order_acquire)) {
        auto s = Socket::connect_with_timeout(wake_address, kWakeConnectTimeoutMs);
        (void)s;  // closed at once, whatever the outcome
        sleep_ms(kWakeRetryMs);
      }
      accept_thread.join();
    }
    std::vector<NamedThread> threads;
    {
      std::lock_guard<std::mutex> guard(registry.mu);
      for (ConnectionEntry& e : registry.entries) {
        // Wakes the thread's blocking receive or send; it then leaves the registry.
        if (e.open != nullptr) (void)e.open->shutdown_both();
        threads.push_back(std::move(e.thread));
      }
    }
    threads.clear();  // joins; each thread takes the mutex once more on its way out
    std::lock_guard<std::mutex> guard(registry.mu);
    registry.entries.clear();
  }
};

}  // namespace

struct Server::Impl {
  std::shared_ptr<Store> store;
  std::string host;
  std::optional<Bytes> password;
  uint16_t configured_port = 0;
  std::shared_ptr<RequestBudget> budget;  // shared by every run; each run's connections end with it
  uint64_t script_time_limit_ms = kDefaultScriptTimeLimitMs;

  mutable std::mutex state_mu;
  std::unique_ptr<RunningState> running;  // guarded by state_mu
  uint16_t port_attr = 0;                 // guarded by state_mu

  // REQUIRES: state_mu held and not running.
  IoResult<std::unique_ptr<RunningState>> start_locked() {
    auto addrs = resolve(host, configured_port);
    if (!addrs) return io_err(addrs.take_error());
    if (addrs.value().empty()) return io_err(IoError::make(IoErrorKind::InvalidInput, "could not resolve to any addresses"));

    std::optional<Socket> listener;
    IoError last;
    for (const SocketAddress& a : addrs.value()) {
      auto s = Socket::listen_on(a, kBacklog);
      if (s) {
        listener.emplace(std::move(s).value());
        break;
      }
      last = s.take_error();
    }
    if (!listener) return io_err(std::move(last));

    auto local = listener->local_address();
    if (!local) return io_err(local.take_error());

    auto state = std::make_unique<RunningState>();
    state->wake_address = local.value().connectable();
    state->bound_port = local.value().port();
    state->ctx.password = password;
    state->ctx.started_ms = monotonic_ms();
    state->ctx.store = store;
    state->ctx.started_unix_ms = store->clock().now_ms();
    state->ctx.request_budget = budget;
    state->ctx.scripts = std::make_shared<Scripts>(script_time_limit_ms);

    auto thread = NamedThread::spawn("vellum-accept", [st = state.get(), lsock = std::move(*listener)]() mutable {
      accept_loop(lsock, st->ctx, st->registry);
      lsock.close();
      st->accept_ended.store(true, std::memory_order_release);
    });
    if (!thread) return io_err(thread.take_error());
    state->accept_thread = std::move(thread).value();
    return state;
  }
};

Server::Server(std::shared_ptr<Store> store, std::string host, uint16_t port, std::optional<Bytes> password,
               std::optional<uint64_t> request_budget, uint64_t script_time_limit_ms)
    : impl_(std::make_unique<Impl>()) {
  impl_->script_time_limit_ms = script_time_limit_ms;
  uint64_t limit = kDefaultRequestBudget;
  if (request_budget) {
    limit = *request_budget;
  } else if (store->max_memory() != 0) {
    limit = std::min(limit, store->max_memory());
  }
  impl_->budget = std::make_shared<RequestBudget>(limit);
  impl_->store = std::move(store);
  impl_->host = std::move(host);
  impl_->password = std::move(password);
  impl_->configured_port = port;
  impl_->port_attr = port;
}

Server::~Server() { stop(); }

IoResult<void> Server::start() {
  std::lock_guard<std::mutex> guard(impl_->state_mu);
  if (impl_->running) return {};
  auto state = impl_->start_locked();
  if (!state) return io_err(state.take_error());
  impl_->port_attr = state.value()->bound_port;
  impl_->running = std::move(state).value();
  return {};
}

void Server::stop() {
  std::lock_guard<std::mutex> guard(impl_->state_mu);
  std::unique_ptr<RunningState> state = std::move(impl_->running);
  if (!state) return;
  impl_->port_attr = state->bound_port;
  state->shutdown();
}

uint16_t Server::port() const {
  std::lock_guard<std::mutex> guard(impl_->state_mu);
  return impl_->running ? impl_->running->bound_port : impl_->port_attr;
}

uint64_t Server::request_budget() const { return impl_->budget->limit(); }

uint64_t Server::script_time_limit_ms() const { return impl_->script_time_limit_ms; }

uint64_t Server::request_bytes_held() const { return impl_->budget->held(); }

bool Server::running() const {
  std::lock_guard<std::mutex> guard(impl_->state_mu);
  return impl_->running != nullptr;
}

}  // namespace vellum::server
