// The server over loopback sockets (port 0 unless a fixed port is the point), and the
// connection loop's flush rule over in-memory streams.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/store.h"
#include "platform/socket.h"
#include "server/connection.h"
#include "server/server.h"

namespace vellum::server {
namespace {

using namespace std::string_literals;

std::shared_ptr<Store> make_store() {
  StoreConfig config;
  config.sweep_interval_ms = 0;
  return Store::create(config, nullptr, /*start_sweeper=*/false);
}

// Threads of this process whose name starts with "vellum-" and is not the sweeper's.
int server_threads() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "vellum-accept" || name == "vellum-conn") ++n;
  }
  return n;
}

class Client {
 public:
  explicit Client(uint16_t port, const char* host = "127.0.0.1") {
    auto addrs = resolve(host, port);
    EXPECT_TRUE(addrs.ok() && !addrs.value().empty());
    auto s = Socket::connect_with_timeout(addrs.value().at(0), 1000);
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().text);
    if (s.ok()) sock_ = std::move(s).value();
    EXPECT_TRUE(sock_.set_receive_timeout(5000).ok());
  }

  void send(const std::string& bytes) { EXPECT_TRUE(sock_.send_all(bytes.data(), bytes.size()).ok()); }

  // Reads until `n` bytes arrived, the peer closed, or the receive timed out.
  std::string read(size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
      auto got = sock_.recv(buf, std::min(sizeof buf, n - out.size()));
      if (!got || got.value() == 0) break;
      out.append(buf, got.value());
    }
    return out;
  }

  // Everything until the peer closes; "<timeout>" appended when it did not close.
  std::string read_to_close() {
    std::string out;
    char buf[4096];
    for (;;) {
      auto got = sock_.recv(buf, sizeof buf);
      if (!got) return out + "<timeout>";
      if (got.value() == 0) return out;
      out.append(buf, got.value());
    }
  }

  // One reply line, with its CR LF.
  std::string line() {
    std::string out;
    while (!out.ends_with("\r\n")) {
      const std::string c = read(1);
      if (c.empty()) break;
      out += c;
    }
    return out;
  }

  std::string roundtrip(const std::string& request, size_t reply_len) {
    send(request);
    return read(reply_len);
  }

 private:
  Socket sock_;
};

class WireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<Server>(make_store(), "127.0.0.1", 0, std::nullopt);
    auto r = server_->start();
    ASSERT_TRUE(r.ok()) << r.error().text;
  }
  std::unique_ptr<Server> server_;
};

TEST_F(WireTest, ProtocolErrorIsAnsweredThenTheConnectionCloses) {
  struct Case {
    std::string send, want;
  };
  const std::vector<Case> cases = {
      {"*1\r\n$-1\r\n", "-ERR Protocol error: invalid bulk length\r\n"},
      {"SET k \"abc\r\n", "-ERR Protocol error: unbalanced quotes in request\r\n"},
      // The malformed request is not dispatched: the SET must not happen.
      {"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$1\r\nvxx", "-ERR Protocol error: bulk string not terminated by CRLF\r\n"},
      {"*2\r\n:1\r\n", "-ERR Protocol error: expected '$' bulk string header\r\n"},
      {"*1048577\r\n", "-ERR Protocol error: invalid multibulk length\r\n"},
      {"PING\r\n" + std::string(65538, 'a'), "+PONG\r\n-ERR Protocol error: too big line in request\r\n"},
      {"QUIT now\r\n", "+OK\r\n"},
  };
  // Each request is sent whole and nothing follows it: bytes left unread when the server
  // closes would make the kernel reset the connection, and the reply could be lost.
  for (const auto& c : cases) {
    Client client(server_->port());
    client.send(c.send);
    EXPECT_EQ(client.read_to_close(), c.want) << c.send.substr(0, 30);
  }
  Client probe(server_->port());
  EXPECT_EQ(probe.roundtrip("EXISTS k\r\n", 4), ":0\r\n");
}

