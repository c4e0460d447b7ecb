// Load on the RESP server from an epoll load generator of our own: C connections with P
// requests in flight on each, over PING, GET, SET, a 90/10 GET/SET mix and EVALSHA of a
// lock-release script (redis-py's Lock.release, with a token that does not match, so each
// call reads its key and answers 0), reporting requests per second and p50/p99 latency
// from send to reply.
//
// Every case measures two targets in the same process: a minimal thread-per-connection
// responder built in here, which parses just enough of a request to know it is whole and
// answers a fixed reply per command, and a vellum Server over a Store preloaded with
// 100,000 keys of 100-byte values. The responder coalesces its replies the way the server
// does (a send once no whole request is buffered), so it is the ceiling of the
// thread-per-connection design on this machine, and the ratio says how much of it vellum
// keeps. The load generator is one thread on the same cores; its CPU share, the servers'
// CPU time per request and the share taken by other processes are reported beside each
// result.
//
// Background load from other processes drifts, so a case runs in rounds that alternate
// which target goes first, over connections that stay open for the whole case, and the
// spread of the per-round ratios is reported with the totals.
//
// After the comparison (unless --workload narrows the run): transactions of MULTI, ten
// SETs and EXEC from pipelining clients, beside the same ten SETs pipelined without a
// transaction, with the time EXEC takes inside the server (its shard locks are held for
// most of it) measured under that load; and full SCAN iterations with COUNT 100 over a
// store of a million keys, with the longest single call.
//
// With no arguments the whole comparison runs in well under two minutes. Flags for longer
// or narrower runs: --seconds S (measured per round and target), --warmup S, --rounds N,
// --conns C, --pipeline P (instead of the two default depths 1 and 16), --workload
// ping|get|set|mixed|evalsha, and --shards N for the store.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/store.h"
#include "platform/clock.h"
#include "server/commands.h"
#include "server/resp.h"
#include "server/server.h"
#include "server/sha1.h"

using namespace vellum;

namespace {

inline constexpr uint32_t kKeys = 100000;
inline constexpr size_t kValueBytes = 100;
// Pre-encoded requests per workload; each connection walks the pool from its own offset.
inline constexpr size_t kPoolRequests = 1 << 16;
// Latency histogram: 1 us buckets up to 200 ms, later replies in the last bucket.
inline constexpr size_t kHistogramBuckets = 200000;
// After the measured window no new request is sent; outstanding replies get this long.
inline constexpr uint64_t kDrainNs = 2'000'000'000;
// The responder's buffers are the size of the server's, so neither coalesces more per send.
inline constexpr size_t kServerBufferBytes = server::kBufferBytes;

enum class Workload { Ping, Get, Set, Mixed, Evalsha };

// redis-py's Lock release script, as the client sends it.
constexpr std::string_view kLockReleaseScript = R"(
        local token = redis.call('get', KEYS[1])
        if not token or token ~= ARGV[1] then
            return 0
        end
        redis.call('del', KEYS[1])
        return 1
    )";

struct WorkloadInfo {
  Workload workload;
  const char* name;
  std::string_view flag;
  bool has_target;  // GET and SET carry the issue's ratio targets
};

constexpr std::array kWorkloads = {
    WorkloadInfo{Workload::Ping, "PING", "ping", false},
    WorkloadInfo{Workload::Get, "GET", "get", true},
    WorkloadInfo{Workload::Set, "SET", "set", true},
    WorkloadInfo{Workload::Mixed, "90/10 GET/SET", "mixed", false},
    WorkloadInfo{Workload::Evalsha, "EVALSHA lock release", "evalsha", false},
};

// A case is one workload at one depth; each of its rounds measures both targets.
struct Options {
  double seconds = 0.6;  // measured per round and target
  double warmup = 0.2;   // before each measured slice
  int rounds = 3;
  uint64_t shards = StoreConfig{}.shards;
  int conns = 50;
  std::vector<int> pipelines{1, 16};
  std::optional<std::string> workload;
};

uint64_t now_ns() { return monotonic_ns(); }

