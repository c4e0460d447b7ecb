#include "server/server.h"

#include <atomic>
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

// One live (or ended but not yet reaped) connection thread. `peer` duplicates the
// connection's socket so shutdown can wake the thread's blocking receive.
struct ConnectionEntry {
  Socket peer;
  NamedThread thread;
  std::shared_ptr<std::atomic<bool>> ended;
};

// Shared by the running state and the accept thread. Lock order: the server's state lock,
// then the accept-thread lock, then `mu`; the accept thread takes only `mu`.
struct ConnectionRegistry {
  std::mutex mu;
  std::vector<ConnectionEntry> entries;  // guarded by mu
  std::atomic<bool> stopped{false};
};

// Runs one connection on its own thread: the request loop, then a shutdown so the peer
// sees the close even while the registry still holds a duplicate of the socket.
void serve_connection(Socket sock, const ServerContext& ctx) {
  (void)sock.set_nodelay(true);  // latency only; the connection works without it
  auto sender = sock.dup();
  if (!sender) return;
  Socket send_sock = std::move(sender).value();
  SocketSource source(sock);
  SocketSink sink(send_sock);
  serve_requests(source, sink, ctx);
  (void)sock.shutdown_both();
}

// Removes every entry whose thread has ended, joining it and closing its duplicate.
// REQUIRES: reg.mu held.
void reap(ConnectionRegistry& reg) {
  auto& v = reg.entries;
  for (size_t i = 0; i < v.size();) {
    if (v[i].ended->load(std::memory_order_acquire)) {
      v[i].thread.join();
      if (i + 1 != v.size()) v[i] = std::move(v.back());
      v.pop_back();
    } else {
      ++i;
    }
  }
}

void accept_loop(Socket& listener, const std::shared_ptr<const ServerContext>& ctx, ConnectionRegistry& reg) {
  for (;;) {
    auto accepted = listener.accept();
    if (!accepted) {
      if (reg.stopped.load(std::memory_order_acquire)) return;
      // Out of descriptors and similar conditions pass; retry rather than give up.
      sleep_ms(kAcceptRetryMs);
      continue;
    }
    std::lock_guard<std::mutex> guard(reg.mu);
    if (reg.stopped.load(std::memory_order_acquire)) return;  // the wake-up connection
    reap(reg);
    auto peer = accepted.value().dup();
    if (!peer) continue;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    // std::function needs a copyable callable, so the socket travels in a shared_ptr.
    auto conn = std::make_shared<Socket>(std::move(accepted).value());
    auto thread = NamedThread::spawn("vellum-conn", [conn, ctx, ended] {
      serve_connection(std::move(*conn), *ctx);
      ended->store(true, std::memory_order_release);
    });
    if (!thread) continue;  // both handles close on scope exit; the server goes on
    reg.entries.push_back(ConnectionEntry{std::move(peer).value(), std::move(thread).value(), std::move(ended)});
  }
}

// Exists from a successful start() to the next stop().
struct RunningState {
  SocketAddress wake_address;
  std::shared_ptr<ConnectionRegistry> registry;
  std::mutex accept_mu;
  NamedThread accept_thread;  // guarded by accept_mu; taken by the first shutdown
  std::shared_ptr<std::atomic<bool>> accept_ended;
  uint16_t bound_port = 0;

  // Ends the accept thread, then every connection. Running it again does nothing.
  void shutdown() {
    registry->stopped.store(true, std::memory_order_release);
    {
      std::lock_guard<std::mutex> guard(accept_mu);
      NamedThread t = std::move(accept_thread);
      if (t.joinable()) {
        // The accept thread blocks in accept(); a connection to its own address wakes it,
        // and it then sees the stopped flag. Repeat in case a wake-up races a client.
        while (!accept_ended->load(std::memory_order_acquire)) {
          auto s = Socket::connect_with_timeout(wake_address, kWakeConnectTimeoutMs);
          (void)s;  // closed at once, whatever the outcome
          sleep_ms(kWakeRetryMs);
        }
        t.join();
      }
    }
    std::vector<ConnectionEntry> entries;
    {
      std::lock_guard<std::mutex> guard(registry->mu);
      entries.swap(registry->entries);
    }
    // Shutting down a duplicate makes the thread's blocking receive return.
    for (ConnectionEntry& e : entries) (void)e.peer.shutdown_both();
    for (ConnectionEntry& e : entries) {
      e.thread.join();
      e.peer.close();
    }
  }
};

}  // namespace

struct Server::Impl {
  std::shared_ptr<Store> store;
  std::string host;
  std::optional<Bytes> password;
  uint16_t configured_port = 0;

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
    state->registry = std::make_shared<ConnectionRegistry>();
    state->accept_ended = std::make_shared<std::atomic<bool>>(false);

    auto ctx = std::make_shared<ServerContext>();
    ctx->password = password;
    ctx->started_ms = monotonic_ms();
    ctx->store = store;

    auto lsock = std::make_shared<Socket>(std::move(*listener));
    auto thread = NamedThread::spawn(
        "vellum-accept", [lsock, shared_ctx = std::shared_ptr<const ServerContext>(ctx), reg = state->registry,
                          ended = state->accept_ended] {
          accept_loop(*lsock, shared_ctx, *reg);
          lsock->close();
          ended->store(true, std::memory_order_release);
        });
    if (!thread) return io_err(thread.take_error());
    state->accept_thread = std::move(thread).value();
    return state;
  }
};

Server::Server(std::shared_ptr<Store> store, std::string host, uint16_t port, std::optional<Bytes> password)
    : impl_(std::make_unique<Impl>()) {
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

bool Server::running() const {
  std::lock_guard<std::mutex> guard(impl_->state_mu);
  return impl_->running != nullptr;
}

}  // namespace vellum::server
