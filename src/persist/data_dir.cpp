#include "persist/data_dir.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

#include "persist/dir_lock.h"
#include "persist/snapshot.h"
#include "persist/snapshot_format.h"
#include "persist/wal_format.h"
#include "persist/wal_reader.h"
#include "persist/wal_writer.h"
#include "platform/file.h"
#include "platform/thread.h"

namespace vellum {

namespace persist {

namespace {

constexpr uint64_t kSleepStepMs = 10;
constexpr uint64_t kFsyncPeriodMs = 1000;

// The persistence record of a Store opened on a data directory: the current log segment,
// the statistics, the background threads and the directory lock. Shared by every thread
// that uses the store; each field names the mutex that guards it. Lock order:
// save_lock_ -> (shard locks) -> wal_lock_ -> stats_lock_; threads_lock_ and
// dir_lock_mu_ are taken alone.
class Persistence final : public PersistHook {
 public:
  Persistence(std::string dir, WalWriter wal, DirLock dir_lock, std::optional<std::string> last_error,
              uint64_t snapshot_bytes)
      : dir_(std::move(dir)), wal_(std::move(wal)), dir_lock_(std::move(dir_lock)) {
    stats_.last_error = std::move(last_error);
    stats_.snapshot_bytes = snapshot_bytes;
  }

  // Dropping a store without close: the segment handle is closed without a sync, no
  // snapshot is written and the lock is released. The threads are detached rather than
  // joined because this destructor may run on one of them (when it held the last strong
  // reference); they reach the store only through weak references and end on their own.
  ~Persistence() override {
    std::lock_guard<std::mutex> g(threads_lock_);
    for (NamedThread& t : threads_) t.detach();
  }

  void wal_append(const WalRecord& record) noexcept override {
    try {
      IoResult<void> r;
      {
        std::lock_guard<std::mutex> g(wal_lock_);
        if (!wal_.is_open()) return;
        r = wal_.append(record);
      }
      if (!r) set_last_error("WAL append failed: " + r.error().text);
    } catch (const std::bad_alloc&) {
      // The mutation stands; without memory even the error text cannot be kept.
    }
  }

  IoResult<void> save(Store& store) {
    std::lock_guard<std::mutex> save_guard(save_lock_);
    std::vector<std::shared_lock<RwLock>> locks;
    locks.reserve(store.shard_count());
    for (size_t i = 0; i < store.shard_count(); ++i) locks.emplace_back(store.shard(i).lock);
    auto r = save_locked(store, locks);
    locks.clear();
    if (!r) {
      set_last_error("save failed: " + r.error().text);
      return r;
    }
    return {};
  }

  void close(Store& store) {
    std::vector<NamedThread> threads;
    {
      std::lock_guard<std::mutex> g(threads_lock_);
      threads.swap(threads_);
    }
    for (NamedThread& t : threads) t.join();
    if (auto r = save(store); !r) set_last_error("final save failed: " + r.error().text);
    IoResult<void> closed;
    {
      std::lock_guard<std::mutex> g(wal_lock_);
      closed = wal_.close();
    }
    if (!closed) set_last_error("WAL close failed: " + closed.error().text);
    std::lock_guard<std::mutex> g(dir_lock_mu_);
    dir_lock_.release();
  }

  void background_flush() {
    std::lock_guard<std::mutex> g(wal_lock_);
    // A failure leaves the segment dirty, so the next period retries the sync.
    if (auto r = wal_.flush_if_dirty(); !r) set_last_error("fsync failed: " + r.error().text);
  }

  uint64_t wal_len() const {
    std::lock_guard<std::mutex> g(wal_lock_);
    return wal_.len();
  }

  PersistStats stats() const {
    uint64_t wal_bytes = wal_len();
    std::lock_guard<std::mutex> g(stats_lock_);
    PersistStats out = stats_;
    out.wal_bytes = wal_bytes;
    return out;
  }

  void set_last_error(std::string text) {
    std::lock_guard<std::mutex> g(stats_lock_);
    stats_.last_error = std::move(text);
  }

  void set_loaded_keys(uint64_t n) {
    std::lock_guard<std::mutex> g(stats_lock_);
    stats_.loaded_keys = n;
  }

  void add_thread(NamedThread t) {
    std::lock_guard<std::mutex> g(threads_lock_);
    threads_.push_back(std::move(t));
  }