uint64_t next_random(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

std::string key_name(uint64_t i) {
  char key[24];
  std::snprintf(key, sizeof key, "key:%06u", static_cast<unsigned>(i));
  return key;
}

void append_command(std::string& out, std::initializer_list<std::string_view> args) {
  out += '*';
  out += std::to_string(args.size());
  out += "\r\n";
  for (std::string_view a : args) {
    out += '$';
    out += std::to_string(a.size());
    out += "\r\n";
    out += a;
    out += "\r\n";
  }
}

// kPoolRequests encoded requests back to back; request i is bytes[offsets[i], offsets[i+1]).
struct RequestPool {
  std::string bytes;
  std::vector<uint32_t> offsets;

  std::string_view at(size_t i) const {
    return std::string_view(bytes).substr(offsets[i], offsets[i + 1] - offsets[i]);
  }
};

RequestPool build_pool(Workload w, uint64_t seed) {
  RequestPool pool;
  const std::string value(kValueBytes, 'v');
  const std::string release_sha = server::sha1_hex(kLockReleaseScript);
  pool.offsets.reserve(kPoolRequests + 1);
  for (size_t i = 0; i < kPoolRequests; ++i) {
    pool.offsets.push_back(static_cast<uint32_t>(pool.bytes.size()));
    const std::string key = key_name(next_random(seed) % kKeys);
    bool set = w == Workload::Set || (w == Workload::Mixed && next_random(seed) % 10 == 0);
    if (w == Workload::Ping) {
      append_command(pool.bytes, {"PING"});
    } else if (w == Workload::Evalsha) {
      append_command(pool.bytes, {"EVALSHA", release_sha, "1", key, "not-the-token"});
    } else if (set) {
      append_command(pool.bytes, {"SET", key, value});
    } else {
      append_command(pool.bytes, {"GET", key});
    }
  }
  pool.offsets.push_back(static_cast<uint32_t>(pool.bytes.size()));
  return pool;
}

// Parses the decimal number that starts at p[i] and ends with CR LF. Returns false when
// the bytes end first; `bad` is set when something else stands there.
bool scan_number_line(const char* p, size_t n, size_t& i, int64_t& value, bool& bad) {
  bool negative = false;
  if (i < n && p[i] == '-') {
    negative = true;
    ++i;
  }
  int64_t v = 0;
  size_t digits = 0;
  while (i < n && p[i] >= '0' && p[i] <= '9') {
    v = v * 10 + (p[i] - '0');
    ++i;
    ++digits;
    if (digits > 12) {
      bad = true;
      return false;
    }
  }
  if (i + 2 > n) return false;
  if (digits == 0 || p[i] != '\r' || p[i + 1] != '\n') {
    bad = true;
    return false;
  }
  i += 2;
  value = negative ? -v : v;
  return true;
}

// Length of the whole multibulk request at the start of p[0, n): 0 when it has not all
// arrived, -1 when it is not one. `command` gets the first byte of the command name.
ptrdiff_t scan_request(const char* p, size_t n, char& command) {
  if (n == 0) return 0;
  if (p[0] != '*') return -1;
  size_t i = 1;
  int64_t count = 0;
  bool bad = false;
  if (!scan_number_line(p, n, i, count, bad)) return bad ? -1 : 0;
  if (count < 1) return -1;
  for (int64_t k = 0; k < count; ++k) {
    if (i >= n) return 0;
    if (p[i] != '$') return -1;
    ++i;
    int64_t len = 0;
    if (!scan_number_line(p, n, i, len, bad)) return bad ? -1 : 0;
    if (len < 0) return -1;
    if (k == 0) {
      if (len == 0) return -1;
      if (i < n) command = p[i];
    }
    if (i + static_cast<size_t>(len) + 2 > n) return 0;
    i += static_cast<size_t>(len) + 2;
  }
  return static_cast<ptrdiff_t>(i);
}

// Length of the whole reply at the start of p[0, n): 0 when it has not all arrived, -1
// when it is not a reply this benchmark can get. `kind` gets the type byte, `bulk_len`
// the length of a bulk reply (-1 for the null bulk).
ptrdiff_t scan_reply(const char* p, size_t n, char& kind, int64_t& bulk_len) {
  if (n == 0) return 0;
  kind = p[0];
  if (kind == '+' || kind == '-' || kind == ':') {
    const void* lf = std::memchr(p, '\n', n);
    if (lf == nullptr) return 0;
    return static_cast<const char*>(lf) - p + 1;
  }
  if (kind != '$') return -1;
  size_t i = 1;
  bool bad = false;
  if (!scan_number_line(p, n, i, bulk_len, bad)) return bad ? -1 : 0;
  if (bulk_len < 0) return static_cast<ptrdiff_t>(i);
  if (i + static_cast<size_t>(bulk_len) + 2 > n) return 0;
  return static_cast<ptrdiff_t>(i + static_cast<size_t>(bulk_len) + 2);
}

int listen_loopback(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 128) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

bool send_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The ceiling: one thread per connection blocking in recv, as the server does, but no
// store and no dispatch. Replies are fixed per command (+PONG, a 100-byte bulk for GET, +OK
// for SET) and leave in one send once no whole request is buffered or the 8 KiB output
// buffer is full.
class Responder {
 public:
  Responder() = default;
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;
  ~Responder() { stop(); }

  bool start() {
    listen_fd_ = listen_loopback(port_);
    if (listen_fd_ < 0) return false;
    accept_thread_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "resp-accept");
      accept_loop();
    });
    return true;
  }

  uint16_t port() const { return port_; }

  // Wakes accept (shutdown of a listening socket makes it fail at once on Linux), then
  // every connection's recv, and joins every thread.
  void stop() {
    if (!accept_thread_.joinable()) return;
    stopped_.store(true);
    ::shutdown(listen_fd_, SHUT_RDWR);
    accept_thread_.join();
    ::close(listen_fd_);
    std::lock_guard<std::mutex> guard(mu_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& t : threads_) t.join();
    for (int fd : fds_) ::close(fd);
    fds_.clear();
    threads_.clear();
  }

 private:
  void accept_loop() {
    while (!stopped_.load()) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard<std::mutex> guard(mu_);
      fds_.push_back(fd);
      threads_.emplace_back([fd] {
        pthread_setname_np(pthread_self(), "resp-conn");
        serve(fd);
      });
    }
  }

  static void serve(int fd) {
    static const std::string get_reply = [] {
      std::string r = "$";
      r.append(std::to_string(kValueBytes)).append("\r\n").append(kValueBytes, 'v').append("\r\n");
      return r;
    }();
    std::array<char, kServerBufferBytes> in;
    std::array<char, kServerBufferBytes> out;
    size_t begin = 0, end = 0, out_len = 0;
    for (;;) {
      if (begin == end) {
        begin = end = 0;
      } else if (end == in.size()) {
        if (begin == 0) return;  // a request larger than the buffer; ours never are
        std::memmove(in.data(), in.data() + begin, end - begin);
        end -= begin;
        begin = 0;
      }
      ssize_t got = ::recv(fd, in.data() + end, in.size() - end, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      end += static_cast<size_t>(got);
      for (;;) {
        char command = 0;
        ptrdiff_t len = scan_request(in.data() + begin, end - begin, command);
        if (len < 0) return;
        if (len == 0) break;
        begin += static_cast<size_t>(len);
        std::string_view reply = command == 'G' || command == 'g'   ? std::string_view(get_reply)
                                 : command == 'S' || command == 's' ? std::string_view("+OK\r\n")
                                 : command == 'E' || command == 'e' ? std::string_view(":0\r\n")
                                                                    : std::string_view("+PONG\r\n");
        if (out_len + reply.size() > out.size()) {
          if (!send_all(fd, out.data(), out_len)) return;
          out_len = 0;
        }
        std::memcpy(out.data() + out_len, reply.data(), reply.size());
        out_len += reply.size();
      }
      if (out_len > 0) {
        if (!send_all(fd, out.data(), out_len)) return;
        out_len = 0;
      }
    }
  }

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopped_{false};
  std::thread accept_thread_;
  std::mutex mu_;
  std::vector<int> fds_;              // guarded by mu_
  std::vector<std::thread> threads_;  // guarded by mu_
};