// CLIENT KILL ends the victim's blocked read at once. Kills racing a victim's requests, or
// its QUIT (the server closing the socket itself), touch no closed descriptor; the
// sanitizer builds run this too.
TEST_F(WireTest, ClientKillEndsTheNamedConnection) {
  Client killer(server_->port());
  ASSERT_EQ(killer.roundtrip("PING\r\n", 7), "+PONG\r\n");
  Client victim(server_->port());
  victim.send("CLIENT ID\r\n");
  const std::string id_line = victim.line();
  ASSERT_TRUE(id_line.starts_with(":")) << id_line;
  const std::string id = id_line.substr(1, id_line.size() - 3);
  killer.send("CLIENT KILL ID " + id + "\r\n");
  EXPECT_EQ(killer.line(), ":1\r\n");
  EXPECT_EQ(victim.read_to_close(), "");
  killer.send("CLIENT KILL ID " + id + "\r\n");
  EXPECT_EQ(killer.line(), ":0\r\n");
  for (int i = 0; i < 30; ++i) {
    std::string reply;
    {
      Client v(server_->port());
      ASSERT_EQ(v.roundtrip("PING\r\n", 7), "+PONG\r\n");
      std::thread t([&] {
        killer.send("CLIENT KILL SKIPME yes\r\n");
        reply = killer.line();
      });
      v.send(i % 2 == 0 ? "QUIT\r\n" : "PING\r\n");
      t.join();
    }  // the victim closes its end as the kill runs
    EXPECT_TRUE(reply == ":0\r\n" || reply == ":1\r\n") << reply;
  }
  EXPECT_EQ(killer.roundtrip("PING\r\n", 7), "+PONG\r\n");
}

TEST_F(WireTest, EmptyRequestsGetNoReplyAndKeepTheConnection) {
  Client client(server_->port());
  EXPECT_EQ(client.roundtrip("*0\r\n*-1\r\n\r\n   \r\nPING\r\n", 7), "+PONG\r\n");
  EXPECT_EQ(client.roundtrip("*2\r\n$4\r\nECHO\r\n$0\r\n\r\n", 6), "$0\r\n\r\n");
}

TEST_F(WireTest, PipelinedRequestsAreAnsweredInOrder) {
  Client client(server_->port());
  std::string burst, want;
  for (int i = 0; i < 500; ++i) {
    std::string v = std::to_string(i);
    burst += "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$" + std::to_string(v.size()) + "\r\n" + v + "\r\nGET k\n";
    want += "+OK\r\n$" + std::to_string(v.size()) + "\r\n" + v + "\r\n";
  }
  EXPECT_EQ(client.roundtrip(burst, want.size()), want);
}

// Counts the sends of the connection loop.
class ChunkSource final : public ByteSource {
 public:
  explicit ChunkSource(std::vector<std::string> chunks) : chunks_(std::move(chunks)) {}
  IoResult<size_t> read(char* buf, size_t cap) override {
    if (next_ == chunks_.size()) return size_t{0};
    std::string& c = chunks_[next_];
    size_t n = std::min(cap, c.size());
    c.copy(buf, n);
    c.erase(0, n);
    if (c.empty()) ++next_;
    return n;
  }

 private:
  std::vector<std::string> chunks_;
  size_t next_ = 0;
};

class RecordingSink final : public ByteSink {
 public:
  IoResult<void> write_all(const char* data, size_t len) override {
    writes.emplace_back(data, len);
    return {};
  }
  std::vector<std::string> writes;
};

TEST(ConnectionLoop, FlushesOnlyWhenNoWholeRequestIsBuffered) {
  ServerContext ctx;
  ctx.store = make_store();
  struct Case {
    std::vector<std::string> chunks;
    std::vector<std::string> writes;
  };
  const std::vector<Case> cases = {
      {{"PING\r\nPING\r\n"}, {"+PONG\r\n+PONG\r\n"}},
      {{"PING\r\n", "PING\r\n"}, {"+PONG\r\n", "+PONG\r\n"}},
      // A partial request after a whole one: the first reply leaves before the wait.
      {{"PING\r\nPI", "NG\r\n"}, {"+PONG\r\n", "+PONG\r\n"}},
      // An empty request after a reply must not hold the reply back.
      {{"PING\r\n\r\n", "PING\r\n"}, {"+PONG\r\n", "+PONG\r\n"}},
      {{"PING\r\n*1\r\n$-1\r\nPING\r\n"}, {"+PONG\r\n-ERR Protocol error: invalid bulk length\r\n"}},
      {{"QUIT\r\nPING\r\n"}, {"+OK\r\n"}},
  };
  for (const auto& c : cases) {
    ChunkSource in(c.chunks);
    RecordingSink out;
    serve_requests(in, out, ctx);
    EXPECT_EQ(out.writes, c.writes) << c.chunks[0];
  }
}