 private:
  // Rotation, snapshot and deletion of covered segments, in that order: a segment is
  // deleted only once a synced snapshot that covers it is durably in place.
  IoResult<void> save_locked(Store& store, std::vector<std::shared_lock<RwLock>>& locks) {
    uint64_t seq;
    {
      std::lock_guard<std::mutex> g(wal_lock_);
      if (auto r = wal_.rotate(); !r) return r;
      seq = wal_.seq();
    }
    auto size = write_snapshot(store, dir_, seq, locks);
    if (!size) return io_err(size.take_error());
    locks.clear();
    auto segments = list_segments(dir_);
    if (!segments) return io_err(segments.take_error());
    for (const Segment& s : segments.value()) {
      if (s.n >= seq) continue;
      auto r = remove_file(join_path(dir_, s.name));
      if (!r && r.error().kind != IoErrorKind::NotFound) return r;
    }
    const uint64_t now = store.now_ms();
    {
      std::lock_guard<std::mutex> g(stats_lock_);
      stats_.last_save_ms = now;
      stats_.snapshot_bytes = size.value();
    }
    std::lock_guard<std::mutex> g(stats_lock_);
    stats_.last_error.reset();
    return {};
  }

  const std::string dir_;  // as the caller gave it; every path is this joined with a name
  std::mutex save_lock_;   // serialises saves

  mutable std::mutex wal_lock_;
  WalWriter wal_;  // guarded by wal_lock_

  mutable std::mutex stats_lock_;
  PersistStats stats_;  // guarded by stats_lock_; wal_bytes is read from wal_ instead

  std::mutex threads_lock_;
  std::vector<NamedThread> threads_;  // guarded by threads_lock_

