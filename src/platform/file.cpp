#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace vellum {

namespace fault {
namespace {

struct Plan {
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> fail_from{0};  // first failing call number, 0 = none
  std::atomic<uint64_t> fail_until{0};  // one past the last failing call number
  std::atomic<int> err{0};
};

std::atomic<bool> g_armed{false};
std::array<Plan, static_cast<size_t>(Op::kCount)> g_plans;

Plan& plan(Op op) { return g_plans[static_cast<size_t>(op)]; }

}  // namespace

void fail(Op op, uint64_t nth, int err, uint64_t times) {
  Plan& p = plan(op);
  uint64_t base = p.calls.load(std::memory_order_relaxed);
  p.err.store(err, std::memory_order_relaxed);
  p.fail_until.store(base + nth + times, std::memory_order_relaxed);
  p.fail_from.store(base + nth, std::memory_order_relaxed);
  g_armed.store(true, std::memory_order_release);
}

uint64_t calls(Op op) { return plan(op).calls.load(std::memory_order_relaxed); }

void reset() {
  g_armed.store(false, std::memory_order_release);
  for (Plan& p : g_plans) {
    p.fail_from.store(0, std::memory_order_relaxed);
    p.fail_until.store(0, std::memory_order_relaxed);
    p.calls.store(0, std::memory_order_relaxed);
  }
}

bool hit(Op op, int& err) {
  Plan& p = plan(op);
  uint64_t n = p.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!g_armed.load(std::memory_order_acquire)) return false;
  uint64_t from = p.fail_from.load(std::memory_order_relaxed);
  if (from == 0 || n < from || n >= p.fail_until.load(std::memory_order_relaxed)) return false;
  err = p.err.load(std::memory_order_relaxed);
  return true;
}

}  // namespace fault

namespace {

constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kPrivateDir = 0700;
// A FileLock whose file is deleted and recreated this many times between its open and its
// flock gives up; each round means another holder came and went in that instant.
constexpr int kLockRaces = 16;

IoError last_os_error() { return IoError::from_errno(errno); }

// Gives an open file mode 0600. A failure is ignored: a file created here cannot be more
// open than 0600 (the umask only removes bits), and a file another user owns keeps the
// mode its owner chose.
void make_private(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != kPrivateFile) (void)::fchmod(fd, kPrivateFile);
}

// The descriptors of the FileLocks this process holds. `mu` is held around every change
// of the list and across fork (prepare to parent or child), so a child never inherits a
// held lock's descriptor that the list does not name. Never destroyed: a fork during exit
// still runs the handlers.
struct LockTable {
  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  std::vector<int> fds;
  // Incremented in every child made by fork, so a FileLock can tell it was copied into one.
  uint64_t generation = 0;
};

LockTable& lock_table() {
  static LockTable* table = new LockTable;
  return *table;
}

void lock_table_before_fork() { pthread_mutex_lock(&lock_table().mu); }
void lock_table_after_fork_in_parent() { pthread_mutex_unlock(&lock_table().mu); }
void lock_table_after_fork_in_child() {
  LockTable& t = lock_table();
  for (int fd : t.fds) ::close(fd);
  t.fds.clear();
  ++t.generation;
  pthread_mutex_unlock(&t.mu);
}

uint64_t lock_generation() {
  LockTable& t = lock_table();
  pthread_mutex_lock(&t.mu);
  uint64_t g = t.generation;
  pthread_mutex_unlock(&t.mu);
  return g;
}

void register_fork_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    (void)::pthread_atfork(lock_table_before_fork, lock_table_after_fork_in_parent, lock_table_after_fork_in_child);
  });
}