struct Histogram {
  std::vector<uint64_t> buckets = std::vector<uint64_t>(kHistogramBuckets, 0);
  uint64_t count = 0;

  void add(uint64_t ns) {
    ++buckets[std::min<uint64_t>(ns / 1000, kHistogramBuckets - 1)];
    ++count;
  }

  // The upper edge of the bucket holding quantile q, in microseconds.
  double quantile_us(double q) const {
    if (count == 0) return 0;
    const auto rank = static_cast<uint64_t>(q * static_cast<double>(count - 1)) + 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < buckets.size(); ++i) {
      seen += buckets[i];
      if (seen >= rank) return static_cast<double>(i + 1);
    }
    return static_cast<double>(buckets.size());
  }
};

uint64_t rusage_ns(int who) {
  rusage u{};
  ::getrusage(who, &u);
  auto tv_ns = [](const timeval& tv) {
    return static_cast<uint64_t>(tv.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(tv.tv_usec) * 1000;
  };
  return tv_ns(u.ru_utime) + tv_ns(u.ru_stime);
}

// Busy CPU time of the whole machine so far, from the first line of /proc/stat; 0 where
// it cannot be read.
uint64_t machine_busy_ns() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  if (!(stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal)) return 0;
  const uint64_t ticks = user + nice + system + irq + softirq + steal;
  return ticks * (1'000'000'000 / static_cast<uint64_t>(::sysconf(_SC_CLK_TCK)));
}

// What one target accumulated over every round of a case.
struct Totals {
  Histogram latency;  // replies received inside the measured windows
  uint64_t wall_ns = 0;
  uint64_t loadgen_cpu_ns = 0;  // the load generator's thread
  uint64_t process_cpu_ns = 0;  // this whole process: the load generator and both servers
  uint64_t others_cpu_ns = 0;   // every process but this one
  uint64_t error_replies = 0;
  uint64_t unexpected_replies = 0;
  std::vector<double> round_rates;

  double rate() const { return wall_ns == 0 ? 0 : static_cast<double>(latency.count) * 1e9 / static_cast<double>(wall_ns); }
};

// One client connection of the load generator. At most `pipeline` requests are in flight;
// their send times wait in a ring, oldest at `head`, since replies come back in order.
struct ClientConn {
  int fd = -1;
  std::vector<char> in = std::vector<char>(64 * 1024);
  size_t in_begin = 0, in_end = 0;
  std::string out;
  size_t out_pos = 0;
  std::vector<uint64_t> sent_ns;
  size_t head = 0, in_flight = 0;
  size_t next_request = 0;
  bool watching_out = false;
};

int connect_loopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Drives the connections of one target from the calling thread. Each measure() is a
// slice: every connection starts with `pipeline` requests and sends one more per reply
// until the window closes, then the replies still outstanding are awaited, so the next
// slice starts from idle connections.
class LoadGenerator {
 public:
  LoadGenerator(const RequestPool& pool, Workload workload, int conns, int pipeline)
      : pool_(pool), workload_(workload), conns_(static_cast<size_t>(conns)), pipeline_(static_cast<size_t>(pipeline)) {}
  LoadGenerator(const LoadGenerator&) = delete;
  LoadGenerator& operator=(const LoadGenerator&) = delete;
  ~LoadGenerator() {
    for (ClientConn& c : conns_) {
      if (c.fd >= 0) ::close(c.fd);
    }
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
  }

  std::optional<std::string> connect(uint16_t port) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) return "epoll_create1 failed";
    for (size_t i = 0; i < conns_.size(); ++i) {
      ClientConn& c = conns_[i];
      c.fd = connect_loopback(port);
      if (c.fd < 0) return "connect failed: " + std::string(std::strerror(errno));
      c.sent_ns.assign(pipeline_, 0);
      c.next_request = i * (kPoolRequests / conns_.size());
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = i;
      if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, c.fd, &ev) != 0) return "epoll_ctl failed";
    }
    return std::nullopt;
  }

  // Adds one slice of `seconds` after `warmup_s` to `t`.
  std::optional<std::string> measure(double warmup_s, double seconds, Totals& t) {
    const uint64_t start = now_ns();
    measure_from_ = start + static_cast<uint64_t>(warmup_s * 1e9);
    measure_until_ = measure_from_ + static_cast<uint64_t>(seconds * 1e9);
    latency_ = &t.latency;
    const uint64_t count_before = t.latency.count;
    for (ClientConn& c : conns_) {
      queue_requests(c, pipeline_, start);
      if (!flush(c)) return "send failed";
    }

    enum class Phase { Warmup, Window, Drain } phase = Phase::Warmup;
    uint64_t window_start = 0, cpu0 = 0, self0 = 0, machine0 = 0;
    std::array<epoll_event, 64> events;
    for (;;) {
      const uint64_t now = now_ns();
      if (phase == Phase::Warmup && now >= measure_from_) {
        phase = Phase::Window;
        window_start = now;
        cpu0 = rusage_ns(RUSAGE_THREAD);
        self0 = rusage_ns(RUSAGE_SELF);
        machine0 = machine_busy_ns();
      } else if (phase == Phase::Window && now >= measure_until_) {
        phase = Phase::Drain;
        const uint64_t wall = now - window_start;
        t.wall_ns += wall;
        t.loadgen_cpu_ns += rusage_ns(RUSAGE_THREAD) - cpu0;
        const uint64_t self = rusage_ns(RUSAGE_SELF) - self0;
        t.process_cpu_ns += self;
        const uint64_t machine = machine_busy_ns() - machine0;
        t.others_cpu_ns += machine > self ? machine - self : 0;
        t.round_rates.push_back(static_cast<double>(t.latency.count - count_before) * 1e9 / static_cast<double>(wall));
      }
      if (phase == Phase::Drain) {
        if (in_flight() == 0) break;
        if (now >= measure_until_ + kDrainNs) return "replies still outstanding after the drain time";
      }

      int n = ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), 10);
      if (n < 0) {
        if (errno == EINTR) continue;
        return "epoll_wait failed";
      }
      for (int k = 0; k < n; ++k) {
        ClientConn& c = conns_[events[static_cast<size_t>(k)].data.u64];
        const uint32_t ev = events[static_cast<size_t>(k)].events;
        if ((ev & EPOLLOUT) != 0 && !flush(c)) return "send failed";
        if ((ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0 && !on_readable(c)) {
          return "connection closed or a malformed reply";
        }
      }
    }
    t.error_replies += error_replies_;
    t.unexpected_replies += unexpected_replies_;
    error_replies_ = unexpected_replies_ = 0;
    return std::nullopt;
  }

 private:
  size_t in_flight() const {
    size_t n = 0;
    for (const ClientConn& c : conns_) n += c.in_flight;
    return n;
  }

  void queue_requests(ClientConn& c, size_t n, uint64_t now) {
    for (size_t i = 0; i < n; ++i) {
      c.out.append(pool_.at(c.next_request));
      c.next_request = (c.next_request + 1) % kPoolRequests;
      c.sent_ns[(c.head + c.in_flight) % pipeline_] = now;
      ++c.in_flight;
    }
  }

  // Sends what is queued; what the socket does not take waits for EPOLLOUT.
  bool flush(ClientConn& c) {
    while (c.out_pos < c.out.size()) {
      ssize_t n = ::send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        break;
      }
      c.out_pos += static_cast<size_t>(n);
    }
    const bool pending = c.out_pos < c.out.size();
    if (!pending) {
      c.out.clear();
      c.out_pos = 0;
    }
    if (pending != c.watching_out) {
      epoll_event ev{};
      ev.events = EPOLLIN | (pending ? EPOLLOUT : 0u);
      ev.data.u64 = static_cast<uint64_t>(&c - conns_.data());
      if (::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev) != 0) return false;
      c.watching_out = pending;
    }
    return true;
  }

  // Takes what one recv brings, matches every whole reply to the oldest request in flight
  // and, while the window is open, sends one new request per reply in a single send.
  bool on_readable(ClientConn& c) {
    if (c.in_begin == c.in_end) {
      c.in_begin = c.in_end = 0;
    } else if (c.in_end == c.in.size()) {
      std::memmove(c.in.data(), c.in.data() + c.in_begin, c.in_end - c.in_begin);
      c.in_end -= c.in_begin;
      c.in_begin = 0;
    }
    ssize_t got = ::recv(c.fd, c.in.data() + c.in_end, c.in.size() - c.in_end, 0);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (got == 0) return false;
    c.in_end += static_cast<size_t>(got);

    const uint64_t now = now_ns();
    const bool in_window = now >= measure_from_ && now < measure_until_;
    size_t replies = 0;
    for (;;) {
      char kind = 0;
      int64_t bulk_len = 0;
      ptrdiff_t len = scan_reply(c.in.data() + c.in_begin, c.in_end - c.in_begin, kind, bulk_len);
      if (len < 0) return false;
      if (len == 0) break;
      if (c.in_flight == 0) return false;  // a reply nobody asked for
      c.in_begin += static_cast<size_t>(len);
      if (in_window) latency_->add(now - c.sent_ns[c.head]);
      c.head = (c.head + 1) % pipeline_;
      --c.in_flight;
      ++replies;
      check_reply(kind, bulk_len);
    }
    if (now < measure_until_ && replies > 0) {
      queue_requests(c, replies, now);
      return flush(c);
    }
    return true;
  }

  // Every key is preloaded, so a GET finds its 100-byte value; PING and SET get a status.
  void check_reply(char kind, int64_t bulk_len) {
    const bool status = kind == '+';
    const bool value = kind == '$' && bulk_len == static_cast<int64_t>(kValueBytes);
    bool expected = false;
    switch (workload_) {
      case Workload::Ping:
      case Workload::Set:
        expected = status;
        break;
      case Workload::Get:
        expected = value;
        break;
      case Workload::Mixed:
        expected = status || value;
        break;
      case Workload::Evalsha:
        expected = kind == ':';
        break;
    }
    if (kind == '-') {
      ++error_replies_;
    } else if (!expected) {
      ++unexpected_replies_;
    }
  }

  const RequestPool& pool_;
  Workload workload_;
  std::vector<ClientConn> conns_;
  size_t pipeline_;
  int epoll_fd_ = -1;
  uint64_t measure_from_ = 0, measure_until_ = 0;
  Histogram* latency_ = nullptr;
  uint64_t error_replies_ = 0, unexpected_replies_ = 0;
};

