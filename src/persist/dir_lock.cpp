#include "persist/dir_lock.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "core/utf8.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace vellum::persist {

namespace {

struct Registry {
  std::mutex mu;
  std::vector<std::string> paths;  // guarded by mu
};

Registry& registry() {
  static Registry r;
  return r;
}

Err<IoError> locked() { return io_err(IoError::make(IoErrorKind::WouldBlock, std::string(kLockedText))); }

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

enum class Holder { Live, Stale };

Holder judge(const std::string& lock_path) {
  auto f = File::open(lock_path, OpenMode::Read);
  if (!f) return Holder::Stale;
  std::string content;
  char buf[256];
  // A LOCK file is a few bytes; anything much longer cannot name a pid.
  while (content.size() <= 4096) {
    auto r = f.value().read(buf, sizeof buf);
    if (!r) return Holder::Stale;
    if (r.value() == 0) break;
    content.append(buf, r.value());
  }
  auto pid = parse_lock_pid(content);
  if (!pid) return Holder::Stale;
  // A holder inside this process would be in the registry; this LOCK was left behind.
  if (*pid == current_pid()) return Holder::Stale;
  return process_alive(*pid) ? Holder::Live : Holder::Stale;
}

}  // namespace

std::optional<uint32_t> parse_lock_pid(std::string_view content) {
  std::vector<std::pair<size_t, uint32_t>> cps;  // start offset and code point
  for (size_t i = 0; i < content.size();) {
    const utf8::Sequence seq = utf8::decode_at(content, i);
    if (!seq.valid) return std::nullopt;
    cps.emplace_back(i, seq.code_point);
    i += seq.length;
  }
  size_t first = 0, last = cps.size();
  while (first < last && is_white_space(cps[first].second)) ++first;
  while (last > first && is_white_space(cps[last - 1].second)) --last;
  if (first == last) return std::nullopt;
  size_t begin = cps[first].first;
  size_t end = last == cps.size() ? content.size() : cps[last].first;
  std::string_view digits = content.substr(begin, end - begin);
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

DirLock::DirLock(DirLock&& other) noexcept
    : canonical_(std::move(other.canonical_)), lock_path_(std::move(other.lock_path_)), held_(other.held_) {
  other.held_ = false;
}

DirLock& DirLock::operator=(DirLock&& other) noexcept {
  if (this != &other) {
    release();
    canonical_ = std::move(other.canonical_);
    lock_path_ = std::move(other.lock_path_);
    held_ = other.held_;
    other.held_ = false;
  }
  return *this;
}

void DirLock::release() {
  if (!held_) return;
  held_ = false;
  (void)remove_file(lock_path_);
  Registry& reg = registry();
  std::lock_guard<std::mutex> g(reg.mu);
  std::erase(reg.paths, canonical_);
}

IoResult<DirLock> acquire_dir_lock(const std::string& dir, const std::string& canonical) {
  Registry& reg = registry();
  std::unique_lock<std::mutex> g(reg.mu);
  const uint64_t started = monotonic_ms();
  while (std::find(reg.paths.begin(), reg.paths.end(), canonical) != reg.paths.end()) {
    if (monotonic_ms() - started >= kLockWaitMs) return locked();
    g.unlock();
    sleep_ms(kLockPollMs);
    g.lock();
  }

  auto flock = DirFlock::lock(dir);
  if (!flock) return io_err(flock.take_error());
  const std::string lock_path = join_path(dir, kLockFile);
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    auto f = File::open(lock_path, OpenMode::CreateNew);
    if (f) {
      // A LOCK left empty by a failed write is judged stale by the next open.
      if (auto w = f.value().write_all(std::to_string(current_pid()) + "\n"); !w) return io_err(w.take_error());
      reg.paths.push_back(canonical);
      return DirLock(canonical, lock_path);
    }
    if (f.error().kind != IoErrorKind::AlreadyExists) return io_err(f.take_error());
    if (judge(lock_path) == Holder::Live) return locked();
    if (auto r = remove_file(lock_path); !r && r.error().kind != IoErrorKind::NotFound) {
      return io_err(r.take_error());
    }
  }
  return locked();
}

}  // namespace vellum::persist