TEST(ServerLifecycle, StopWithClientsConnectedEndsEveryThread) {
  const int before = server_threads();
  Server server(make_store(), "127.0.0.1", 0, std::nullopt);
  ASSERT_TRUE(server.start().ok());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<Client>(server.port()));
    ASSERT_EQ(clients.back()->roundtrip("PING\r\n", 7), "+PONG\r\n");
  }
  EXPECT_EQ(server_threads(), before + 5);
  server.stop();
  EXPECT_FALSE(server.running());
  EXPECT_EQ(server_threads(), before) << "stop() returned before its threads ended";
  for (auto& c : clients) EXPECT_EQ(c->read_to_close(), "");
  server.stop();  // a second stop does nothing
}

TEST(ServerLifecycle, PortIsTheBoundPortWhileRunningAndAfterStop) {
  Server server(make_store(), "127.0.0.1", 0, std::nullopt);
  EXPECT_EQ(server.port(), 0);
  EXPECT_FALSE(server.running());
  ASSERT_TRUE(server.start().ok());
  const uint16_t bound = server.port();
  EXPECT_NE(bound, 0);
  EXPECT_TRUE(server.running());
  ASSERT_TRUE(server.start().ok());  // running: nothing changes
  EXPECT_EQ(server.port(), bound);
  server.stop();
  EXPECT_EQ(server.port(), bound);
}

TEST(ServerLifecycle, RestartsOnTheSameFixedPortAfterClientsConnected) {
  uint16_t port = 0;
  {
    Server probe(make_store(), "127.0.0.1", 0, std::nullopt);
    ASSERT_TRUE(probe.start().ok());
    port = probe.port();
  }
  Server server(make_store(), "127.0.0.1", port, std::nullopt);
  for (int round = 0; round < 3; ++round) {
    auto r = server.start();
    ASSERT_TRUE(r.ok()) << "round " << round << ": " << r.error().text;
    EXPECT_EQ(server.port(), port);
    Client client(port);
    EXPECT_EQ(client.roundtrip("SET k v\r\nGET k\r\n", 12), "+OK\r\n$1\r\nv\r\n");
    // The server closes first, so its side of the connection lingers in TIME_WAIT.
    server.stop();
    EXPECT_EQ(client.read_to_close(), "");
  }
}

TEST(ServerLifecycle, SecondServerOnAPortInUseFails) {
  Server first(make_store(), "127.0.0.1", 0, std::nullopt);
  ASSERT_TRUE(first.start().ok());
  Server second(make_store(), "127.0.0.1", first.port(), std::nullopt);
  auto r = second.start();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text, "Address already in use (os error 98)");
  EXPECT_FALSE(second.running());
  EXPECT_EQ(second.port(), first.port());
  Client client(first.port());
  EXPECT_EQ(client.roundtrip("PING\r\n", 7), "+PONG\r\n");
}

TEST(ServerLifecycle, UnspecifiedAddressStopsPromptly) {
  for (const char* host : {"0.0.0.0", "::"}) {
    Server server(make_store(), host, 0, std::nullopt);
    auto r = server.start();
    if (!r.ok() && std::string(host) == "::") GTEST_SKIP() << "no IPv6: " << r.error().text;
    ASSERT_TRUE(r.ok()) << host << ": " << r.error().text;
    Client client(server.port(), std::string(host) == "::" ? "::1" : "127.0.0.1");
    EXPECT_EQ(client.roundtrip("PING\r\n", 7), "+PONG\r\n");
    auto t0 = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900)) << host;
  }
}

