#pragma once
// Server: serves a Store to RESP2 clients over TCP, one accept thread ("vellum-accept")
// and one thread per connection ("vellum-conn") that owns the connection's socket.
// start/stop/port/running are thread-safe; the destructor stops a running server. The
// server never calls into Python.
//
// The request budget bounds the bytes that all connections together hold in request
// buffers (see connection.h); a connection whose request would cross it is answered with
// an error and closed while the others go on. By default it is 1 GiB, or the store's
// max_memory when that is smaller.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "core/store.h"
#include "platform/io_error.h"
#include "server/script.h"

namespace vellum::server {

class Server {
 public:
  static constexpr uint64_t kDefaultRequestBudget = uint64_t{1} << 30;

  // REQUIRES: request_budget, when given, is positive; script_time_limit_ms is positive.
  // A script that has not written yet is stopped once it has run script_time_limit_ms.
  Server(std::shared_ptr<Store> store, std::string host, uint16_t port, std::optional<Bytes> password,
         std::optional<uint64_t> request_budget = std::nullopt,
         uint64_t script_time_limit_ms = kDefaultScriptTimeLimitMs);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds host:port and starts accepting; does nothing while running. The error's text is
  // the reason only; callers add "cannot bind {host}:{port}: ".
  IoResult<void> start();
  // Stops accepting, closes every connection and joins every thread. Safe to repeat.
  void stop();
  // The bound port while running; otherwise the configured port before the first start
  // and the last bound port after a stop.
  uint16_t port() const;
  bool running() const;
  uint64_t request_budget() const;
  uint64_t script_time_limit_ms() const;
  // Bytes charged to the request budget right now, by every connection together.
  uint64_t request_bytes_held() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vellum::server
