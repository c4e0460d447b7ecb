#include "persist/data_dir.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <vector>

#include "persist/dir_lock.h"
#include "persist/load.h"
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
// A broken log is mended by a save tried this long after the break, then at doubling
// intervals up to the cap, so a full disk costs at most one failed save per period.
constexpr uint64_t kMendFirstMs = 1000;
constexpr uint64_t kMendMaxMs = 32000;

constexpr std::string_view kRefusedSuffix = "; writes are refused until a save succeeds";
constexpr std::string_view kSuspendedSuffix = "; logging is suspended until a save succeeds";

// Wakes the mending thread when the log breaks and ends it when the store closes. Shared
// with that thread, so it outlives a Persistence dropped without close. Its mutex is a
// leaf: taken alone or after wal_lock_, and nothing is taken under it.
struct MendSignal {
  std::mutex mu;
  std::condition_variable cv;
  bool broken = false;  // guarded by mu
  bool stop = false;    // guarded by mu

  void set_broken(bool on) {
    {
      std::lock_guard<std::mutex> g(mu);
      broken = on;
    }
    if (on) cv.notify_all();
  }
  void end() {
    {
      std::lock_guard<std::mutex> g(mu);
      stop = true;
    }
    cv.notify_all();
  }
};

// The persistence record of a Store opened on a data directory: the current log segment,
// the statistics, the background threads and the directory lock. Shared by every thread
// that uses the store; each field names the mutex that guards it. Lock order:
// save_lock_ -> (shard locks) -> wal_lock_ -> stats_lock_; threads_lock_ and
// dir_lock_mu_ are taken alone.
//
// The log is broken after any failed append or sync of a segment. From then on no record
// is appended to any segment until a save has captured the whole state in a snapshot, so
// the log never holds a record after a gap: replay after a crash yields the state at one
// moment of the history. While it is broken, mutations are refused under `always` (none
// is acknowledged that is not on disk) and go on unlogged under the deferred policies.
class Persistence final : public PersistHook {
 public:
  Persistence(std::string dir, WalWriter wal, DirLock dir_lock, std::optional<std::string> last_error,
              uint64_t snapshot_bytes)
      : dir_(std::move(dir)),
        policy_(wal.policy()),
        wal_(std::move(wal)),
        mend_signal_(std::make_shared<MendSignal>()),
        dir_lock_(std::move(dir_lock)) {
    stats_.last_error = std::move(last_error);
    stats_.snapshot_bytes = snapshot_bytes;
  }

  // Dropping a store without close: the segment handle is closed without a sync, no
  // snapshot is written and the lock is released. The threads are detached rather than
  // joined because this destructor may run on one of them (when it held the last strong
  // reference); they reach the store only through weak references and end on their own.
  ~Persistence() override {
    mend_signal_->end();
    std::lock_guard<std::mutex> g(threads_lock_);
    for (NamedThread& t : threads_) t.detach();
  }

  bool wal_append(const WalRecord& record) noexcept override {
    std::lock_guard<std::mutex> g(wal_lock_);
    // After close the store lives on in memory only.
    if (!wal_.is_open()) return true;
    if (!broken_) {
      IoResult<void> r;
      try {
        r = wal_.append(record);
      } catch (const std::bad_alloc&) {
        // Encoding the record, or the text of an error, found no memory; whatever part
        // of the record reached the file is cut back out.
        wal_.abandon_append();
        break_locked("WAL append failed: ", "out of memory");
        return policy_ != FsyncPolicy::Always;
      }
      if (r) return true;
      break_locked("WAL append failed: ", r.error().text);
    }
    return policy_ != FsyncPolicy::Always;
  }

  bool encode_payload(const WalRecord& record, Bytes& out) const override {
    encode_wal_payload(record, out);
    return true;
  }

  std::string refusal_text() const override {
    std::lock_guard<std::mutex> g(wal_lock_);
    return "persistence failed: " + (cause_.empty() ? std::string("the log could not be written") : cause_) +
           std::string(kRefusedSuffix);
  }

