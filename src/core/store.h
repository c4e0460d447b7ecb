#pragma once
// Store: the in-memory key space, a fixed array of shards, each a reader-writer lock
// around one hash table of entries. Every operation is thread-safe and reports its errors
// as StoreError values. An allocation failure propagates as std::bad_alloc: the Python
// entry points catch it; on the server's connection threads and the sweeper nothing does,
// so it ends the process.
//
// Key mapping: a key's 64-bit hash (key_hash) selects shard (hash >> 32) & shard_mask;
// the low half addresses the slot inside that shard's table.
//
// Lock order, the only order in which locks are ever nested:
//   persistence save_lock -> shard locks (several only in ascending index) -> wal_lock
//   -> stats_lock.
// Single-key operations hold one shard lock at a time: shared for reads, exclusive for
// writes. `flush` takes every shard exclusively in ascending order.
//
// Accounting invariant: used_memory() equals the sum of all entry charges plus the sum of
// every shard's table_charge, maintained incrementally by atomic add/subtract.
//
// Ownership: a Store is always held by std::shared_ptr (Cache, Server, server threads);
// the sweeper and persistence threads hold std::weak_ptr and end when it is gone or
// `closed` is set.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/glob.h"
#include "core/hash.h"
#include "core/store_error.h"
#include "core/table.h"
#include "core/value.h"
#include "core/wal_record.h"
#include "platform/rwlock.h"

namespace vellum {

enum class EvictionPolicy : uint8_t { NoEviction = 0, AllKeysLru = 1, VolatileLru = 2 };
enum class FsyncPolicy : uint8_t { Always = 0, EverySec = 1, Never = 2 };

struct StoreConfig {
  uint64_t max_memory = 0;  // 0 = no ceiling
  EvictionPolicy policy = EvictionPolicy::NoEviction;
  uint64_t shards = 64;     // rounded up to a power of two
  std::optional<std::string> persist_dir;
  FsyncPolicy fsync = FsyncPolicy::EverySec;
  uint64_t snapshot_interval = 300;  // seconds, 0 = no periodic snapshot
  uint64_t sweep_interval_ms = 100;  // 0 = no sweeper
};

struct ExistsCharge {
  bool live = false;
  uint64_t charge = 0;
};

// Counters of cache behaviour, summed over shards on read.
struct StoreCounters {
  uint64_t hits = 0;
  uint64_t misses = 0;
  uint64_t evictions = 0;
  uint64_t expired = 0;
};

struct alignas(64) Shard {
  mutable RwLock lock;
  ShardTable table;                       // guarded by lock
  std::atomic<uint64_t> table_charge{0};  // the charge this shard last contributed
  std::atomic<uint64_t> hits{0}, misses{0}, evictions{0}, expired{0};
  // Hits and misses of serialized non-waiting reads (Store::Counting::Serialized),
  // written with plain stores; counters() adds them in.
  std::atomic<uint64_t> serial_hits{0}, serial_misses{0};
};

class Store : public std::enable_shared_from_this<Store> {
  struct Passkey {};

 public:
  Store(Passkey, const StoreConfig& config, std::shared_ptr<const Clock> clock);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Builds an in-memory store and, unless `start_sweeper` is false, starts its sweeper.
  // REQUIRES: !config.persist_dir (a persistent store is opened by the persistence
  // layer, which loads it and attaches its log hook).
  static std::shared_ptr<Store> create(const StoreConfig& config,
                                       std::shared_ptr<const Clock> clock = nullptr,
                                       bool start_sweeper = true);

  // ---- strings and keys ----
  StoreResult<std::optional<Bytes>> get(BytesView key);
  // As get, copying a found value into `out` (reusing its capacity); true when found.
  // `version`, when given, receives the entry's version (Entry::version) read together
  // with the value.
  StoreResult<bool> get_into(BytesView key, Bytes& out, uint64_t* version = nullptr);
  // Whether `key` holds a live string whose version is `version`; a match counts as a
  // hit (and an access, for eviction), a mismatch counts nothing.
  bool check_version(BytesView key, uint64_t version);

