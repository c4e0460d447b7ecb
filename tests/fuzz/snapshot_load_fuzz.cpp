// Fuzzes snapshot loading on a file holding the input. The first input byte selects
// repairs that let the fuzzer get past the early checks: bit 0 writes the correct
// magic and version, bit 1 the correct trailing checksum. On every input it checks that
//   - a load fails with an error or succeeds with the file's size, and a failure of the
//     format is one of its named reasons;
//   - the store's accounting matches a full recount after a load.
// Crashes, sanitizer reports and oversized allocations (-malloc_limit_mb) are failures.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "persist/codec.h"
#include "persist/snapshot.h"
#include "persist/snapshot_format.h"
#include "core/store.h"

namespace {

using namespace vellum;

const std::string& work_dir() {
  static const std::string dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vellum-snapfuzz-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl;
  }();
  return dir;
}

bool known_reason(const std::string& text) {
  for (const char* r : {"file truncated", "checksum mismatch", "bad magic", "unsupported version",
                        "unknown record type", "record count mismatch", "varint overflow"}) {
    if (text == std::string("snapshot: ") + r) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((mode & 1) && file.size() >= 12) {
    std::string head(persist::kSnapshotMagic);
    persist::put_u32(head, persist::kSnapshotVersion);
    file.replace(0, head.size(), head);
  }
  if ((mode & 2) && file.size() >= persist::kSnapshotMinSize) {
    persist::store_u32(file.data() + file.size() - 4, persist::crc32(BytesView(file).substr(0, file.size() - 4)));
  }
  {
    std::ofstream out(work_dir() + "/snapshot.kvs", std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  StoreConfig c;
  c.shards = 4;
  c.sweep_interval_ms = 0;
  auto store = Store::create(c, nullptr, false);
  store->set_replaying(true);
  auto r = persist::load_snapshot(work_dir(), *store);
  store->set_replaying(false);
  if (store->used_memory() != store->audit_charge_sum()) std::abort();
  if (r.ok()) {
    if (r.value().size != file.size()) std::abort();
  } else if (r.error().kind == IoErrorKind::InvalidData && !known_reason(r.error().text)) {
    std::abort();
  }
  return 0;
}
