#pragma once
// Files and directories of the OS. A File owns one descriptor and closes it when it is
// destroyed; it is move-only. Reads retry interrupted calls and report end of file as 0
// bytes; write_all continues through short writes until every byte is written or the
// system refuses. Every function returns an IoError value and never throws.
//
// A File is not thread-safe; its owner serialises access (the log holds it under its
// lock). The free functions are safe to call from any thread.
//
// Privacy: every file the layer creates or opens for writing is made mode 0600, and every
// directory it creates 0700, whatever the process umask; the data they hold is the
// owner's alone.
//
// Fault injection: tests may make the Nth call of a kind of operation fail with a chosen
// errno (see `fault` below). Unarmed, the hook costs a relaxed counter increment and one
// relaxed load per call, nothing next to the system call it guards.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io_error.h"

namespace vellum {

enum class OpenMode : uint8_t {
  Read,       // read only; the file must exist
  CreateNew,  // write only; fails with AlreadyExists if the file exists
  Append,     // write only, every write at the end; created if missing
  Truncate,   // write only; created if missing, emptied if present
  Write,      // write only; the file must exist and keeps its content
};

class File {
 public:
  File() = default;
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close(); }

  // Opens `path`. A file opened for writing is left with mode 0600: a new one is created
  // so, and an existing one is set so (when this process may change its mode).
  static IoResult<File> open(const std::string& path, OpenMode mode);

  bool is_open() const { return fd_ >= 0; }
  // Reads up to n bytes; 0 means end of file.
  IoResult<size_t> read(char* buf, size_t n);
  // Reads exactly n bytes; an early end of file is UnexpectedEof.
  IoResult<void> read_exact(char* buf, size_t n);
  IoResult<void> write_all(const char* data, size_t n);
  IoResult<void> write_all(std::string_view data) { return write_all(data.data(), data.size()); }
  // Flushes data and metadata to the device (fsync).
  IoResult<void> sync();
  // Flushes data and the metadata needed to read it back (fdatasync).
  IoResult<void> sync_data();
  // Sets the end of file (ftruncate).
  IoResult<void> set_len(uint64_t len);
  IoResult<uint64_t> size() const;
  // Closes the descriptor without reporting errors; nothing is flushed to disk.
  void close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Holds an advisory exclusive flock on a directory until destroyed. It serialises
// cooperating processes only; it guards no data by itself.
class DirFlock {
 public:
  DirFlock() = default;
  DirFlock(DirFlock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DirFlock& operator=(DirFlock&& other) noexcept;
  DirFlock(const DirFlock&) = delete;
  DirFlock& operator=(const DirFlock&) = delete;
  ~DirFlock();

  // Blocks until the lock is granted.
  static IoResult<DirFlock> lock(const std::string& dir);

 private:
  explicit DirFlock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// An exclusive advisory lock (flock) on a file, held from try_lock until unlock or
// destruction. The lock belongs to the open file description, so a second try_lock on the
// same file fails even inside this process, and closing some other descriptor of the file
// does not release it (unlike a record lock). A child made by fork is never a holder: the
// fork closes the child's copy of the descriptor (a pthread_atfork handler), so the child
// can neither release the parent's lock nor keep it held once the parent is gone, and its
// unlock only forgets the descriptor. Move-only; not thread-safe, its owner guards it.
class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&& other) noexcept : fd_(other.fd_), owner_(other.owner_) { other.fd_ = -1; }
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { unlock(); }

  // Opens `path` for reading and writing (created 0600 when missing) and locks it without
  // waiting: WouldBlock while another open file description holds the lock. The lock is
  // returned only while `path` still names the locked file; one won on a file that was
  // deleted or replaced meanwhile is dropped and the open tried again.
  static IoResult<FileLock> try_lock(const std::string& path);

  // Whether this process holds the lock: false after unlock, and in a child made by fork.
  bool held() const;
  // Up to `limit` bytes of the file from its start.
  IoResult<std::string> read(size_t limit);
  // Replaces the whole content of the file.
  IoResult<void> rewrite(std::string_view data);
  // Closes the descriptor, which releases the lock. Idempotent.
  void unlock();

 private:
  FileLock(int fd, uint64_t owner) : fd_(fd), owner_(owner) {}
  int fd_ = -1;
  uint64_t owner_ = 0;  // the fork generation of the process that took the lock
};

// `dir` + "/" + `name` (no separator added when `dir` already ends with one).
std::string join_path(std::string_view dir, std::string_view name);
// Creates a directory and its missing parents, each one mode 0700; an existing directory
// is fine and keeps its mode.
IoResult<void> create_dir_all(const std::string& path);
IoResult<void> remove_file(const std::string& path);
// Renames, atomically replacing an existing `to`.
IoResult<void> rename_file(const std::string& from, const std::string& to);
// The names in a directory, without "." and "..", in no particular order.
IoResult<std::vector<std::string>> list_dir(const std::string& path);
// The final path of the directory as the OS resolves it once opened (symlinks and
// relative parts gone).
IoResult<std::string> canonical_dir(const std::string& path);
// Flushes a directory's entries to disk, so creations and renames in it survive a crash.
IoResult<void> sync_dir(const std::string& path);

namespace fault {

enum class Op : uint8_t { Open, Read, Write, Sync, SetLen, Rename, Remove, kCount };

// Makes the calls numbered nth .. nth+times-1 of `op`, counted from this call (1 = the
// next one), fail with `err` without reaching the OS. Replaces any earlier plan for `op`.
void fail(Op op, uint64_t nth, int err, uint64_t times = 1);
// Calls of `op` since the last reset.
uint64_t calls(Op op);
// Forgets every plan and zeroes every count.
void reset();
// Used by the file layer: counts one call of `op`; true (with `err` set) when it must fail.
bool hit(Op op, int& err);

}  // namespace fault

}  // namespace vellum