  // The outcome of a read that never waits.
  enum class TryRead : uint8_t {
    Hit,       // `fn` took the value
    Miss,      // no entry under the key
    WrongType, // the key holds a collection
    Busy,      // the shard lock was not free at once, or the entry has expired (its
               // removal needs the exclusive lock): repeat with the waiting read
    Declined,  // `fn` returned false
  };
  // How a non-waiting read counts its hit or miss: with an atomic update (any caller),
  // or with a plain store, for callers that a lock of their own serializes with one
  // another (the Python glue, under the interpreter lock), saving an atomic update a call.
  enum class Counting : uint8_t { Atomic, Serialized };
  // A get that never waits for the shard lock: under a shared lock taken only if it is
  // free at once, calls fn(value, version) on the live string under `key`. Counts a hit
  // when `fn` takes the value and a miss (when `count_miss`) for an absent key; Busy and
  // Declined count nothing. `fn` runs under the shard lock: it must be short and must
  // not call back into the store.
  template <class Fn>
  TryRead try_read_string(BytesView key, Counting counting, bool count_miss, Fn&& fn);
  StoreResult<bool> set(BytesView key, BytesView value, std::optional<uint64_t> ttl_ms, bool nx, bool xx);
  std::vector<std::optional<Bytes>> mget(std::span<const Bytes> keys);
  StoreResult<void> mset(std::span<const std::pair<Bytes, Bytes>> pairs);
  StoreResult<int64_t> incr_by(BytesView key, int64_t delta);
  StoreResult<uint64_t> append(BytesView key, BytesView value);
  uint64_t del(std::span<const Bytes> keys);
  bool exists(BytesView key) const;
  ExistsCharge exists_with_charge(BytesView key) const;
  std::vector<Bytes> keys(BytesView pattern) const;
  void flush();
  uint64_t used_memory() const { return used_memory_.load(std::memory_order_relaxed); }
  uint64_t key_count() const;
  StoreResult<void> restore_string(BytesView key, BytesView value, uint64_t expires_at_ms);

  // ---- expiry ----
  int64_t pttl(BytesView key) const;
  int64_t ttl(BytesView key) const;
  bool pexpire(BytesView key, uint64_t milliseconds);
  bool persist(BytesView key);
  // Sets an absolute expiry (0 removes it) on a present key; used by log replay.
  bool expire_at(BytesView key, uint64_t expires_at_ms);
  // Removes every expired entry through the normal removal path; returns the count.
  uint64_t purge_expired();

  // ---- hashes ----
  StoreResult<bool> hset(BytesView key, BytesView field, BytesView value);
  StoreResult<std::optional<Bytes>> hget(BytesView key, BytesView field);
  StoreResult<uint64_t> hdel(BytesView key, std::span<const Bytes> fields);
  StoreResult<std::vector<std::pair<Bytes, Bytes>>> hgetall(BytesView key);
  StoreResult<uint64_t> hlen(BytesView key);

  // ---- lists ----
  StoreResult<uint64_t> lpush(BytesView key, std::span<const Bytes> values);
  StoreResult<uint64_t> rpush(BytesView key, std::span<const Bytes> values);
  StoreResult<std::optional<Bytes>> lpop(BytesView key);
  StoreResult<std::optional<Bytes>> rpop(BytesView key);
  StoreResult<uint64_t> llen(BytesView key);
  StoreResult<std::vector<Bytes>> lrange(BytesView key, int64_t start, int64_t stop);

  // ---- sets ----
  StoreResult<uint64_t> sadd(BytesView key, std::span<const Bytes> members);
  StoreResult<uint64_t> srem(BytesView key, std::span<const Bytes> members);
  StoreResult<std::vector<Bytes>> smembers(BytesView key);
  StoreResult<bool> sismember(BytesView key, BytesView member);
  StoreResult<uint64_t> scard(BytesView key);

  // Inserts or replaces a collection with its charge; no admission, no expiry check,
  // nothing logged, no stamp. Used while loading.
  void restore_collection(std::unique_ptr<CollectionRecord> record, uint64_t expires_at_ms);