// Clients keep connecting, talking and leaving (by QUIT or by closing first) while stop()
// runs, so it meets connections at every stage: being accepted, starting their thread,
// blocked in a receive, closing. Each must have ended when stop() returns.
TEST(ServerLifecycle, StopWhileConnectionsComeAndGo) {
  const int before = server_threads();
  Server server(make_store(), "127.0.0.1", 0, std::nullopt);
  ASSERT_TRUE(server.start().ok());
  auto addrs = resolve("127.0.0.1", server.port());
  ASSERT_TRUE(addrs.ok() && !addrs.value().empty());
  const SocketAddress addr = addrs.value()[0];
  std::atomic<bool> stopped{false};
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0;; ++i) {
        const bool after = stopped.load();
        auto s = Socket::connect_with_timeout(addr, 1000);
        if (s) {
          Socket sock = std::move(s).value();
          (void)sock.set_receive_timeout(5000);
          const std::string req = (i + c) % 3 == 0 ? "PING\r\nQUIT\r\n" : "PING\r\n";
          char buf[16];
          if (sock.send_all(req.data(), req.size()) && (i + c) % 3 != 1) {
            auto got = sock.recv(buf, 7);
            if (got && got.value() > 0) ++served;
          }
        }
        if (after) return;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  server.stop();
  stopped.store(true);
  EXPECT_EQ(server_threads(), before) << "stop() returned before its threads ended";
  for (std::thread& t : clients) t.join();
  EXPECT_GT(served.load(), 0);
}

TEST(ServerLifecycle, DestroyingARunningServerClosesItsConnections) {
  const int before = server_threads();
  auto server = std::make_unique<Server>(make_store(), "127.0.0.1", 0, std::nullopt);
  ASSERT_TRUE(server->start().ok());
  Client client(server->port());
  EXPECT_EQ(client.roundtrip("PING\r\n", 7), "+PONG\r\n");
  server.reset();
  EXPECT_EQ(client.read_to_close(), "");
  EXPECT_EQ(server_threads(), before);
}

TEST(ServerLifecycle, PasswordIsPerConnection) {
  Server server(make_store(), "127.0.0.1", 0, Bytes("pw"));
  ASSERT_TRUE(server.start().ok());
  Client a(server.port());
  EXPECT_EQ(a.roundtrip("GET k\r\n", 34), "-NOAUTH Authentication required.\r\n");
  EXPECT_EQ(a.roundtrip("AUTH pw\r\nGET k\r\n", 10), "+OK\r\n$-1\r\n");
  Client b(server.port());
  EXPECT_EQ(b.roundtrip("PING\r\n", 34), "-NOAUTH Authentication required.\r\n");
}

// Polls `pred` every 10 ms for up to 20 s: generous, so a loaded machine does not fail it.
template <class Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 2000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

std::string set_header(const std::string& key, size_t value_len) {
  return "*3\r\n$3\r\nSET\r\n$" + std::to_string(key.size()) + "\r\n" + key + "\r\n$" + std::to_string(value_len) +
         "\r\n";
}

TEST(ServerLimits, UnauthenticatedRequestsAreRefusedPastAFewSmallArguments) {
  Server server(make_store(), "127.0.0.1", 0, Bytes("s3cret"));
  ASSERT_TRUE(server.start().ok());
  const std::string refused = "-ERR Protocol error: request too large before authentication\r\n";
  // Each is sent whole, with nothing after the point of refusal (see the protocol-error
  // test above for why).
  for (const std::string& request : {"*6\r\n"s, "*2\r\n$4\r\nAUTH\r\n$4097\r\n"s, "AUTH a b c d e\r\n"s,
                                     set_header("k", 1 << 20)}) {
    Client client(server.port());
    client.send(request);
    EXPECT_EQ(client.read_to_close(), refused) << request;
  }
  // Within the limits, an unauthenticated client is told to authenticate and stays.
  Client client(server.port());
  EXPECT_EQ(client.roundtrip("*5\r\n$3\r\nDEL\r\n$1\r\na\r\n$1\r\nb\r\n$1\r\nc\r\n$1\r\nd\r\n", 34),
            "-NOAUTH Authentication required.\r\n");
  EXPECT_EQ(client.roundtrip("*2\r\n$4\r\nAUTH\r\n$6\r\ns3cret\r\n", 5), "+OK\r\n");
  // Authenticated, the same connection may send large requests.
  EXPECT_EQ(client.roundtrip(set_header("k", 1 << 20) + std::string(1 << 20, 'v') + "\r\n", 5), "+OK\r\n");
  EXPECT_EQ(client.roundtrip("MSET a 1 b 2 c 3 d 4\r\n", 5), "+OK\r\n");
}