// Opens a directory for locking, syncing or resolving; -1 with errno set on failure.
int open_dir(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Runs the injected failure for `op`, if one is due, as an OS error.
bool injected(fault::Op op, IoError& out) {
  int err = 0;
  if (!fault::hit(op, err)) return false;
  out = IoError::from_errno(err);
  return true;
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

IoResult<File> File::open(const std::string& path, OpenMode mode) {
  IoError e;
  if (injected(fault::Op::Open, e)) return io_err(std::move(e));
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::Read:
      flags |= O_RDONLY;
      break;
    case OpenMode::CreateNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      break;
    case OpenMode::Append:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
    case OpenMode::Truncate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case OpenMode::Write:
      flags |= O_WRONLY;
      break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, kPrivateFile);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_err(last_os_error());
  if (mode != OpenMode::Read) make_private(fd);
  return File(fd);
}

IoResult<size_t> File::read(char* buf, size_t n) {
  IoError e;
  if (injected(fault::Op::Read, e)) return io_err(std::move(e));
  for (;;) {
    ssize_t r = ::read(fd_, buf, n);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return io_err(last_os_error());
  }
}

IoResult<void> File::read_exact(char* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    auto r = read(buf + done, n - done);
    if (!r) return io_err(r.take_error());
    if (r.value() == 0) return io_err(IoError::unexpected_eof());
    done += r.value();
  }
  return {};
}

IoResult<void> File::write_all(const char* data, size_t n) {
  IoError e;
  if (injected(fault::Op::Write, e)) return io_err(std::move(e));
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd_, data + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return io_err(last_os_error());
    }
    if (w == 0) return io_err(IoError::make(IoErrorKind::Other, "failed to write whole buffer"));
    done += static_cast<size_t>(w);
  }
  return {};
}

IoResult<void> File::sync() {
  IoError e;
  if (injected(fault::Op::Sync, e)) return io_err(std::move(e));
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return io_err(last_os_error());
  }
  return {};
}

IoResult<void> File::sync_data() {
  IoError e;
  if (injected(fault::Op::Sync, e)) return io_err(std::move(e));
  while (::fdatasync(fd_) != 0) {
    if (errno != EINTR) return io_err(last_os_error());
  }
  return {};
}

IoResult<void> File::set_len(uint64_t len) {
  IoError e;
  if (injected(fault::Op::SetLen, e)) return io_err(std::move(e));
  while (::ftruncate(fd_, static_cast<off_t>(len)) != 0) {
    if (errno != EINTR) return io_err(last_os_error());
  }
  return {};
}

IoResult<uint64_t> File::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return io_err(last_os_error());
  return static_cast<uint64_t>(st.st_size);
}

void File::close() {
  if (fd_ >= 0) {
    // Linux releases the descriptor even when close reports EINTR, so no retry.
    ::close(fd_);
    fd_ = -1;
  }
}

DirFlock& DirFlock::operator=(DirFlock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

DirFlock::~DirFlock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the flock
}

IoResult<DirFlock> DirFlock::lock(const std::string& dir) {
  int fd = open_dir(dir);
  if (fd < 0) return io_err(last_os_error());
  DirFlock out(fd);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return io_err(last_os_error());
  }
  return out;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    unlock();
    fd_ = std::exchange(other.fd_, -1);
    owner_ = other.owner_;
  }
  return *this;
}

IoResult<FileLock> FileLock::try_lock(const std::string& path) {
  IoError e;
  if (injected(fault::Op::Open, e)) return io_err(std::move(e));
  register_fork_handlers();
  LockTable& t = lock_table();
  for (int round = 0; round < kLockRaces; ++round) {
    // The table's mutex is held from the open until the descriptor is listed, so a fork
    // on another thread cannot copy it unlisted into a child.
    pthread_mutex_lock(&t.mu);
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFile);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      IoError err = last_os_error();
      pthread_mutex_unlock(&t.mu);
      return io_err(std::move(err));
    }
    make_private(fd);
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    int err = rc == 0 ? 0 : errno;
    // A holder deletes its file before it unlocks, so a lock won on a file `path` no
    // longer names guards nothing; the next round opens the file that is there now.
    struct stat held {}, named {};
    if (rc == 0 && ::fstat(fd, &held) != 0) err = errno;
    bool current = err == 0 && ::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
                   named.st_ino == held.st_ino;
    if (current) {
      try {
        t.fds.push_back(fd);
      } catch (const std::bad_alloc&) {
        err = ENOMEM;
        current = false;
      }
    }
    const uint64_t generation = t.generation;
    if (!current) ::close(fd);
    pthread_mutex_unlock(&t.mu);
    if (current) return FileLock(fd, generation);
    if (err != 0) return io_err(IoError::from_errno(err));
  }
  return io_err(IoError::make(IoErrorKind::WouldBlock, path + " was replaced on every attempt to lock it"));
}