std::shared_ptr<Store> preloaded_store(uint64_t shards) {
  StoreConfig config;
  config.shards = shards;
  config.sweep_interval_ms = 0;  // no key has an expiry; nothing for a sweeper to do
  auto store = Store::create(config, nullptr, /*start_sweeper=*/false);
  const std::string value(kValueBytes, 'v');
  for (uint32_t i = 0; i < kKeys; ++i) (void)store->set(key_name(i), value, std::nullopt, false, false);
  return store;
}

// Caches `script` on the server at `port` with SCRIPT LOAD over a blocking connection;
// false when the reply is not its SHA-1.
bool load_script(uint16_t port, std::string_view script) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  std::string request;
  append_command(request, {"SCRIPT", "LOAD", script});
  std::string reply;
  const std::string expected = "$40\r\n" + server::sha1_hex(script) + "\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && send_all(fd, request.data(), request.size())) {
    char buf[256];
    while (reply.size() < expected.size()) {
      const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
      if (got <= 0) break;
      reply.append(buf, static_cast<size_t>(got));
    }
  }
  ::close(fd);
  return reply == expected;
}

std::string fmt(const char* f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

bool parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s needs a value\n", argv[i]);
      return false;
    }
    const char* v = argv[++i];
    if (a == "--seconds") {
      o.seconds = std::atof(v);
    } else if (a == "--warmup") {
      o.warmup = std::atof(v);
    } else if (a == "--rounds") {
      o.rounds = std::atoi(v);
    } else if (a == "--shards") {
      o.shards = static_cast<uint64_t>(std::atoll(v));
    } else if (a == "--conns") {
      o.conns = std::atoi(v);
    } else if (a == "--pipeline") {
      o.pipelines = {std::atoi(v)};
    } else if (a == "--workload") {
      o.workload = v;
    } else {
      std::fprintf(stderr, "unknown flag %s\n", argv[i - 1]);
      return false;
    }
  }
  const bool known_workload =
      !o.workload || std::any_of(kWorkloads.begin(), kWorkloads.end(), [&](const WorkloadInfo& w) { return *o.workload == w.flag; });
  const bool valid = o.seconds > 0 && o.seconds <= 600 && o.warmup >= 0 && o.warmup <= 60 && o.rounds >= 1 &&
                     o.rounds <= 100 && o.shards >= 1 && o.shards <= 65536 && o.conns >= 1 && o.conns <= 10000 && o.pipelines[0] >= 1 &&
                     o.pipelines[0] <= 4096 && known_workload;
  if (!valid) {
    std::fprintf(stderr,
                 "usage: resp_load_bench [--seconds 0<S<=600] [--warmup 0<=S<=60] [--rounds 1..100] "
                 "[--shards 1..65536] [--conns 1..10000] [--pipeline 1..4096] [--workload ping|get|set|mixed|evalsha]\n");
  }
  return valid;
}