TEST(ServerLimits, RequestThatWouldCrossTheBudgetClosesOnlyItsConnection) {
  // A value of at most 64 KiB is buffered in one allocation of its announced size. The
  // budget has room for one such value of 64 KiB with its three argument slots, and
  // less than the 64 KiB that a second request's first payload bytes need.
  const uint64_t budget = (64 << 10) + 3 * sizeof(Bytes) + (32 << 10);
  Server server(make_store(), "127.0.0.1", 0, std::nullopt, budget);
  ASSERT_TRUE(server.start().ok());
  EXPECT_EQ(server.request_budget(), budget);

  Client holder(server.port());
  const std::string value(64 << 10, 'a');
  holder.send(set_header("a", value.size()) + value.substr(0, value.size() - 1000));
  ASSERT_TRUE(eventually([&] { return server.request_bytes_held() >= value.size(); }))
      << "held " << server.request_bytes_held();

  Client refused(server.port());
  refused.send(set_header("b", 100000) + std::string(100, 'b'));
  EXPECT_EQ(refused.read_to_close(), "-OOM request exceeds the server's request memory budget\r\n");

  Client other(server.port());
  EXPECT_EQ(other.roundtrip("PING\r\n", 7), "+PONG\r\n");
  holder.send(value.substr(value.size() - 1000) + "\r\n");
  EXPECT_EQ(holder.read(5), "+OK\r\n");
  EXPECT_TRUE(eventually([&] { return server.request_bytes_held() == 0; })) << "held " << server.request_bytes_held();
  // What the finished request held is free for the next one.
  EXPECT_EQ(other.roundtrip(set_header("c", value.size()) + value + "\r\n", 5), "+OK\r\n");
  EXPECT_EQ(other.roundtrip("EXISTS a\r\nEXISTS b\r\n", 8), ":1\r\n:0\r\n");
}

TEST(ServerLimits, DefaultBudgetIsOneGibOrMaxMemoryWhenSmaller) {
  StoreConfig config;
  config.sweep_interval_ms = 0;
  EXPECT_EQ(Server(Store::create(config, nullptr, false), "127.0.0.1", 0, std::nullopt).request_budget(), 1u << 30);
  config.max_memory = 100 << 20;
  EXPECT_EQ(Server(Store::create(config, nullptr, false), "127.0.0.1", 0, std::nullopt).request_budget(), 100u << 20);
  config.max_memory = 8ull << 30;
  EXPECT_EQ(Server(Store::create(config, nullptr, false), "127.0.0.1", 0, std::nullopt).request_budget(), 1u << 30);
}

TEST(Resolve, LiteralsAndBadHosts) {
  auto v4 = resolve("127.0.0.1", 80);
  ASSERT_TRUE(v4.ok());
  ASSERT_EQ(v4.value().size(), 1u);
  EXPECT_EQ(v4.value()[0].to_string(), "127.0.0.1:80");
  auto v6 = resolve("::", 81);
  ASSERT_TRUE(v6.ok());
  ASSERT_EQ(v6.value().size(), 1u);
  EXPECT_TRUE(v6.value()[0].is_unspecified());
  EXPECT_EQ(v6.value()[0].connectable().to_string(), "[::1]:81");
  auto nul = resolve(std::string_view("local\0host", 10), 80);
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().kind, IoErrorKind::InvalidInput);
}

}  // namespace
}  // namespace vellum::server
