#pragma once
// The live connections of one run of a server, as CLIENT LIST, CLIENT INFO and INFO show
// them. Thread-safe: every connection thread registers itself, renames itself and leaves,
// while any of them may list the rest. Its mutex is a leaf, never held while another lock
// is taken.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vellum::server {

struct ClientInfo {
  int64_t id = 0;
  std::string addr;
  std::string name;
  std::string lib_name;
  std::string lib_ver;
  uint64_t created_ms = 0;  // monotonic clock
  int protocol = 2;
};

class ClientRegistry {
 public:
  // Lists a new connection and returns its id, unique for the life of the registry and
  // counting up from 1. `interrupt` ends the connection's reads from another thread (see
  // kill); it is called only while the connection is listed.
  int64_t add(std::string addr, uint64_t now_ms, std::function<void()> interrupt = {});
  void remove(int64_t id);
  // Withdraws every listed connection that `match` accepts and interrupts each but `self`,
  // which its own thread closes after replying; at once, so no listing shows them again.
  // The count withdrawn; `killed_self` tells whether `self` was among them.
  size_t kill(const std::function<bool(const ClientInfo&)>& match, int64_t self, bool& killed_self);
  // Each changes the listed connection `id`; an id no longer listed is ignored.
  void set_name(int64_t id, std::string name);
  void set_lib(int64_t id, bool version, std::string value);
  void set_protocol(int64_t id, int protocol);

  std::optional<ClientInfo> find(int64_t id) const;
  std::vector<ClientInfo> list() const;  // ascending id
  size_t size() const;

 private:
  mutable std::mutex mu_;
  int64_t next_id_ = 1;                 // guarded by mu_
  std::map<int64_t, ClientInfo> live_;  // guarded by mu_
  // guarded by mu_; called under it, so a connection cannot close its socket meanwhile
  std::map<int64_t, std::function<void()>> interrupts_;
};

// One line of CLIENT LIST ("id=1 addr=... name=... ..."), without its line end.
std::string client_line(const ClientInfo& c, uint64_t now_ms);

}  // namespace vellum::server