  std::mutex dir_lock_mu_;
  DirLock dir_lock_;  // guarded by dir_lock_mu_
};

Persistence* persistence_of(const Store& store) { return dynamic_cast<Persistence*>(store.persistence()); }

// Sleeps `period_ms` in 10 ms steps counted rather than timed; false as soon as the store
// is gone or closed, so close never waits more than one step for the thread.
bool wait_period(const std::weak_ptr<Store>& weak, uint64_t period_ms) {
  for (uint64_t waited = 0; waited < period_ms; waited += kSleepStepMs) {
    sleep_ms(kSleepStepMs);
    auto s = weak.lock();
    if (!s || s->closed()) return false;
  }
  return true;
}

// Records "{what} failed: {reason}" for the exception being handled, when memory allows.
void record_exception(Persistence& p, std::string_view what) noexcept {
  try {
    std::string reason;
    try {
      throw;
    } catch (const std::bad_alloc&) {
      reason = "out of memory";
    } catch (const std::exception& e) {
      reason = e.what();
    } catch (...) {
      reason = "unexpected exception";
    }
    p.set_last_error(std::string(what) + " failed: " + reason);
  } catch (...) {
  }
}

// One period of a background thread: an exception ends the period, not the thread. It is
// recorded as "{what} failed: ..." and the next period runs as usual.
template <class Fn>
void run_period(Persistence& p, std::string_view what, Fn&& fn) noexcept {
  try {
    fn();
  } catch (...) {
    record_exception(p, what);
  }
}

void fsync_loop(const std::weak_ptr<Store>& weak) {
  while (wait_period(weak, kFsyncPeriodMs)) {
    auto s = weak.lock();
    if (!s) return;
    if (Persistence* p = persistence_of(*s)) {
      run_period(*p, "fsync", [p] {
        thread_fault_point("fsync");
        p->background_flush();
      });
    }
  }
}

void snapshot_loop(const std::weak_ptr<Store>& weak, uint64_t period_ms) {
  while (wait_period(weak, period_ms)) {
    auto s = weak.lock();
    if (!s) return;
    Persistence* p = persistence_of(*s);
    // An empty segment means nothing changed since the last save. A failed save has
    // already recorded its error.
    if (p != nullptr && p->wal_len() != 0) run_period(*p, "save", [&s] { (void)persist::save(*s); });
  }
}

}  // namespace

IoResult<void> save(Store& store) {
  Persistence* p = persistence_of(store);
  if (p == nullptr) return io_err(IoError::invalid_input("persistence is not enabled for this store"));
  // Saves run on the snapshot and background-save threads, where an exception would end
  // the process: one is recorded like any failed save and returned as an error.
  try {
    thread_fault_point("save");
    return p->save(store);
  } catch (const std::bad_alloc&) {
    record_exception(*p, "save");
    return io_err(IoError::from_errno(ENOMEM));
  } catch (const std::exception& e) {
    record_exception(*p, "save");
    return io_err(IoError::make(IoErrorKind::Other, e.what()));
  }
}

void close(Store& store) {
  if (store.mark_closed()) return;
  if (Persistence* p = persistence_of(store)) p->close(store);
}

std::optional<PersistStats> read_persist_stats(const Store& store) {
  const Persistence* p = persistence_of(store);
  if (p == nullptr) return std::nullopt;
  return p->stats();
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
      store.flush();
      break;
  }
}

IoResult<std::shared_ptr<Store>> open_store(const StoreConfig& config, std::shared_ptr<const Clock> clock) {
  if (!config.persist_dir) return Store::create(config, std::move(clock));
  const std::string& dir = *config.persist_dir;

  if (auto r = create_dir_all(dir); !r) return io_err(r.take_error());
  auto canonical = canonical_dir(dir);
  if (!canonical) return io_err(canonical.take_error());
  auto lock = acquire_dir_lock(dir, canonical.value());
  if (!lock) return io_err(lock.take_error());
  // From here on, returning an error releases the lock through DirLock's destructor.
  DirLock dir_lock = std::move(lock.value());

  auto store = Store::create_for_persistence(config, std::move(clock));
  (void)remove_file(join_path(dir, kSnapshotTmpFile));

  // Loading rebuilds the logged history as it happened, so nothing may consult the clock
  // (a key that expired later was still live when the records after it were written).
  store->set_replaying(true);
  auto snap = load_snapshot(dir, *store);
  if (!snap) return io_err(snap.take_error());
  auto segments = list_segments(dir);
  if (!segments) return io_err(segments.take_error());
  std::optional<std::string> torn;
  std::optional<Segment> newest;
  for (const Segment& s : segments.value()) {
    if (s.n < snap.value().wal_seq) {
      auto r = remove_file(join_path(dir, s.name));
      if (!r && r.error().kind != IoErrorKind::NotFound) return io_err(r.take_error());
      continue;
    }
    auto r = replay_segment(dir, s, [&store](const DecodedWalRecord& rec) { apply_wal_record(*store, rec); });
    if (!r) return io_err(r.take_error());
    if (r.value()) torn = std::move(r.value());
    newest = s;
  }
  store->set_replaying(false);
  // A stale LOCK taken over is reported the way a repaired tail is: in last_error.
  if (auto w = dir_lock.take_warning()) torn = torn ? *w + "; " + *torn : std::move(*w);

  // The newest replayed segment stays current under the name it was listed with.
  Segment current = newest ? *newest : Segment{snap.value().wal_seq, segment_name(snap.value().wal_seq)};
  auto file = File::open(join_path(dir, current.name), OpenMode::Append);
  if (!file) return io_err(file.take_error());
  if (!newest) {
    // The segment may have just been created; its entry must survive a crash.
    if (auto r = sync_dir(dir); !r) return io_err(r.take_error());
  }
  auto wal_len = file.value().size();
  if (!wal_len) return io_err(wal_len.take_error());

  if (store.use_count() != 1) return io_err(IoError::make(IoErrorKind::Other, "store is not shared yet"));
  auto owned = std::make_unique<Persistence>(
      dir, WalWriter(dir, std::move(current), std::move(file.value()), wal_len.value(), config.fsync),
      std::move(dir_lock), std::move(torn), snap.value().size);
  Persistence* p = owned.get();
  store->attach_persistence(std::move(owned));

  store->purge_expired();
  p->set_loaded_keys(store->key_count());

  if (config.sweep_interval_ms != 0) store->start_sweeper();
  std::weak_ptr<Store> weak = store;
  if (config.fsync == FsyncPolicy::EverySec) {
    auto t = NamedThread::spawn("vellum-fsync", [weak] { fsync_loop(weak); });
    if (!t) return io_err(t.take_error());
    p->add_thread(std::move(t.value()));
  }
  if (config.snapshot_interval != 0) {
    const uint64_t period = config.snapshot_interval > ~uint64_t{0} / 1000 ? ~uint64_t{0}
                                                                           : config.snapshot_interval * 1000;
    auto t = NamedThread::spawn("vellum-snapshot", [weak, period] { snapshot_loop(weak, period); });
    if (!t) return io_err(t.take_error());
    p->add_thread(std::move(t.value()));
  }
  return store;
}

}  // namespace persist

}  // namespace vellum