// The issue's targets: 0.85x the responder without pipelining, 0.75x with requests in
// flight.
double target_ratio(int pipeline) { return pipeline == 1 ? 0.85 : 0.75; }

struct CaseResult {
  std::optional<std::string> failure;
  Totals responder, vellum;
};

// Runs the rounds of one case, alternating which target goes first so a change in the
// machine's background load falls on both alike.
CaseResult run_case(const Options& opt, const RequestPool& pool, Workload w, int pipeline, uint16_t vellum_port) {
  CaseResult r;
  Responder responder;
  if (!responder.start()) {
    r.failure = "the responder did not start";
    return r;
  }
  LoadGenerator to_responder(pool, w, opt.conns, pipeline);
  LoadGenerator to_vellum(pool, w, opt.conns, pipeline);
  if (auto e = to_responder.connect(responder.port())) {
    r.failure = "responder: " + *e;
    return r;
  }
  if (auto e = to_vellum.connect(vellum_port)) {
    r.failure = "vellum: " + *e;
    return r;
  }
  for (int round = 0; round < opt.rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      const bool vellum_turn = (k == 1) == (round % 2 == 0);
      LoadGenerator& gen = vellum_turn ? to_vellum : to_responder;
      if (auto e = gen.measure(opt.warmup, opt.seconds, vellum_turn ? r.vellum : r.responder)) {
        r.failure = std::string(vellum_turn ? "vellum: " : "responder: ") + *e;
        return r;
      }
    }
  }
  return r;
}

