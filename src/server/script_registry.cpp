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

// The epoch is read before the run is counted, so a SCRIPT KILL that counted this run
// advances the epoch past the one it read.
Scripts::Run::Run(Scripts& scripts)
    : scripts_(scripts), kill_epoch_(scripts.kill_epoch_.load(std::memory_order_acquire)) {
  scripts_.running_.fetch_add(1, std::memory_order_acq_rel);
  scripts_.unwritten_.fetch_add(1, std::memory_order_acq_rel);
}

Scripts::Run::~Run() {
  if (!written_) scripts_.unwritten_.fetch_sub(1, std::memory_order_acq_rel);
  scripts_.running_.fetch_sub(1, std::memory_order_acq_rel);
}

void Scripts::Run::wrote() {
  if (written_) return;
  written_ = true;
  scripts_.unwritten_.fetch_sub(1, std::memory_order_acq_rel);
}

bool Scripts::Run::kill_requested() const {
  return scripts_.kill_epoch_.load(std::memory_order_acquire) != kill_epoch_;
}

Scripts::KillOutcome Scripts::kill() {
  if (running_.load(std::memory_order_acquire) == 0) return KillOutcome::NotBusy;
  if (unwritten_.load(std::memory_order_acquire) == 0) return KillOutcome::Unkillable;
  kill_epoch_.fetch_add(1, std::memory_order_acq_rel);
  return KillOutcome::Killed;
}

}  // namespace vellum::server
