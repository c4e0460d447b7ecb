#include "server/clients.h"

namespace vellum::server {

int64_t ClientRegistry::add(std::string addr, uint64_t now_ms, std::function<void()> interrupt) {
  std::lock_guard<std::mutex> guard(mu_);
  const int64_t id = next_id_;
  ClientInfo info;
  info.id = id;
  info.addr = std::move(addr);
  info.created_ms = now_ms;
  live_.emplace(id, std::move(info));
  if (interrupt) {
    try {
      interrupts_.emplace(id, std::move(interrupt));
    } catch (...) {
      live_.erase(id);
      throw;
    }
  }
  ++next_id_;
  return id;
}

void ClientRegistry::remove(int64_t id) {
  std::lock_guard<std::mutex> guard(mu_);
  live_.erase(id);
  interrupts_.erase(id);
}

size_t ClientRegistry::kill(const std::function<bool(const ClientInfo&)>& match, int64_t self, bool& killed_self) {
  std::lock_guard<std::mutex> guard(mu_);
  size_t killed = 0;
  killed_self = false;
  for (auto it = live_.begin(); it != live_.end();) {
    if (!match(it->second)) {
      ++it;
      continue;
    }
    const int64_t id = it->first;
    if (id == self) {
      killed_self = true;
    } else if (auto i = interrupts_.find(id); i != interrupts_.end()) {
      i->second();
    }
    interrupts_.erase(id);
    it = live_.erase(it);
    ++killed;
  }
  return killed;
}

void ClientRegistry::set_name(int64_t id, std::string name) {
  std::lock_guard<std::mutex> guard(mu_);
  if (auto it = live_.find(id); it != live_.end()) it->second.name = std::move(name);
}

void ClientRegistry::set_lib(int64_t id, bool version, std::string value) {
  std::lock_guard<std::mutex> guard(mu_);
  if (auto it = live_.find(id); it != live_.end()) {
    (version ? it->second.lib_ver : it->second.lib_name) = std::move(value);
  }
}

void ClientRegistry::set_protocol(int64_t id, int protocol) {
  std::lock_guard<std::mutex> guard(mu_);
  if (auto it = live_.find(id); it != live_.end()) it->second.protocol = protocol;
}

std::optional<ClientInfo> ClientRegistry::find(int64_t id) const {
  std::lock_guard<std::mutex> guard(mu_);
  auto it = live_.find(id);
  if (it == live_.end()) return std::nullopt;
  return it->second;
}

std::vector<ClientInfo> ClientRegistry::list() const {
  std::lock_guard<std::mutex> guard(mu_);
  std::vector<ClientInfo> out;
  out.reserve(live_.size());
  for (const auto& [id, info] : live_) out.push_back(info);
  return out;
}

size_t ClientRegistry::size() const {
  std::lock_guard<std::mutex> guard(mu_);
  return live_.size();
}

std::string client_line(const ClientInfo& c, uint64_t now_ms) {
  const uint64_t age = now_ms > c.created_ms ? (now_ms - c.created_ms) / 1000 : 0;
  return "id=" + std::to_string(c.id) + " addr=" + c.addr + " name=" + c.name + " age=" + std::to_string(age) +
         " db=0 resp=" + std::to_string(c.protocol) + " lib-name=" + c.lib_name + " lib-ver=" + c.lib_ver;
}

}  // namespace vellum::server