  // Writes a snapshot of the whole state. When the log is broken, or breaks during the
  // save, the save is one that mends it (see mend_locked).
  IoResult<void> save(Store& store) {
    std::lock_guard<std::mutex> save_guard(save_lock_);
    // Only a save clears broken_, and saves are serialised, so a log seen whole here can
    // only break from now on, which the second test catches.
    IoResult<void> r = is_broken() ? mend_locked(store) : save_locked(store);
    if (r && is_broken()) r = mend_locked(store);
    if (!r) {
      // The partial snapshot would only hold space that the log may need.
      (void)remove_file(join_path(dir_, kSnapshotTmpFile));
      set_last_error("save failed: " + r.error().text + std::string(broken_suffix()));
      return r;
    }
    return {};
  }

  // Stops the threads, writes the final snapshot, closes the log and releases the
  // directory. Everything is released whatever fails. The result is an error only when
  // the final save failed and the log does not hold every acknowledged mutation either.
  IoResult<void> close(Store& store) {
    mend_signal_->end();
    std::vector<NamedThread> threads;
    {
      std::lock_guard<std::mutex> g(threads_lock_);
      threads.swap(threads_);
    }
    for (NamedThread& t : threads) t.join();
    auto saved = save(store);
    if (!saved) set_last_error("final save failed: " + saved.error().text);
    IoResult<void> closed;
    bool unlogged = false;
    std::string cause;
    {
      std::lock_guard<std::mutex> g(wal_lock_);
      // Under `always` a broken log refused every mutation it did not take, so it still
      // holds every acknowledged one; under the deferred policies it does not.
      unlogged = broken_ && policy_ != FsyncPolicy::Always;
      cause = cause_;
      closed = wal_.close();
      // From here on the store lives in memory only, where nothing is refused.
      refusing_.store(false, std::memory_order_release);
    }
    if (!closed) set_last_error("WAL close failed: " + closed.error().text);
    {
      std::lock_guard<std::mutex> g(dir_lock_mu_);
      dir_lock_.release();
    }
    if (saved || (!unlogged && closed)) return {};
    std::string text = "final save failed: " + saved.error().text;
    if (unlogged) {
      text += "; the writes made since the log stopped (" + cause + ") are lost";
    } else {
      text += "; the log may not hold every write: WAL close failed: " + closed.error().text;
    }
    return io_err(IoError::make(IoErrorKind::Other, std::move(text)));
  }

  void background_flush() {
    std::lock_guard<std::mutex> g(wal_lock_);
    // A broken segment is superseded by the save that mends the log.
    if (broken_) return;
    if (auto r = wal_.flush_if_dirty(); !r) break_locked("fsync failed: ", r.error().text);
  }

  // The mending thread's attempt: true when the log is whole afterwards.
  bool try_mend(Store& store) {
    if (!is_broken()) return true;
    try {
      (void)save(store);
    } catch (const std::exception&) {
      return false;  // an allocation failure mid-save: the next period tries again
    }
    return !is_broken();
  }

