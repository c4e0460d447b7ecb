#pragma once
// Files and directories of the OS. A File owns one descriptor and closes it when it is
// destroyed; it is move-only. Reads retry interrupted calls and report end of file as 0
// bytes; write_all continues through short writes until every byte is written or the
// system refuses. Every function returns an IoError value and never throws.
//
// A File is not thread-safe; its owner serialises access (the log holds it under its
// lock). The free functions are safe to call from any thread.
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

  // Opens `path`; new files get mode 0644 (before the umask).
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

// `dir` + "/" + `name` (no separator added when `dir` already ends with one).
std::string join_path(std::string_view dir, std::string_view name);
// Creates a directory and its missing parents; an existing directory is fine.
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
