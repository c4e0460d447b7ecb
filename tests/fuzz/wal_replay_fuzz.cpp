// Fuzzes log replay on a segment file holding the input. On every input it checks that
//   - replay either fails with an error or succeeds, and a success that reports a torn
//     tail has cut the file to exactly the offset it names;
//   - a failure (damage with intact records after it, or a malformed record) leaves the
//     file byte for byte as it was;
//   - replaying the repaired file again reports nothing torn and rebuilds the same keys;
//   - the store's accounting matches a full recount after replay.
// Crashes, sanitizer reports and oversized allocations (-malloc_limit_mb) are failures.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "persist/load.h"
#include "persist/wal_reader.h"
#include "core/store.h"

namespace {

using namespace vellum;

const std::string& work_dir() {
  static const std::string dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vellum-walfuzz-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl;
  }();
  return dir;
}

std::shared_ptr<Store> replay(const persist::Segment& seg, std::optional<std::string>& torn, bool& ok) {
  StoreConfig c;
  c.shards = 4;
  c.sweep_interval_ms = 0;
  auto store = Store::create(c, nullptr, false);
  store->set_replaying(true);
  auto r = persist::replay_segment(work_dir(), seg, [&](const persist::DecodedWalRecord& rec) {
    persist::apply_wal_record(*store, rec);
  });
  store->set_replaying(false);
  ok = r.ok();
  if (ok) torn = r.value();
  return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const persist::Segment seg{0, "wal-0.log"};
  const std::string path = work_dir() + "/" + seg.name;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::optional<std::string> torn;
  bool ok = false;
  auto store = replay(seg, torn, ok);
  if (store->used_memory() != store->audit_charge_sum()) std::abort();
  if (!ok) {
    std::ifstream in(path, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (after != std::string_view(reinterpret_cast<const char*>(data), size)) std::abort();
    return 0;
  }
  const uint64_t now_size = std::filesystem::file_size(path);
  if (torn) {
    if (*torn != "truncated torn WAL tail in wal-0.log at byte " + std::to_string(now_size)) std::abort();
  } else if (now_size != size) {
    std::abort();
  }
  std::optional<std::string> torn_again;
  bool ok_again = false;
  auto again = replay(seg, torn_again, ok_again);
  if (!ok_again || torn_again) std::abort();
  if (again->key_count() != store->key_count() || again->used_memory() != store->used_memory()) std::abort();
  return 0;
}
