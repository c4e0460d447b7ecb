#include "persist/load.h"

#include <span>

#include "persist/wal_reader.h"
#include "platform/file.h"

namespace vellum::persist {

IoResult<Loaded> load_dir(const std::string& dir, Store& store) {
  // Loading rebuilds the logged history as it happened, so nothing may consult the clock
  // (a key that expired later was still live when the records after it were written).
  store.set_replaying(true);
  Loaded out;
  auto snap = load_snapshot(dir, store);
  if (!snap) return io_err(snap.take_error());
  out.snapshot = snap.value();
  auto segments = list_segments(dir);
  if (!segments) return io_err(segments.take_error());
  for (const Segment& s : segments.value()) {
    if (s.n < out.snapshot.wal_seq) {
      auto r = remove_file(join_path(dir, s.name));
      if (!r && r.error().kind != IoErrorKind::NotFound) return io_err(r.take_error());
      continue;
    }
    auto r = replay_segment(dir, s, [&store](const DecodedWalRecord& rec) { apply_wal_record(store, rec); });
    if (!r) return io_err(r.take_error());
    if (r.value()) out.repaired = std::move(r.value());
    out.newest = s;
  }
  store.set_replaying(false);
  return out;
}

void apply_wal_record(Store& store, const DecodedWalRecord& r) {
  switch (r.op) {
    case WalOp::Set:
      (void)store.restore_string(r.key, r.value, r.expires_at_ms);
      break;
    case WalOp::Del: {
      Bytes key(r.key);
      (void)store.del(std::span<const Bytes>(&key, 1));
      break;
    }
    case WalOp::ExpireAt:
      (void)store.expire_at(r.key, r.expires_at_ms);
      break;
    case WalOp::HSet:
      (void)store.hset(r.key, r.field, r.value);
      break;
    case WalOp::HDel:
      (void)store.hdel(r.key, r.items);
      break;
    case WalOp::LPush:
      (void)store.lpush(r.key, r.items);
      break;
    case WalOp::RPush:
      (void)store.rpush(r.key, r.items);
      break;
    case WalOp::LPop:
      (void)store.lpop(r.key);
      break;
    case WalOp::RPop:
      (void)store.rpop(r.key);
      break;
    case WalOp::SAdd:
      (void)store.sadd(r.key, r.items);
      break;
    case WalOp::SRem:
      (void)store.srem(r.key, r.items);
      break;
    case WalOp::FlushAll:
      (void)store.flush();
      break;
    case WalOp::Batch:
      // decode_wal_payload checked every sub-record, so the batch applies whole.
      for (const Bytes& item : r.items) {
        auto sub = decode_wal_payload(item);
        if (sub) apply_wal_record(store, sub.value());
      }
      break;
    case WalOp::Rename:
      (void)store.rename(r.key, r.field, false);
      break;
    case WalOp::LSet:
      (void)store.lset(r.key, r.arg1, r.value);
      break;
    case WalOp::LTrim:
      (void)store.ltrim(r.key, r.arg1, r.arg2);
      break;
    case WalOp::LRem:
      (void)store.lrem(r.key, r.arg1, r.value);
      break;
    case WalOp::LInsert:
      (void)store.linsert(r.key, r.arg1 != 0, r.field, r.value);
      break;
    case WalOp::LMove:
      (void)store.lmove(r.key, r.field, r.arg1 == 0, r.arg2 == 0);
      break;
  }
}

}  // namespace vellum::persist