// A blocking connection for the sequential measurements below.
class BlockingClient {
 public:
  BlockingClient() = default;
  BlockingClient(const BlockingClient&) = delete;
  BlockingClient& operator=(const BlockingClient&) = delete;
  ~BlockingClient() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool connect(uint16_t port) {
    fd_ = connect_loopback(port);
    if (fd_ < 0) return false;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return true;
  }
  bool send(std::string_view bytes) { return send_all(fd_, bytes.data(), bytes.size()); }

  // The bytes of the next whole reply; none when the connection ends or sends garbage.
  std::optional<std::string_view> reply() {
    if (pos_ > 0 && pos_ == buf_.size()) {
      buf_.clear();
      pos_ = 0;
    }
    for (;;) {
      const ptrdiff_t n = scan_any(buf_.data() + pos_, buf_.size() - pos_);
      if (n < 0) return std::nullopt;
      if (n > 0) {
        std::string_view r(buf_.data() + pos_, static_cast<size_t>(n));
        pos_ += static_cast<size_t>(n);
        return r;
      }
      if (pos_ > 0) {
        buf_.erase(0, pos_);
        pos_ = 0;
      }
      char chunk[65536];
      const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      buf_.append(chunk, static_cast<size_t>(got));
    }
  }

  // Length of the whole RESP2 reply at p[0, n), arrays included: 0 when incomplete.
  static ptrdiff_t scan_any(const char* p, size_t n) {
    if (n == 0) return 0;
    if (p[0] != '*') {
      char kind = 0;
      int64_t bulk_len = 0;
      return scan_reply(p, n, kind, bulk_len);
    }
    size_t i = 1;
    int64_t count = 0;
    bool bad = false;
    if (!scan_number_line(p, n, i, count, bad)) return bad ? -1 : 0;
    for (int64_t k = 0; k < count; ++k) {
      const ptrdiff_t e = scan_any(p + i, n - i);
      if (e <= 0) return e;
      i += static_cast<size_t>(e);
    }
    return static_cast<ptrdiff_t>(i);
  }

 private:
  int fd_ = -1;
  std::string buf_;
  size_t pos_ = 0;
};

struct Quantiles {
  double p50 = 0, p99 = 0, max = 0;
};

Quantiles quantiles(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))]; };
  return {at(0.5), at(0.99), v.back()};
}

