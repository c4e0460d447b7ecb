#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>

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

IoError last_os_error() { return IoError::from_errno(errno); }

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
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_err(last_os_error());
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
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return io_err(last_os_error());
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
