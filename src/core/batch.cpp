// Batches: several store operations run under one set of exclusively held shard locks and
// logged as one record, and the shard versions that WATCH compares.

#include "core/store.h"

#include "core/store_internal.h"

namespace vellum {

using namespace store_internal;

Store::BatchScope::BatchScope(Store& store, std::span<const size_t> shards)
    : store_(store), shards_(shards.begin(), shards.end()) {
  for (size_t i : shards_) store_.shards_[i].lock.lock_for_batch(this);
  ShardLock::set_batch_token(this);
  batch_store_ = &store_;
  batch_records_ = new std::vector<Bytes>();
  batch_scope_ = this;
}

Store::BatchScope::~BatchScope() {
  // A batch ended by an exception still logs what it changed before anyone can see it.
  if (!committed_) (void)commit();
  delete batch_records_;
  batch_records_ = nullptr;
  batch_scope_ = nullptr;
  batch_store_ = nullptr;
  ShardLock::set_batch_token(nullptr);
  for (auto it = shards_.rbegin(); it != shards_.rend(); ++it) store_.shards_[*it].lock.unlock_for_batch();
}

StoreResult<void> Store::BatchScope::commit() {
  committed_ = true;
  std::vector<Bytes>& records = *batch_records_;
  if (records.empty() || store_.persist_ == nullptr) return {};
  WalRecord r;
  r.op = WalOp::Batch;
  r.items = records;
  const bool taken = store_.persist_->wal_append(r);
  records.clear();
  if (!taken) {
    undo();
    return store_err(StoreError::PersistenceFailed);
  }
  return {};
}

// Puts every changed key back as it was before the batch. Each key's pre-image is its
// state before the batch's first change to it, so restoring each one on its own restores
// the whole: the order does not matter. Evictions and expiries the batch made come back
// too; the log, broken now, takes nothing until a save captures memory as it is.
void Store::BatchScope::undo() {
  for (PreImage& p : pre_images) {
    const uint64_t h = store_.hash_key(p.key);
    Shard& s = store_.shard_for(h);
    const int64_t pos = s.table.find(p.key, h);
    if (pos >= 0) {
      Entry gone = s.table.erase_at(static_cast<size_t>(pos), h);
      store_.charge_sub(gone.charge());
    }
    if (p.entry) {
      const uint64_t charge = p.entry->charge();
      s.table.insert(h, std::move(*p.entry));
      store_.charge_add(charge);
    }
    store_.update_table_charge(s);
  }
  pre_images.clear();
  captured.clear();
}

void Store::capture_pre_image(BytesView key, bool all) {
  BatchScope& b = *batch_scope_;
  const auto take = [&](const Shard& s, BytesView k, uint64_t h) {
    if (!b.captured.emplace(k).second) return;
    BatchScope::PreImage p;
    p.key.assign(k);
    const int64_t pos = s.table.find(k, h);
    if (pos >= 0) {
      const Entry& e = s.table.at(static_cast<size_t>(pos));
      p.entry = e.is_string() ? Entry::make_string(e.key(), e.value(), e.expires_at_ms)
                              : Entry::make_collection(e.record()->clone(), e.expires_at_ms);
    }
    b.pre_images.push_back(std::move(p));
  };
  if (!all) {
    const uint64_t h = hash_key(key);
    take(shard_for(h), key, h);
    return;
  }
  for (const Shard& s : shards_) {
    for (size_t i = 0; i < s.table.size(); ++i) {
      const BytesView k = s.table.at(i).key();
      take(s, k, hash_key(k));
    }
  }
}

bool Store::log_into_batch(const WalRecord& r) {
  Bytes payload;
  if (!persist_->encode_payload(r, payload)) return persist_->wal_append(r);
  // Under "always" a broken log refuses here already, so the batch stops changing memory
  // at the first mutation it could not log; the deferred policies take every record.
  if (persist_->refusing()) return false;
  if (config_.fsync == FsyncPolicy::Always) {
    capture_pre_image(r.key, r.op == WalOp::FlushAll);
    // The operations over two keys change their second key (`field`) too.
    if (r.op == WalOp::Rename || r.op == WalOp::LMove) capture_pre_image(r.field, false);
  }
  batch_records_->push_back(std::move(payload));
  return true;
}

std::vector<size_t> Store::all_shards() const {
  std::vector<size_t> out(shards_.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = i;
  return out;
}

WatchMark Store::watch_mark(BytesView key) const {
  Now now(*this);
  const uint64_t h = hash_key(key);
  const size_t index = (h >> 32) & shard_mask_;
  const Shard& s = shards_[index];
  SharedLock lock(s.lock);
  WatchMark m;
  m.shard = index;
  m.version = s.lock.version();
  const int64_t pos = s.table.find(key, h);
  m.live = pos >= 0 && now.live(s.table.at(static_cast<size_t>(pos)));
  return m;
}

bool Store::watch_intact(BytesView key, const WatchMark& mark) const {
  Now now(*this);
  const uint64_t h = hash_key(key);
  const Shard& s = shards_[mark.shard];
  SharedLock lock(s.lock);
  if (s.lock.version() != mark.version) return false;
  if (!mark.live) return true;
  const int64_t pos = s.table.find(key, h);
  return pos >= 0 && now.live(s.table.at(static_cast<size_t>(pos)));
}

}  // namespace vellum
