#pragma once
// TCP sockets of the OS. A Socket is the single owner of one file descriptor: it is
// move-only and closes the descriptor in its destructor. Every call retries EINTR; every
// failure is an IoError built from errno. A Socket may be used by one thread at a time,
// except that shutdown() may be called from another thread to wake a blocked receive or
// send; the caller must make sure the Socket is still open then.
//
// Descriptors are created close-on-exec, and sends never raise SIGPIPE: a peer that went
// away shows up as a BrokenPipe error instead.

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io_error.h"

namespace vellum {

// An IPv4 or IPv6 socket address.
class SocketAddress {
 public:
  SocketAddress() = default;
  // REQUIRES: len <= sizeof(sockaddr_storage) and addr is AF_INET or AF_INET6.
  SocketAddress(const sockaddr* addr, socklen_t len);

  int family() const { return storage_.ss_family; }
  uint16_t port() const;
  void set_port(uint16_t port);
  // True for 0.0.0.0 and ::.
  bool is_unspecified() const;
  // The same address with an unspecified IP replaced by the loopback address of its
  // family (127.0.0.1 or ::1): where a connection to this address can be made.
  SocketAddress connectable() const;
  // "1.2.3.4:80" or "[::1]:80", for messages and tests.
  std::string to_string() const;

  const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t raw_len() const { return len_; }

 private:
  sockaddr_storage storage_{};
  socklen_t len_ = 0;
};

// Resolves host and port to socket addresses. An IPv4 or IPv6 literal yields exactly that
// address; any other host goes to the system resolver, whose "no such name" outcomes are
// an empty list (not an error). A host holding a NUL byte fails with invalid input.
IoResult<std::vector<SocketAddress>> resolve(std::string_view host, uint16_t port);

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  // A new TCP socket of the given address family.
  static IoResult<Socket> tcp(int family);
  // A TCP socket bound to `addr` and listening with `backlog`. SO_REUSEADDR is set first
  // so a restarted server can bind over connections of its previous run still in
  // TIME_WAIT; Linux still refuses a second listener on a port that has one.
  static IoResult<Socket> listen_on(const SocketAddress& addr, int backlog);
  // Connects to `addr` without blocking and waits at most `timeout_ms` for the handshake.
  // Fails with WouldBlock (timed out) or the connection's error. The socket returned is
  // in blocking mode.
  static IoResult<Socket> connect_with_timeout(const SocketAddress& addr, int timeout_ms);

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  IoResult<void> bind(const SocketAddress& addr);
  IoResult<void> listen(int backlog);
  IoResult<void> set_reuse_address();
  IoResult<void> set_nodelay(bool on);
  // Makes a blocking receive fail with WouldBlock after `ms` milliseconds without data.
  IoResult<void> set_receive_timeout(int ms);
  IoResult<SocketAddress> local_address() const;
  IoResult<Socket> accept();
  // Receives at most `cap` bytes; 0 means the peer closed its sending side.
  IoResult<size_t> recv(char* buf, size_t cap);
  // Sends every byte, looping over short writes.
  IoResult<void> send_all(const char* data, size_t len);
  // Shuts down both directions; a receive or send blocked on any handle of this socket
  // returns.
  IoResult<void> shutdown_both();
  // Closes the descriptor (errors ignored: the descriptor is gone either way).
  void close();
  int release();

 private:
  int fd_ = -1;
};

}  // namespace vellum
