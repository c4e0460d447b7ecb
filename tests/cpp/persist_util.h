#pragma once
// Shared helpers of the persistence tests: a temporary directory, whole-file I/O, and an
// encoder of both file formats written independently of the one under test (its CRC is a
// plain bitwise loop), so format tests compare against bytes built from the layout alone.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "persist/data_dir.h"
#include "core/store.h"
#include "fake_clock.h"

namespace vellum::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vellum-persist-XXXXXX").string();
    char* p = ::mkdtemp(tmpl.data());
    EXPECT_NE(p, nullptr);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

// Independent encoder of the on-disk layouts.
struct Enc {
  static uint32_t crc(const std::string& s) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : s) {
      c ^= b;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
  }
  static std::string u32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
  }
  static std::string u64(uint64_t v) {
    std::string s;
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
  }
  static std::string varint(uint64_t v) {
    std::string s;
    do {
      uint8_t b = v & 0x7F;
      v >>= 7;
      if (v) b |= 0x80;
      s.push_back(static_cast<char>(b));
    } while (v);
    return s;
  }
  static std::string bytes(const std::string& b) { return varint(b.size()) + b; }
  static std::string list(const std::vector<std::string>& items) {
    std::string s = varint(items.size());
    for (const auto& i : items) s += bytes(i);
    return s;
  }
  // One log record: header (length, CRC) and payload.
  static std::string record(const std::string& payload) {
    return u32(static_cast<uint32_t>(payload.size())) + u32(crc(payload)) + payload;
  }
  static std::string op(uint8_t code) { return std::string(1, static_cast<char>(code)); }
  static std::string set(const std::string& k, const std::string& v, uint64_t exp = 0) {
    return record(op(1) + u64(exp) + bytes(k) + v);
  }
  static std::string del(const std::string& k) { return record(op(2) + bytes(k)); }
  static std::string expireat(const std::string& k, uint64_t exp) { return record(op(3) + u64(exp) + bytes(k)); }
  static std::string listop(uint8_t code, const std::string& k, const std::vector<std::string>& items) {
    return record(op(code) + bytes(k) + list(items));
  }
  // A snapshot file around already encoded records.
  static std::string snapshot(uint64_t wal_seq, const std::string& records, uint64_t count,
                              uint32_t version = 1, const std::string& magic = "KVSNAP01") {
    std::string s = magic + u32(version) + u64(wal_seq) + records + "\xff" + u64(count);
    return s + u32(crc(s));
  }
  static std::string snap_string(const std::string& k, uint64_t exp, const std::string& v) {
    return std::string(1, '\x01') + bytes(k) + u64(exp) + bytes(v);
  }
  static std::string snap_coll(uint8_t type, const std::string& k, uint64_t exp,
                               const std::vector<std::string>& elements, uint64_t count) {
    std::string s = std::string(1, static_cast<char>(type)) + bytes(k) + u64(exp) + varint(count);
    for (const auto& e : elements) s += bytes(e);
    return s;
  }
};

struct PersistFixture : ::testing::Test {
  TempDir dir;
  std::shared_ptr<FakeClock> clock = make_fake_clock(1'700'000'000'000);

  StoreConfig config(FsyncPolicy fsync = FsyncPolicy::Never) const {
    StoreConfig c;
    c.shards = 1;
    c.persist_dir = dir.path();
    c.fsync = fsync;
    c.snapshot_interval = 0;
    c.sweep_interval_ms = 0;
    return c;
  }
  std::shared_ptr<Store> open(FsyncPolicy fsync = FsyncPolicy::Never) {
    auto r = persist::open_store(config(fsync), clock);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text);
    return r.ok() ? r.value() : nullptr;
  }
  IoError open_error(const StoreConfig& c) {
    auto r = persist::open_store(c, clock);
    EXPECT_FALSE(r.ok());
    if (r.ok()) return IoError{};
    return r.error();
  }
  std::optional<std::string> last_error(const Store& s) const {
    auto st = persist::read_persist_stats(s);
    return st ? st->last_error : std::optional<std::string>("<no persistence>");
  }
};

inline std::vector<Bytes> items(std::initializer_list<const char*> xs) {
  std::vector<Bytes> out;
  for (const char* x : xs) out.emplace_back(x);
  return out;
}

}  // namespace vellum::testing
