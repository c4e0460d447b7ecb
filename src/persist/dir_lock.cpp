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

// A LOCK file is a few bytes; anything much longer cannot name a pid.
constexpr size_t kLockContentLimit = 4096;

// A directory claimed by a store of the process `pid`. The pid tells a child made by fork
// that the claims it inherited are its parent's, not its own.
struct Claim {
  std::string canonical;
  uint32_t pid;
};

struct Registry {
  std::mutex mu;
  std::vector<Claim> claims;  // guarded by mu
};

Registry& registry() {
  static Registry r;
  return r;
}

bool claimed_here(const Registry& reg, const std::string& canonical) {
  const uint32_t me = current_pid();
  return std::any_of(reg.claims.begin(), reg.claims.end(),
                     [&](const Claim& c) { return c.pid == me && c.canonical == canonical; });
}

void unclaim(const std::string& canonical) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> g(reg.mu);
  const uint32_t me = current_pid();
  auto it = std::find_if(reg.claims.begin(), reg.claims.end(),
                         [&](const Claim& c) { return c.pid == me && c.canonical == canonical; });
  if (it != reg.claims.end()) reg.claims.erase(it);
}

// Drops a claim on every path out of acquisition that does not hand the lock over.
class ClaimGuard {
 public:
  explicit ClaimGuard(const std::string& canonical) : canonical_(canonical) {}
  ClaimGuard(const ClaimGuard&) = delete;
  ClaimGuard& operator=(const ClaimGuard&) = delete;
  ~ClaimGuard() {
    if (armed_) unclaim(canonical_);
  }
  void dismiss() { armed_ = false; }

 private:
  const std::string& canonical_;
  bool armed_ = true;
};

std::string pid_suffix(uint32_t pid) { return " (pid " + std::to_string(pid) + ")"; }

Err<IoError> open_here() {
  return io_err(IoError::make(IoErrorKind::WouldBlock, std::string(kOpenHereText) + pid_suffix(current_pid())));
}

// The holder is named by the pid in LOCK. An opener writes its pid before it lets the
// directory flock go, so only a LOCK written by something else names nobody.
Err<IoError> locked_by(std::optional<uint32_t> pid) {
  if (pid && *pid == current_pid()) return open_here();
  return io_err(IoError::make(IoErrorKind::WouldBlock, std::string(kLockedText) + (pid ? pid_suffix(*pid) : "")));
}

// The pid a LOCK file names, read without locking it; none when unreadable.
std::optional<uint32_t> named_pid(const std::string& lock_path) {
  auto f = File::open(lock_path, OpenMode::Read);
  if (!f) return std::nullopt;
  std::string content;
  char buf[256];
  while (content.size() <= kLockContentLimit) {
    auto r = f.value().read(buf, sizeof buf);
    if (!r || r.value() == 0) break;
    content.append(buf, r.value());
  }
  return parse_lock_pid(content);
}

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// The warning for taking over a LOCK whose flock nobody held. A pid of a process that is
// gone is the ordinary leftover of a crash and goes unremarked; a pid that names a live
// process (this one included) means the pid was reused, which the operator should hear.
std::optional<std::string> takeover_warning(const std::string& previous) {
  auto pid = parse_lock_pid(previous);
  if (!pid) return std::nullopt;
  if (*pid == current_pid()) {
    return "stale LOCK taken over: it names this process" + pid_suffix(*pid) +
           ", which did not hold the directory lock";
  }
  if (!process_alive(*pid)) return std::nullopt;
  return "stale LOCK taken over: it names pid " + std::to_string(*pid) +
         ", a live process that does not hold the directory lock (its pid was reused)";
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

DirLock& DirLock::operator=(DirLock&& other) noexcept {
  if (this != &other) {
    release();
    canonical_ = std::move(other.canonical_);
    lock_path_ = std::move(other.lock_path_);
    lock_ = std::move(other.lock_);
    warning_ = std::move(other.warning_);
  }
  return *this;
}

void DirLock::release() {
  if (!lock_.held()) {
    lock_.unlock();  // in a child made by fork: forget the parent's lock, touch nothing
    return;
  }
  // LOCK goes before its flock: an opener that finds the file still there also finds it
  // locked, and one that locks a file just deleted notices and opens the next one.
  (void)remove_file(lock_path_);
  lock_.unlock();
  unclaim(canonical_);
}

IoResult<DirLock> acquire_dir_lock(const std::string& dir, const std::string& canonical) {
  Registry& reg = registry();
  {
    std::unique_lock<std::mutex> g(reg.mu);
    const uint64_t started = monotonic_ms();
    while (claimed_here(reg, canonical)) {
      if (monotonic_ms() - started >= kLockWaitMs) return open_here();
      g.unlock();
      sleep_ms(kLockPollMs);
      g.lock();
    }
    reg.claims.push_back(Claim{canonical, current_pid()});
  }
  ClaimGuard claim(canonical);

  auto dir_flock = DirFlock::lock(dir);
  if (!dir_flock) return io_err(dir_flock.take_error());
  const std::string lock_path = join_path(dir, kLockFile);
  auto lock = FileLock::try_lock(lock_path);
  if (!lock) {
    if (lock.error().kind == IoErrorKind::WouldBlock) return locked_by(named_pid(lock_path));
    return io_err(lock.take_error());
  }
  auto previous = lock.value().read(kLockContentLimit);
  if (!previous) return io_err(previous.take_error());
  // A LOCK left empty or partial by a failed write names nobody; the next open takes it
  // over without a word.
  if (auto w = lock.value().rewrite(std::to_string(current_pid()) + "\n"); !w) return io_err(w.take_error());
  claim.dismiss();
  return DirLock(canonical, lock_path, std::move(lock.value()), takeover_warning(previous.value()));
}

}  // namespace vellum::persist
