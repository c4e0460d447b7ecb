#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace vellum {

namespace {

IoError last_os_error() { return IoError::from_errno(errno); }

sockaddr_in as_v4(const sockaddr_storage& s) {
  sockaddr_in a{};
  std::memcpy(&a, &s, sizeof a);
  return a;
}

sockaddr_in6 as_v6(const sockaddr_storage& s) {
  sockaddr_in6 a{};
  std::memcpy(&a, &s, sizeof a);
  return a;
}

}  // namespace

SocketAddress::SocketAddress(const sockaddr* addr, socklen_t len) : len_(len) {
  std::memcpy(&storage_, addr, len);
}

uint16_t SocketAddress::port() const {
  if (family() == AF_INET) return ntohs(as_v4(storage_).sin_port);
  if (family() == AF_INET6) return ntohs(as_v6(storage_).sin6_port);
  return 0;
}

void SocketAddress::set_port(uint16_t port) {
  if (family() == AF_INET) {
    sockaddr_in a = as_v4(storage_);
    a.sin_port = htons(port);
    std::memcpy(&storage_, &a, sizeof a);
  } else if (family() == AF_INET6) {
    sockaddr_in6 a = as_v6(storage_);
    a.sin6_port = htons(port);
    std::memcpy(&storage_, &a, sizeof a);
  }
}

bool SocketAddress::is_unspecified() const {
  if (family() == AF_INET) return as_v4(storage_).sin_addr.s_addr == htonl(INADDR_ANY);
  if (family() == AF_INET6) {
    sockaddr_in6 a = as_v6(storage_);
    return IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr);
  }
  return false;
}

SocketAddress SocketAddress::connectable() const {
  if (!is_unspecified()) return *this;
  SocketAddress out = *this;
  if (family() == AF_INET) {
    sockaddr_in a = as_v4(storage_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&out.storage_, &a, sizeof a);
  } else {
    sockaddr_in6 a = as_v6(storage_);
    a.sin6_addr = in6addr_loopback;
    std::memcpy(&out.storage_, &a, sizeof a);
  }
  return out;
}

std::string SocketAddress::to_string() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family() == AF_INET) {
    sockaddr_in a = as_v4(storage_);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port());
  }
  sockaddr_in6 a = as_v6(storage_);
  inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
  std::string out = "[";
  out.append(text).append("]:").append(std::to_string(port()));
  return out;
}

IoResult<std::vector<SocketAddress>> resolve(std::string_view host, uint16_t port) {
  if (host.find('\0') != std::string_view::npos) {
    return io_err(IoError::invalid_input("host name contains a NUL byte"));
  }
  const std::string name(host);
  std::vector<SocketAddress> out;

  sockaddr_in v4{};
  if (inet_pton(AF_INET, name.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    out.emplace_back(reinterpret_cast<const sockaddr*>(&v4), socklen_t{sizeof v4});
    return out;
  }
  sockaddr_in6 v6{};
  if (inet_pton(AF_INET6, name.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    out.emplace_back(reinterpret_cast<const sockaddr*>(&v6), socklen_t{sizeof v6});
    return out;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_ADDRFAMILY) return out;
  if (rc == EAI_SYSTEM) return io_err(last_os_error());
  if (rc != 0) {
    return io_err(IoError::make(IoErrorKind::Other,
                                std::string("failed to look up address information: ") + gai_strerror(rc)));
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, freeaddrinfo);
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress addr(ai->ai_addr, ai->ai_addrlen);
    addr.set_port(port);
    out.push_back(addr);
  }
  return out;
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

int Socket::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::close() {
  if (fd_ >= 0) {
    // POSIX leaves the descriptor's state unspecified after EINTR from close; on Linux it
    // is always released, so retrying could close a descriptor another thread reused.
    ::close(fd_);
    fd_ = -1;
  }
}

IoResult<Socket> Socket::tcp(int family) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return io_err(last_os_error());
  return Socket(fd);
}

IoResult<Socket> Socket::listen_on(const SocketAddress& addr, int backlog) {
  auto sock = tcp(addr.family());
  if (!sock) return io_err(sock.take_error());
  Socket s = std::move(sock).value();
  if (auto r = s.set_reuse_address(); !r) return io_err(r.take_error());
  if (auto r = s.bind(addr); !r) return io_err(r.take_error());
  if (auto r = s.listen(backlog); !r) return io_err(r.take_error());
  return s;
}

IoResult<Socket> Socket::connect_with_timeout(const SocketAddress& addr, int timeout_ms) {
  int fd = ::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) return io_err(last_os_error());
  Socket s(fd);
  // The connected socket is handed back in blocking mode, like every other Socket.
  auto make_blocking = [&s]() -> IoResult<Socket> {
    int flags = ::fcntl(s.fd(), F_GETFL);
    if (flags < 0 || ::fcntl(s.fd(), F_SETFL, flags & ~O_NONBLOCK) < 0) return io_err(last_os_error());
    return std::move(s);
  };
  if (::connect(fd, addr.raw(), addr.raw_len()) == 0) return make_blocking();
  if (errno != EINPROGRESS && errno != EINTR) return io_err(last_os_error());

  pollfd p{fd, POLLOUT, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeout_ms);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return io_err(last_os_error());
  if (rc == 0) return io_err(IoError::make(IoErrorKind::WouldBlock, "connection timed out"));
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return io_err(last_os_error());
  if (err != 0) return io_err(IoError::from_errno(err));
  return make_blocking();
}

IoResult<void> Socket::bind(const SocketAddress& addr) {
  if (::bind(fd_, addr.raw(), addr.raw_len()) < 0) return io_err(last_os_error());
  return {};
}

IoResult<void> Socket::listen(int backlog) {
  if (::listen(fd_, backlog) < 0) return io_err(last_os_error());
  return {};
}

IoResult<void> Socket::set_reuse_address() {
  int on = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) return io_err(last_os_error());
  return {};
}

IoResult<void> Socket::set_nodelay(bool on) {
  int v = on ? 1 : 0;
  if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) < 0) return io_err(last_os_error());
  return {};
}

IoResult<void> Socket::set_receive_timeout(int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) return io_err(last_os_error());
  return {};
}

IoResult<SocketAddress> Socket::local_address() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) < 0) return io_err(last_os_error());
  if (ss.ss_family != AF_INET && ss.ss_family != AF_INET6) {
    return io_err(IoError::invalid_data("socket has no IP address"));
  }
  return SocketAddress(reinterpret_cast<const sockaddr*>(&ss), len);
}

IoResult<Socket> Socket::accept() {
  for (;;) {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Socket(fd);
    if (errno != EINTR) return io_err(last_os_error());
  }
}

IoResult<size_t> Socket::recv(char* buf, size_t cap) {
  for (;;) {
    ssize_t n = ::recv(fd_, buf, cap, 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return io_err(last_os_error());
  }
}

IoResult<void> Socket::send_all(const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd_, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_err(last_os_error());
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return {};
}

IoResult<void> Socket::shutdown_both() {
  if (::shutdown(fd_, SHUT_RDWR) < 0) return io_err(last_os_error());
  return {};
}

}  // namespace vellum