// Clients that each send `batch` (a whole pipeline of `requests` requests) and read its
// replies, over and over for `seconds`; the batches completed per second. Any error reply
// or broken connection fails the measurement.
std::optional<double> pipelined_batches(uint16_t port, int clients, const std::string& batch, int requests,
                                        double seconds, std::atomic<bool>* running = nullptr) {
  std::atomic<uint64_t> done{0};
  std::atomic<bool> failed{false};
  const uint64_t until = now_ns() + static_cast<uint64_t>(seconds * 1e9);
  if (running != nullptr) running->store(true);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      BlockingClient client;
      if (!client.connect(port)) {
        failed = true;
        return;
      }
      while (now_ns() < until && !failed) {
        if (!client.send(batch)) failed = true;
        for (int r = 0; r < requests && !failed; ++r) {
          auto reply = client.reply();
          if (!reply || reply->starts_with("-") || reply->starts_with("*-1")) failed = true;
        }
        done.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  const uint64_t start = now_ns();
  for (std::thread& t : threads) t.join();
  if (running != nullptr) running->store(false);
  if (failed) return std::nullopt;
  return static_cast<double>(done.load()) * 1e9 / static_cast<double>(now_ns() - start);
}

bool run_transactions(const std::shared_ptr<Store>& store, uint16_t port, const Options& opt) {
  constexpr int kSets = 10;
  const int clients = std::min(opt.conns, 16);
  const double seconds = opt.seconds * opt.rounds;
  const std::string value(kValueBytes, 'v');
  uint64_t seed = 0x51ED2701;
  std::string sets;
  for (int i = 0; i < kSets; ++i) append_command(sets, {"SET", key_name(next_random(seed) % kKeys), value});
  std::string txn;
  append_command(txn, {"MULTI"});
  txn += sets;
  append_command(txn, {"EXEC"});

  std::printf("\n### Transactions: %d clients, each sending MULTI + %d SETs + EXEC as one pipeline\n\n", clients, kSets);
  const auto plain = pipelined_batches(port, clients, sets, kSets, seconds);
  // EXEC's time inside the server, measured under the transaction load by one more
  // connection that dispatches its own transactions directly against the same store.
  std::atomic<bool> running{false};
  std::vector<double> exec_us;
  std::thread timer([&] {
    while (!running.load()) std::this_thread::yield();
    server::ServerContext ctx;
    ctx.store = store;
    server::ConnectionState state = server::initial_connection_state(ctx);
    uint64_t s = 0xC0FFEE;
    while (running.load() && exec_us.size() < 200000) {
      (void)server::dispatch(ctx, state, {"MULTI"});
      for (int i = 0; i < kSets; ++i) (void)server::dispatch(ctx, state, {"SET", key_name(next_random(s) % kKeys), value});
      const uint64_t t0 = now_ns();
      (void)server::dispatch(ctx, state, {"EXEC"});
      exec_us.push_back(static_cast<double>(now_ns() - t0) / 1e3);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  const auto txns = pipelined_batches(port, clients, txn, kSets + 2, seconds, &running);
  running.store(false);
  timer.join();
  if (!plain || !txns) {
    std::printf("failed: an error reply or a broken connection\n");
    return false;
  }
  const Quantiles q = quantiles(exec_us);
  std::printf("| pipeline | batches/s | requests/s |\n|---|---:|---:|\n");
  std::printf("| %d SETs | %.0f | %.0f |\n", kSets, *plain, *plain * kSets);
  std::printf("| MULTI + %d SETs + EXEC | %.0f | %.0f |\n", kSets, *txns, *txns * (kSets + 2));
  std::printf("\nEXEC of %d SETs inside the server under that load (%zu samples): p50 %.1f us, p99 %.1f us, max %.1f us\n",
              kSets, exec_us.size(), q.p50, q.p99, q.max);
  return true;
}

bool run_scan(const Options& opt) {
  constexpr uint32_t kScanKeys = 1'000'000;
  constexpr int kIterations = 3;
  StoreConfig config;
  config.shards = opt.shards;
  config.sweep_interval_ms = 0;
  auto store = Store::create(config, nullptr, /*start_sweeper=*/false);
  for (uint32_t i = 0; i < kScanKeys; ++i) {
    char key[24];
    std::snprintf(key, sizeof key, "scan:%07u", i);
    (void)store->set(key, "x", std::nullopt, false, false);
  }
  server::Server srv(store, "127.0.0.1", 0, std::nullopt);
  if (auto r = srv.start(); !r) {
    std::printf("failed: cannot start the SCAN server: %s\n", r.error().text.c_str());
    return false;
  }
  BlockingClient client;
  if (!client.connect(srv.port())) return false;
  std::printf("\n### SCAN with COUNT 100 over %u keys, %d full iterations, one client\n\n", kScanKeys, kIterations);
  std::printf("| iteration | time | calls | keys returned | longest call | p99 call |\n|---|---:|---:|---:|---:|---:|\n");
  bool ok = true;
  for (int it = 0; it < kIterations && ok; ++it) {
    std::string cursor = "0";
    std::vector<double> call_us;
    uint64_t keys = 0;
    const uint64_t start = now_ns();
    do {
      std::string req;
      append_command(req, {"SCAN", cursor, "COUNT", "100"});
      const uint64_t t0 = now_ns();
      if (!client.send(req)) return false;
      auto reply = client.reply();
      call_us.push_back(static_cast<double>(now_ns() - t0) / 1e3);
      // *2 $n cursor *k ...: the new cursor, then the count of keys.
      if (!reply || !reply->starts_with("*2\r\n$")) return false;
      const std::string r(*reply);
      const size_t c0 = r.find("\r\n", 4) + 2;
      const size_t c1 = r.find("\r\n", c0);
      cursor = r.substr(c0, c1 - c0);
      keys += static_cast<uint64_t>(std::atoll(r.c_str() + c1 + 3));
    } while (cursor != "0");
    const double total_ms = static_cast<double>(now_ns() - start) / 1e6;
    const Quantiles q = quantiles(call_us);
    ok = keys >= kScanKeys;
    std::printf("| %d | %.0f ms | %zu | %llu | %.0f us | %.0f us |\n", it + 1, total_ms, call_us.size(),
                static_cast<unsigned long long>(keys), q.max, q.p99);
  }
  if (!ok) std::printf("failed: an iteration returned fewer keys than the store holds\n");
  srv.stop();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!parse_options(argc, argv, opt)) return 2;
  pthread_setname_np(pthread_self(), "loadgen");
  const long cores = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));

  auto store = preloaded_store(opt.shards);
  server::Server vellum(store, "127.0.0.1", 0, std::nullopt);
  if (auto r = vellum.start(); !r) {
    std::fprintf(stderr, "cannot start the server: %s\n", r.error().text.c_str());
    return 1;
  }
  if (!load_script(vellum.port(), kLockReleaseScript)) {
    std::fprintf(stderr, "cannot load the lock-release script (a build without scripting?)\n");
    return 1;
  }

  std::printf("RESP load: %u keys of %zu-byte values, %d connections; per case %d rounds of %.2f s measured after "
              "%.2f s warm-up on each target, alternating which goes first; %llu store shards; %ld cores shared by both servers, "
              "the load generator and the rest of the machine.\n",
              kKeys, kValueBytes, opt.conns, opt.rounds, opt.seconds, opt.warmup,
              static_cast<unsigned long long>(opt.shards), cores);
  std::printf("Latency runs from the send of a request to the parse of its reply, in microseconds. CPU shares are "
              "of all cores over the measured windows: the load generator's thread, and every other process on "
              "the machine (noise). Server CPU is this process's CPU time less the load generator's, per request. Round ratios are vellum over responder per round, lowest and highest.\n");

  bool any_failure = false;
  uint64_t seed = 0x9E3779B97F4A7C15ULL;
  const double core_ns = static_cast<double>(cores);
  auto share = [core_ns](uint64_t cpu_ns, uint64_t wall_ns) {
    return wall_ns == 0 ? std::string("-")
                        : fmt("%.0f%%", 100.0 * static_cast<double>(cpu_ns) / (static_cast<double>(wall_ns) * core_ns));
  };
  for (int pipeline : opt.pipelines) {
    std::printf("\n### %d connections, %d request%s in flight per connection\n\n", opt.conns, pipeline,
                pipeline == 1 ? "" : "s");
    std::printf("| workload | responder req/s | vellum req/s | ratio | round ratios | target | responder p50 / p99 | "
                "vellum p50 / p99 | server CPU us/req (resp / vellum) | load gen CPU (resp / vellum) | others CPU (resp / vellum) |\n");
    std::printf("|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|\n");
    for (const WorkloadInfo& w : kWorkloads) {
      if (opt.workload && *opt.workload != w.flag) continue;
      const RequestPool pool = build_pool(w.workload, next_random(seed));
      const CaseResult c = run_case(opt, pool, w.workload, pipeline, vellum.port());
      if (c.failure) {
        std::printf("| %s | failed: %s ||||||||||\n", w.name, c.failure->c_str());
        any_failure = true;
        continue;
      }
      const Totals& a = c.responder;
      const Totals& b = c.vellum;
      const double ratio = a.rate() > 0 ? b.rate() / a.rate() : 0;
      double lo = 1e9, hi = 0;
      for (size_t i = 0; i < a.round_rates.size() && i < b.round_rates.size(); ++i) {
        const double q = a.round_rates[i] > 0 ? b.round_rates[i] / a.round_rates[i] : 0;
        lo = std::min(lo, q);
        hi = std::max(hi, q);
      }
      const std::string target =
          w.has_target ? fmt("%.2fx ", target_ratio(pipeline)) + (ratio >= target_ratio(pipeline) ? "met" : "MISSED") : "-";
      auto lat = [](const Totals& t) { return fmt("%.0f", t.latency.quantile_us(0.50)) + " / " + fmt("%.0f", t.latency.quantile_us(0.99)); };
      auto server_us = [](const Totals& t) {
        return t.latency.count == 0 ? 0.0 : static_cast<double>(t.process_cpu_ns - std::min(t.process_cpu_ns, t.loadgen_cpu_ns)) / 1e3 / static_cast<double>(t.latency.count);
      };
      std::printf("| %s | %.0f | %.0f | %.2f | %.2f-%.2f | %s | %s | %s | %.2f / %.2f | %s / %s | %s / %s |\n", w.name, a.rate(), b.rate(),
                  ratio, lo, hi, target.c_str(), lat(a).c_str(), lat(b).c_str(), server_us(a), server_us(b),
                  share(a.loadgen_cpu_ns, a.wall_ns).c_str(),
                  share(b.loadgen_cpu_ns, b.wall_ns).c_str(), share(a.others_cpu_ns, a.wall_ns).c_str(),
                  share(b.others_cpu_ns, b.wall_ns).c_str());
      std::fflush(stdout);
      for (const auto& [who, t] : {std::pair{"responder", &a}, std::pair{"vellum", &b}}) {
        if (t->error_replies + t->unexpected_replies > 0) {
          std::fprintf(stderr, "%s, %s: %llu error and %llu unexpected replies\n", w.name, who,
                       static_cast<unsigned long long>(t->error_replies),
                       static_cast<unsigned long long>(t->unexpected_replies));
          any_failure = true;
        }
      }
    }
  }
  if (!opt.workload) {
    if (!run_transactions(store, vellum.port(), opt)) any_failure = true;
    std::fflush(stdout);
  }
  vellum.stop();
  if (!opt.workload && !run_scan(opt)) any_failure = true;
  return any_failure ? 1 : 0;
}