  // ---- configuration, lifecycle, statistics ----
  const StoreConfig& config() const { return config_; }
  uint64_t max_memory() const { return config_.max_memory; }
  uint64_t now_ms() const;
  const Clock& clock() const { return *clock_; }
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // Sets `closed`; returns whether it was already set.
  bool mark_closed() { return closed_.exchange(true, std::memory_order_acq_rel); }
  StoreCounters counters() const;

  // One SplitMix64 draw from the store's shared generator.
  uint64_t next_random();

  // ---- access for the persistence layer ----
  // An empty store for `config` (persist_dir allowed), with no sweeper and no hook yet:
  // the persistence layer loads it, attaches itself and starts the threads.
  static std::shared_ptr<Store> create_for_persistence(const StoreConfig& config,
                                                       std::shared_ptr<const Clock> clock);
  size_t shard_count() const { return shards_.size(); }
  Shard& shard(size_t i) { return shards_[i]; }
  const Shard& shard(size_t i) const { return shards_[i]; }
  // Attaches the persistence record. REQUIRES: no other thread uses the store yet.
  void attach_persistence(std::unique_ptr<PersistHook> hook) { persist_ = std::move(hook); }
  PersistHook* persistence() const { return persist_.get(); }
  // While replaying, every present entry counts as live whatever its expiry and no
  // admission check runs, so the log rebuilds exactly the logged history.
  void set_replaying(bool on) { replaying_ = on; }
  void start_sweeper();
  // Sum of all entry charges plus table charges, computed by a full scan (for tests and
  // audits; used_memory() must always equal it when the store is quiescent).
  uint64_t audit_charge_sum() const;
  // Number of collection entries holding no element (must be 0 after every operation).
  uint64_t audit_empty_collections() const;

  // One sweeper pass over every shard at time `now` (exposed for tests).
  void sweep_pass(uint64_t now);
  // Evicts one approximately least-recently-used key; false when nothing qualified.
  bool evict_one(bool volatile_only);

 private:
  // The operation's "now": read from the clock at most once, and only when an entry with
  // an expiry or a relative expiry needs it, so calls on keys without expiry skip the
  // clock entirely.
  class Now {
   public:
    explicit Now(const Store& s) : store_(s) {}
    uint64_t get() {
      if (!have_) {
        value_ = store_.now_ms();
        have_ = true;
      }
      return value_;
    }
    bool live(const Entry& e) { return e.expires_at_ms == 0 || e.expires_at_ms > get(); }

   private:
    const Store& store_;
    uint64_t value_ = 0;
    bool have_ = false;
  };


  Shard& shard_for(uint64_t hash) { return shards_[(hash >> 32) & shard_mask_]; }
  const Shard& shard_for(uint64_t hash) const { return shards_[(hash >> 32) & shard_mask_]; }
  uint64_t hash_key(BytesView key) const { return key_hash(key); }
  uint32_t next_stamp();
  // After a write: a new version, and the access stamp when eviction needs stamps.
  // REQUIRES: the shard lock held exclusively.
  void stamp(Entry& e);
  // After a read: the access stamp when eviction needs stamps (any lock mode).
  void touch(Entry& e) {
    if (config_.max_memory != 0) e.set_stamp(next_stamp());
  }
  StoreResult<void> admit(uint64_t estimate);
  uint64_t estimate_growth(BytesView key, uint64_t hash) const;
  void log(const WalRecord& r);
  void update_table_charge(Shard& s);
  void charge_add(uint64_t n) { used_memory_.fetch_add(n, std::memory_order_relaxed); }
  void charge_sub(uint64_t n) { used_memory_.fetch_sub(n, std::memory_order_relaxed); }
  // One atomic update for a charge that went from `before` to `after` (none when equal).
  void charge_change(uint64_t before, uint64_t after) {
    if (after > before) {
      charge_add(after - before);
    } else if (before > after) {
      charge_sub(before - after);
    }
  }
  // REQUIRES: s.lock held exclusively.
  bool expire_if_due(Shard& s, BytesView key, uint64_t hash, Now& now);
  bool remove_entry(Shard& s, BytesView key, uint64_t hash);
  // The position of `key` for a write at `now`, removing it first when it has expired
  // (-1 when absent). REQUIRES: s.lock held exclusively.
  int64_t find_for_write(Shard& s, BytesView key, uint64_t hash, Now& now);
  Entry& replace_at(size_t pos, Entry&& e, Shard& s);
  bool set_expiry(BytesView key, uint64_t expires_at_ms, Now& now);
  Entry& insert_new(Shard& s, uint64_t hash, Entry&& e);
  // Inserts a new entry or replaces the existing one under its key, with accounting.
  // REQUIRES: s.lock held exclusively.
  Entry& put_entry(Shard& s, uint64_t hash, Entry&& e);
  // Lazy expiry for reads: the caller released its shared lock after seeing `key` expired.
  void expire_after_read(Shard& s, BytesView key, uint64_t hash, Now& now);