  bool is_broken() const {
    std::lock_guard<std::mutex> g(wal_lock_);
    return broken_;
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

  // The time of the snapshot the store was loaded from: the last save, until the next.
  void set_loaded_snapshot_ms(uint64_t ms) {
    std::lock_guard<std::mutex> g(stats_lock_);
    stats_.last_save_ms = ms;
  }

  void set_loaded_keys(uint64_t n) {
    std::lock_guard<std::mutex> g(stats_lock_);
    stats_.loaded_keys = n;
  }

  void add_thread(NamedThread t) {
    std::lock_guard<std::mutex> g(threads_lock_);
    threads_.push_back(std::move(t));
  }

  const std::shared_ptr<MendSignal>& mend_signal() const { return mend_signal_; }

 private:
  // What a broken log means for writes, appended to the texts recorded while it lasts.
  std::string_view broken_suffix() const {
    if (!is_broken()) return {};
    return policy_ == FsyncPolicy::Always ? kRefusedSuffix : kSuspendedSuffix;
  }

  // Marks the log broken and wakes the mending thread. Never throws: without memory the
  // texts stay as they were, and the state change alone keeps the log whole.
  // REQUIRES: wal_lock_ held.
  void break_locked(std::string_view what, std::string_view detail) noexcept {
    broken_ = true;
    if (policy_ == FsyncPolicy::Always) refusing_.store(true, std::memory_order_release);
    try {
      std::string cause(what);
      cause.append(detail);
      std::string text(cause);
      text.append(policy_ == FsyncPolicy::Always ? kRefusedSuffix : kSuspendedSuffix);
      set_last_error(std::move(text));
      cause_ = std::move(cause);
      mend_signal_->set_broken(true);
    } catch (const std::exception&) {
      // The mending thread is not woken either; the next save mends the log.
    }
  }

  // Rotation, snapshot and deletion of covered segments, in that order: a segment is
  // deleted only once a synced snapshot that covers it is durably in place. Writers to a
  // shard go on, logging to the new segment, as soon as the snapshot holds that shard.
  IoResult<void> save_locked(Store& store) {
    std::vector<std::shared_lock<RwLock>> locks = lock_shards(store);
    uint64_t seq;
    {
      std::lock_guard<std::mutex> g(wal_lock_);
      if (auto r = wal_.sync(); !r) {
        // The records since the last good sync may be lost on disk; appending after them
        // could leave a gap.
        if (wal_.is_open()) break_locked("fsync failed: ", r.error().text);
        return r;
      }
      if (auto r = wal_.rotate(); !r) return r;
      seq = wal_.seq();
    }
    auto size = write_snapshot(store, dir_, seq, locks);
    if (!size) return io_err(size.take_error());
    locks.clear();
    return finish_save(store, seq, size.value());
  }

  // A save that mends a broken log. The new segment must not take a record the snapshot
  // might miss, or a crash before the snapshot is in place would replay it after the gap
  // the break left. Under `always` mutations stay refused until the snapshot is in place,
  // so shards are released as they are written; under the deferred policies mutations go
  // on, so every shard stays read-locked until the log is whole again.
  IoResult<void> mend_locked(Store& store) {
    std::vector<std::shared_lock<RwLock>> locks = lock_shards(store);
    uint64_t seq;
    {
      std::lock_guard<std::mutex> g(wal_lock_);
      // Best effort: the snapshot about to be written supersedes the broken segment, and
      // until it is in place replay stops at the break whatever this sync achieves.
      (void)wal_.retry_cut();
      (void)wal_.sync();
      if (auto r = wal_.rotate(); !r) return r;
      seq = wal_.seq();
    }
    std::vector<std::shared_lock<RwLock>> none;
    auto size = write_snapshot(store, dir_, seq, policy_ == FsyncPolicy::Always ? locks : none);
    if (!size) return io_err(size.take_error());
    {
      std::lock_guard<std::mutex> g(wal_lock_);
      broken_ = false;
      // The refusal's text goes before the refusal does, so a write that succeeds from
      // here on never finds last_error still saying writes are refused.
      {
        std::lock_guard<std::mutex> st(stats_lock_);
        stats_.last_error.reset();
      }
      refusing_.store(false, std::memory_order_release);
      mend_signal_->set_broken(false);
    }
    locks.clear();
    return finish_save(store, seq, size.value());
  }

  std::vector<std::shared_lock<RwLock>> lock_shards(Store& store) {
    std::vector<std::shared_lock<RwLock>> locks;
    locks.reserve(store.shard_count());
    for (size_t i = 0; i < store.shard_count(); ++i) locks.emplace_back(store.shard(i).lock);
    return locks;
  }

  IoResult<void> finish_save(Store& store, uint64_t seq, uint64_t snapshot_bytes) {
    auto segments = list_segments(dir_);
    if (!segments) return io_err(segments.take_error());
    for (const Segment& s : segments.value()) {
      if (s.n >= seq) continue;
      auto r = remove_file(join_path(dir_, s.name));
      if (!r && r.error().kind != IoErrorKind::NotFound) return r;
    }
    const uint64_t now = store.now_ms();
    // Both locks, so a break cannot record its error between the test and the reset.
    std::lock_guard<std::mutex> w(wal_lock_);
    std::lock_guard<std::mutex> g(stats_lock_);
    stats_.last_save_ms = now;
    stats_.snapshot_bytes = snapshot_bytes;
    // A log that broke during this save keeps its error until a save mends it.
    if (!broken_) stats_.last_error.reset();
    return {};
  }

  const std::string dir_;  // as the caller gave it; every path is this joined with a name
  const FsyncPolicy policy_;
  std::mutex save_lock_;   // serialises saves

  mutable std::mutex wal_lock_;
  WalWriter wal_;       // guarded by wal_lock_
  bool broken_ = false;  // guarded by wal_lock_; refusing_ follows it under `always`
  std::string cause_;    // guarded by wal_lock_: what broke the log last

  mutable std::mutex stats_lock_;
  PersistStats stats_;  // guarded by stats_lock_; wal_bytes is read from wal_ instead

  std::shared_ptr<MendSignal> mend_signal_;

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

// Waits for the log to break, then tries a save that mends it after kMendFirstMs, and
// again at doubling intervals while it fails, until the log is whole or the store closes.
void mend_loop(const std::weak_ptr<Store>& weak, const std::shared_ptr<MendSignal>& signal) {
  uint64_t delay = kMendFirstMs;
  std::unique_lock<std::mutex> lk(signal->mu);
  for (;;) {
    signal->cv.wait(lk, [&] { return signal->stop || signal->broken; });
    if (signal->stop) return;
    if (signal->cv.wait_for(lk, std::chrono::milliseconds(delay), [&] { return signal->stop; })) return;
    if (!signal->broken) continue;  // another save mended it meanwhile
    lk.unlock();
    bool mended = false;
    {
      auto s = weak.lock();
      if (!s || s->closed()) return;
      Persistence* p = persistence_of(*s);
      if (p == nullptr) return;
      mended = p->try_mend(*s);
    }
    lk.lock();
    delay = mended ? kMendFirstMs : std::min(delay * 2, kMendMaxMs);
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

IoResult<void> close(Store& store) {
  if (store.mark_closed()) return {};
  if (Persistence* p = persistence_of(store)) return p->close(store);
  return {};
}

std::optional<PersistStats> read_persist_stats(const Store& store) {
  const Persistence* p = persistence_of(store);
  if (p == nullptr) return std::nullopt;
  return p->stats();
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

  auto loaded = load_dir(dir, *store);
  if (!loaded) return io_err(loaded.take_error());
  std::optional<std::string> torn = std::move(loaded.value().repaired);
  const SnapshotInfo& snap = loaded.value().snapshot;
  const std::optional<Segment>& newest = loaded.value().newest;
  // A stale LOCK taken over is reported the way a repaired tail is: in last_error.
  if (auto w = dir_lock.take_warning()) torn = torn ? *w + "; " + *torn : std::move(*w);

  // The newest replayed segment stays current under the name it was listed with.
  Segment current = newest ? *newest : Segment{snap.wal_seq, segment_name(snap.wal_seq)};
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
      std::move(dir_lock), std::move(torn), snap.size);
  Persistence* p = owned.get();
  store->attach_persistence(std::move(owned));

  store->purge_expired();
  p->set_loaded_keys(store->key_count());
  if (snap.size != 0) {
    // The file's modification time is when its save completed; unknown, LASTSAVE stays 0.
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(join_path(dir, kSnapshotFile), ec);
    if (!ec) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::file_clock::to_sys(written).time_since_epoch());
      if (ms.count() > 0) p->set_loaded_snapshot_ms(static_cast<uint64_t>(ms.count()));
    }
  }

  if (config.sweep_interval_ms != 0) store->start_sweeper();
  std::weak_ptr<Store> weak = store;
  {
    auto t = NamedThread::spawn("vellum-mend", [weak, signal = p->mend_signal()] { mend_loop(weak, signal); });
    if (!t) return io_err(t.take_error());
    p->add_thread(std::move(t.value()));
  }
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
