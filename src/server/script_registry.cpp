// The server-wide part of scripting: cached script texts and the runs SCRIPT KILL sees.

#include "server/script.h"

namespace vellum::server {

Reply no_scripting_reply() {
  return Reply::error(
      "ERR this server was built without scripting support: install the Lua 5.1 development files "
      "(Debian: apt-get install liblua5.1-0-dev) and rebuild vellum");
}

void Scripts::remember(const std::string& sha, BytesView text) {
  std::lock_guard<std::mutex> guard(mu_);
  texts_.try_emplace(sha, text);
}

std::optional<Bytes> Scripts::find(const std::string& sha) const {
  std::lock_guard<std::mutex> guard(mu_);
  auto it = texts_.find(sha);
  if (it == texts_.end()) return std::nullopt;
  return it->second;
}

bool Scripts::contains(const std::string& sha) const {
  std::lock_guard<std::mutex> guard(mu_);
  return texts_.contains(sha);
}

void Scripts::flush() {
  std::lock_guard<std::mutex> guard(mu_);
  texts_.clear();
  generation_.fetch_add(1, std::memory_order_acq_rel);
}

Scripts::Run::Run(Scripts& scripts) : scripts_(scripts) {
  std::lock_guard<std::mutex> guard(scripts_.mu_);
  scripts_.runs_.push_back(this);
}

Scripts::Run::~Run() {
  std::lock_guard<std::mutex> guard(scripts_.mu_);
  std::erase(scripts_.runs_, this);
}

bool Scripts::Run::may_write() {
  if (written_) return true;
  std::lock_guard<std::mutex> guard(scripts_.mu_);
  if (killed_.load(std::memory_order_relaxed)) return false;
  written_ = true;
  return true;
}

Scripts::KillOutcome Scripts::kill() {
  std::lock_guard<std::mutex> guard(mu_);
  if (runs_.empty()) return KillOutcome::NotBusy;
  bool any = false;
  for (Run* r : runs_) {
    if (r->written_) continue;
    r->killed_.store(true, std::memory_order_release);
    any = true;
  }
  return any ? KillOutcome::Killed : KillOutcome::Unkillable;
}

}  // namespace vellum::server