bool FileLock::held() const { return fd_ >= 0 && owner_ == lock_generation(); }

IoResult<std::string> FileLock::read(size_t limit) {
  IoError e;
  if (injected(fault::Op::Read, e)) return io_err(std::move(e));
  std::string out(limit, '\0');
  size_t done = 0;
  while (done < limit) {
    ssize_t r = ::pread(fd_, out.data() + done, limit - done, static_cast<off_t>(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return io_err(last_os_error());
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  out.resize(done);
  return out;
}

IoResult<void> FileLock::rewrite(std::string_view data) {
  IoError e;
  if (injected(fault::Op::SetLen, e)) return io_err(std::move(e));
  while (::ftruncate(fd_, 0) != 0) {
    if (errno != EINTR) return io_err(last_os_error());
  }
  if (::lseek(fd_, 0, SEEK_SET) < 0) return io_err(last_os_error());
  if (injected(fault::Op::Write, e)) return io_err(std::move(e));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = ::write(fd_, data.data() + done, data.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return io_err(last_os_error());
    }
    if (w == 0) return io_err(IoError::make(IoErrorKind::Other, "failed to write whole buffer"));
    done += static_cast<size_t>(w);
  }
  return {};
}

void FileLock::unlock() {
  if (fd_ < 0) return;
  const int fd = std::exchange(fd_, -1);
  // In a child made by fork the descriptor was closed at the fork; its number may name
  // another file of the child by now.
  if (owner_ != lock_generation()) return;
  LockTable& t = lock_table();
  pthread_mutex_lock(&t.mu);
  std::erase(t.fds, fd);
  ::close(fd);
  pthread_mutex_unlock(&t.mu);
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

IoResult<void> create_dir_all(const std::string& path) {
  if (path.empty()) return io_err(IoError::from_errno(ENOENT));
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return io_err(IoError::from_errno(ENOTDIR));
  }
  // Create each missing ancestor in turn; a concurrent creator makes EEXIST harmless.
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (::mkdir(prefix.c_str(), kPrivateDir) == 0) {
      // The umask may have taken bits from 0700; a failure leaves the mode narrower still.
      (void)::chmod(prefix.c_str(), kPrivateDir);
    } else if (errno != EEXIST) {
      return io_err(last_os_error());
    }
  }
  if (::stat(path.c_str(), &st) != 0) return io_err(last_os_error());
  if (!S_ISDIR(st.st_mode)) return io_err(IoError::from_errno(ENOTDIR));
  return {};
}

IoResult<void> remove_file(const std::string& path) {
  IoError e;
  if (injected(fault::Op::Remove, e)) return io_err(std::move(e));
  if (::unlink(path.c_str()) != 0) return io_err(last_os_error());
  return {};
}

IoResult<void> rename_file(const std::string& from, const std::string& to) {
  IoError e;
  if (injected(fault::Op::Rename, e)) return io_err(std::move(e));
  if (::rename(from.c_str(), to.c_str()) != 0) return io_err(last_os_error());
  return {};
}

IoResult<std::vector<std::string>> list_dir(const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(path.c_str()), &::closedir);
  if (!d) return io_err(last_os_error());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(d.get());
    if (ent == nullptr) {
      if (errno != 0) return io_err(last_os_error());
      break;
    }
    std::string_view name(ent->d_name);
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

IoResult<std::string> canonical_dir(const std::string& path) {
  int fd = open_dir(path);
  if (fd < 0) return io_err(last_os_error());
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  std::unique_ptr<char, FreeDeleter> resolved(::realpath(proc.c_str(), nullptr));
  int err = errno;
  if (!resolved) {
    // Without /proc, resolve the path itself; the directory is still open, so it exists.
    resolved.reset(::realpath(path.c_str(), nullptr));
    err = errno;
  }
  ::close(fd);
  if (!resolved) return io_err(IoError::from_errno(err));
  return std::string(resolved.get());
}

IoResult<void> sync_dir(const std::string& path) {
  IoError e;
  if (injected(fault::Op::Sync, e)) return io_err(std::move(e));
  int fd = open_dir(path);
  if (fd < 0) return io_err(last_os_error());
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  int err = errno;
  ::close(fd);
  if (rc != 0) return io_err(IoError::from_errno(err));
  return {};
}

}  // namespace vellum
