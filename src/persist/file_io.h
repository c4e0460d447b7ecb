#pragma once
// Buffered streaming over a File for the persistence formats. The reader never reads past
// its limit, so a format can keep trailing bytes (a checksum) out of the data it decodes;
// the writer keeps a running CRC-32 of everything passed through it. Neither is
// thread-safe, and both borrow a File that must outlive them.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "persist/codec.h"
#include "platform/file.h"

namespace vellum::persist {

class BufferedReader {
 public:
  // Reads `file` from its current offset up to `limit` bytes in total.
  BufferedReader(File& file, uint64_t limit, size_t capacity);

  uint64_t position() const { return consumed_; }
  uint64_t remaining() const { return limit_ - consumed_; }
  // Exactly n bytes; UnexpectedEof when the limit or the file's end comes first.
  IoResult<void> read_exact(char* out, size_t n);
  IoResult<uint8_t> read_u8();
  // A length-checked copy: fails with UnexpectedEof before allocating when fewer than
  // n bytes remain before the limit.
  IoResult<Bytes> read_bytes(uint64_t n);

 private:
  IoResult<bool> fill();

  File& file_;
  uint64_t limit_;
  uint64_t consumed_ = 0;  // bytes handed out
  uint64_t fetched_ = 0;   // bytes read from the file
  std::string buf_;
  size_t begin_ = 0, end_ = 0;
};

class BufferedWriter {
 public:
  BufferedWriter(File& file, size_t capacity);

  IoResult<void> write(BytesView data);
  // Writes out what is buffered; the file itself is not synced.
  IoResult<void> flush();
  // CRC-32 of every byte passed to write() so far, buffered or not.
  uint32_t crc() const;
  uint64_t written() const { return written_; }

 private:
  File& file_;
  size_t capacity_;
  std::string buf_;
  // Covers the bytes already handed to the file; buf_ is folded in when it is flushed,
  // so the checksum runs over whole buffers rather than over each small field.
  Crc32 crc_;
  uint64_t written_ = 0;
};

}  // namespace vellum::persist