  struct Probe {
    bool live = false;
    uint64_t charge = 0;
    uint64_t growth = 0;
  };
  // One shared-lock look at `key`: liveness, its charge and the table growth estimate.
  Probe probe(BytesView key, uint64_t hash, Now& now) const;
  // The common read path of collections; `fn` runs on a live record of `kind` under the
  // shared lock and builds the result from copies.
  template <class R, class Fn>
  StoreResult<R> read_collection(BytesView key, ValueKind kind, Fn&& fn);
  // The common write path of adding operations: admission, create-if-missing, kind check.
  template <class Fn>
  StoreResult<uint64_t> add_to_collection(BytesView key, ValueKind kind, uint64_t estimate, Fn&& fn);
  // The common write path of removing operations.
  template <class R, class Fn>
  StoreResult<R> remove_from_collection(BytesView key, ValueKind kind, Fn&& fn);
  StoreResult<uint64_t> push(BytesView key, std::span<const Bytes> values, bool left);
  StoreResult<std::optional<Bytes>> pop(BytesView key, bool left);
  StoreResult<std::optional<Bytes>> read_string(BytesView key, bool collection_is_error);
  StoreResult<bool> read_string_into(BytesView key, bool collection_is_error, Bytes& out, uint64_t* version);

  StoreConfig config_;
  std::shared_ptr<const Clock> clock_;
  std::vector<Shard> shards_;
  uint64_t shard_mask_ = 0;
  std::atomic<uint64_t> used_memory_{0};
  std::atomic<uint64_t> rng_state_{0x853c49e6748fea9bULL};
  std::atomic<uint32_t> access_clock_{0};
  std::atomic<bool> closed_{false};
  bool replaying_ = false;
  std::unique_ptr<PersistHook> persist_;
};

template <class Fn>
Store::TryRead Store::try_read_string(BytesView key, Counting counting, bool count_miss, Fn&& fn) {
  auto count = [counting](std::atomic<uint64_t>& atomic, std::atomic<uint64_t>& serial) {
    if (counting == Counting::Atomic) {
      atomic.fetch_add(1, std::memory_order_relaxed);
    } else {
      serial.store(serial.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  };
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  if (!s.lock.try_lock_shared()) return TryRead::Busy;
  std::shared_lock<RwLock> lock(s.lock, std::adopt_lock);
  const int64_t pos = s.table.find(key, h);
  if (pos < 0) {
    if (count_miss) count(s.misses, s.serial_misses);
    return TryRead::Miss;
  }
  Entry& e = s.table.at(static_cast<size_t>(pos));
  Now now(*this);
  if (!now.live(e)) return TryRead::Busy;
  if (!e.is_string()) return TryRead::WrongType;
  if (!fn(e.value(), e.version())) return TryRead::Declined;
  touch(e);
  count(s.hits, s.serial_hits);
  return TryRead::Hit;
}

// Relative-to-absolute expiry: now + ms, saturating at 2^64 - 1; 0 is stored as 1.
inline uint64_t absolute_expiry(uint64_t now, uint64_t ms) {
  uint64_t at = now + ms;
  if (at < now) at = ~uint64_t{0};
  return at == 0 ? 1 : at;
}

}  // namespace vellum
