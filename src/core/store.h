#pragma once
// Store: the in-memory key space, a fixed array of shards, each a reader-writer lock
// around one hash table of entries. Every operation is thread-safe and reports its errors
// as StoreError values. An allocation failure propagates as std::bad_alloc to the caller:
// the Python entry points raise MemoryError, a server connection answers with an error and
// closes, and the sweeper skips to its next pass.
//
// Key mapping: a key's 64-bit hash (key_hash) selects shard (hash >> 32) & shard_mask;
// the low half addresses the slot inside that shard's table.
//
// Lock order, the only order in which locks are ever nested:
//   persistence save_lock -> shard locks (several only in ascending index) -> wal_lock
//   -> stats_lock. The persistence layer's mend signal is a leaf, taken after wal_lock.
// Single-key operations hold one shard lock at a time: shared for reads, exclusive for
// writes. `flush` takes every shard exclusively in ascending order.
//
// Accounting invariant: used_memory() equals the sum of all entry charges plus the sum of
// every shard's table_charge, maintained incrementally by atomic add/subtract.
//
// Persistence: every mutation of a persistent store is logged before it is applied (see
// PersistHook). A mutation the log refuses returns PersistenceFailed and changes nothing;
// a call over several keys (del, mset) stops at the refused key, and the keys before it
// stay changed, each logged. Removals of expired keys and evictions are applied even when
// the log refuses their record (remove_entry says why that keeps replay whole).
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
#include <unordered_set>
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

// A shard's reader-writer lock, aware of batches: while a thread runs a batch
// (Store::with_locked_shards) it holds the batch's shards exclusively, and the store's
// operations on that thread pass through those shards' lock calls without taking them
// again. Every other thread, and every shard outside the thread's batch, locks as usual;
// outside a batch the extra cost is one thread-local load. Each exclusive take outside a
// batch, and each write inside one, advances the shard's version, which WATCH compares.
class ShardLock : public RwLock {
 public:
  void lock() {
    if (!held_here()) RwLock::lock();
    mark_written();
  }
  void unlock() {
    if (!held_here()) RwLock::unlock();
  }
  void lock_shared() {
    if (!held_here()) RwLock::lock_shared();
  }
  void unlock_shared() {
    if (!held_here()) RwLock::unlock_shared();
  }
  // Exclusive take that leaves the version alone, for passes that mostly only look (the
  // sweeper): a WATCH must not fail because a pass found nothing to remove. Such a pass
  // calls mark_written() for each change it does make. Released with unlock().
  void lock_to_inspect() {
    if (!held_here()) RwLock::lock();
  }
  void mark_written() { version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
  // Advances on every exclusive take (but lock_to_inspect's) and on every marked write:
  // unchanged means nothing in the shard was written.
  uint64_t version() const { return version_.load(std::memory_order_acquire); }
  // True when the calling thread's batch holds this shard.
  bool held_here() const {
    const void* token = batch_token_;
    return token != nullptr && owner_.load(std::memory_order_relaxed) == token;
  }
  // Exclusive take and release for a batch, leaving the version alone.
  void lock_for_batch(const void* token) {
    RwLock::lock();
    owner_.store(token, std::memory_order_relaxed);
  }
  void unlock_for_batch() {
    owner_.store(nullptr, std::memory_order_relaxed);
    RwLock::unlock();
  }
  // The calling thread's running batch (nullptr: none).
  static const void* batch_token() { return batch_token_; }
  static void set_batch_token(const void* token) { batch_token_ = token; }

 private:
  static inline thread_local const void* batch_token_ = nullptr;
  std::atomic<const void*> owner_{nullptr};
  std::atomic<uint64_t> version_{0};
};

// What WATCH remembers of a key: its shard's version and whether the key was live.
struct WatchMark {
  size_t shard = 0;
  uint64_t version = 0;
  bool live = false;
};

struct alignas(64) Shard {
  mutable ShardLock lock;
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
  StoreResult<uint64_t> del(std::span<const Bytes> keys);
  bool exists(BytesView key) const;
  ExistsCharge exists_with_charge(BytesView key) const;
  std::vector<Bytes> keys(BytesView pattern) const;
  StoreResult<void> flush();
  uint64_t used_memory() const { return used_memory_.load(std::memory_order_relaxed); }
  uint64_t key_count() const;
  StoreResult<void> restore_string(BytesView key, BytesView value, uint64_t expires_at_ms);

  // ---- expiry ----
  int64_t pttl(BytesView key) const;
  int64_t ttl(BytesView key) const;
  StoreResult<bool> pexpire(BytesView key, uint64_t milliseconds);
  StoreResult<bool> persist(BytesView key);
  // Sets an absolute expiry (0 removes it) on a present key; used by log replay.
  StoreResult<bool> expire_at(BytesView key, uint64_t expires_at_ms);
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

  // ---- string and key commands beyond the basics (core/string_writes.cpp, core/keyspace.cpp) ----
  // How a write treats the key's expiry: drop it, set it `ms` from now, set it to the
  // absolute time `ms`, keep the present one, or (GETEX) remove it.
  enum class ExpiryMode : uint8_t { Clear, Relative, Absolute, Keep, Persist };
  struct Expiry {
    ExpiryMode mode = ExpiryMode::Clear;
    uint64_t ms = 0;
  };
  struct SetOutcome {
    bool written = false;
    std::optional<Bytes> old;  // the previous string value, filled only when asked for
  };
  // SET with every option. With `want_old` a present non-string value is WrongType and
  // nothing changes; the previous string comes back whether or not the write happened.
  StoreResult<SetOutcome> set_with(BytesView key, BytesView value, Expiry expiry, bool nx, bool xx, bool want_old);
  StoreResult<std::optional<Bytes>> getdel(BytesView key);
  // GET that also changes the expiry; ExpiryMode::Keep and Clear leave it alone.
  StoreResult<std::optional<Bytes>> getex(BytesView key, Expiry expiry);
  StoreResult<uint64_t> strlen(BytesView key);
  // Sets every pair only when none of the keys is present, under all their shard locks at
  // once (ascending), so no reader sees some of the pairs without the others.
  StoreResult<bool> msetnx(std::span<const std::pair<Bytes, Bytes>> pairs);
  // The new value as text, in the shortest fixed-point form of a long double.
  StoreResult<Bytes> incr_by_float(BytesView key, long double delta);

  // ---- key commands (core/keyspace.cpp) ----
  // "none", "string", "list", "hash" or "set".
  std::string_view type(BytesView key) const;
  // The number of live keys among `keys` (a repeated key counts each time); each counts
  // as just used for eviction.
  uint64_t touch(std::span<const Bytes> keys);
  enum class ExpireIf : uint8_t { Always, NoExpiry, HasExpiry, Later, Earlier, EarlierWithExpiry };
  // Sets the absolute expiry `at_ms` on a live key when `cond` holds (a key without
  // expiry counts as expiring never: Later fails on it, Earlier succeeds). A time not in
  // the future removes the key. False when the key is missing or `cond` fails.
  StoreResult<bool> expire_at_if(BytesView key, uint64_t at_ms, ExpireIf cond);
  // -2 for a missing key, -1 without expiry, else the absolute expiry in ms.
  int64_t expire_time_ms(BytesView key) const;
  // Moves the value and expiry of `from` to `to`, replacing what `to` held (with `nx`, only
  // when `to` is absent: false otherwise). NoSuchKey when `from` is missing. Both shard
  // locks are held across the move, and it is logged as one Rename record.
  StoreResult<bool> rename(BytesView from, BytesView to, bool nx);

  // SCAN. A cursor is (shard index << 32) | position, where position is a reverse-binary
  // cursor over the shard table's buckets (ShardTable::scan_step); 0 starts and ends a
  // full iteration. Every key present for the whole iteration is returned at least once
  // whatever the tables do between calls; a key may be returned twice. One call visits
  // about `count` entries, stopping earlier after 10 * count + 64 bucket steps, and holds
  // one shard's shared lock at a time. Expired keys, and keys failing `pattern` or `type`
  // ("string", "list", "hash", "set"; empty: any), are visited but not returned.
  struct ScanPage {
    uint64_t cursor = 0;
    std::vector<Bytes> keys;
  };
  ScanPage scan(uint64_t cursor, uint64_t count, std::optional<BytesView> pattern, std::string_view type) const;

  // HSCAN and SSCAN (core/element_scan.cpp). The elements of one hash or set are visited
  // in the order of their 64-bit element hash (the collection's own seeded hash, fixed
  // for the collection's life); the cursor is the lowest hash not yet visited, 0 starting
  // an iteration, and 0 comes back when the last hash has been visited. One call returns
  // the elements with the next max(count, kElementScanMinPage, size / kElementScanSlices)
  // smallest hashes at or above the cursor, and every other element sharing the highest
  // of those hashes, so equal hashes never split across calls; the collection is then
  // always finished in at most kElementScanSlices + 1 calls after it stops growing, and
  // a collection of up to kElementScanMinPage elements comes back whole in one. Every
  // element present for the whole iteration is returned at least once whatever is
  // written between calls (an element returned once is not returned again unless it was
  // removed and added back). Cost: one call hashes every element once and selects the
  // page in linear time, O(size) under the key's shared shard lock, plus copying the
  // page. Elements failing `pattern` are visited but not returned. `items` holds
  // members, or field then value per field (only fields with `no_values`). A missing
  // key gives cursor 0 and nothing; another kind, WrongType.
  static constexpr uint64_t kElementScanMinPage = 128;
  static constexpr uint64_t kElementScanSlices = 32;
  struct ElementPage {
    uint64_t cursor = 0;
    std::vector<Bytes> items;
  };
  StoreResult<ElementPage> hscan(BytesView key, uint64_t cursor, uint64_t count, std::optional<BytesView> pattern,
                                 bool no_values);
  StoreResult<ElementPage> sscan(BytesView key, uint64_t cursor, uint64_t count, std::optional<BytesView> pattern);

  // ---- sets: bulk membership, random choice, moves and algebra (core/sets.cpp) ----
  // Operations over several keys hold the shard locks of all of them, in ascending
  // index, for the whole call, so each is atomic against every other operation.
  enum class SetOp : uint8_t { Inter, Union, Diff };
  StoreResult<std::vector<bool>> smismember(BytesView key, std::span<const Bytes> members);
  // count >= 0: up to `count` distinct members; count < 0: -count members, repeats allowed.
  StoreResult<std::vector<Bytes>> srandmember(BytesView key, int64_t count);
  // Removes up to `count` distinct members chosen at random; logged as SRem of them.
  StoreResult<std::vector<Bytes>> spop(BytesView key, uint64_t count);
  // Moves `member` from `src` to `dst`; logged as SRem then SAdd. False: not in `src`.
  StoreResult<bool> smove(BytesView src, BytesView dst, BytesView member);
  StoreResult<std::vector<Bytes>> set_combine(SetOp op, std::span<const Bytes> keys);
  // Replaces `dst` with the result (removes it when empty); logged as Del then SAdd.
  StoreResult<uint64_t> set_combine_store(SetOp op, BytesView dst, std::span<const Bytes> keys);
  // The intersection's size, counting stopping at `limit` (0: no limit).
  StoreResult<uint64_t> sintercard(std::span<const Bytes> keys, uint64_t limit);

  // ---- hashes: bulk and per-field reads, conditional and arithmetic writes (core/hashes.cpp) ----
  // Field writes are logged as HSet of the field's new value.
  StoreResult<std::vector<std::optional<Bytes>>> hmget(BytesView key, std::span<const Bytes> fields);
  StoreResult<std::vector<Bytes>> hkeys(BytesView key);
  StoreResult<std::vector<Bytes>> hvals(BytesView key);
  StoreResult<bool> hexists(BytesView key, BytesView field);
  StoreResult<uint64_t> hstrlen(BytesView key, BytesView field);
  StoreResult<bool> hsetnx(BytesView key, BytesView field, BytesView value);
  StoreResult<int64_t> hincrby(BytesView key, BytesView field, int64_t delta);
  // The new value as text: the shortest form that reads back as the same double.
  StoreResult<Bytes> hincrbyfloat(BytesView key, BytesView field, double delta);

  // ---- lists: positional reads and counted pops (core/lists.cpp) ----
  // Negative indexes count from the tail; out of range is nullopt.
  StoreResult<std::optional<Bytes>> lindex(BytesView key, int64_t index);
  // Indexes of `element`: from the `rank`-th match (negative: counting from the tail), at
  // most `count` of them (0: all), looking at no more than `maxlen` items (0: all).
  // REQUIRES: rank != 0.
  StoreResult<std::vector<int64_t>> lpos(BytesView key, BytesView element, int64_t rank, uint64_t count,
                                         uint64_t maxlen);
  // Pops up to `count` items, each logged as its own LPop or RPop. When the log refuses
  // after some were popped, those are returned and the rest stay.
  StoreResult<std::vector<Bytes>> pop_count(BytesView key, uint64_t count, bool left);

  // ---- lists: writes in place and moves (core/lists.cpp) ----
  // Each is logged as one record of its own operation, replayed by running it again with
  // the same arguments; a call that changes nothing logs nothing. A list left empty is
  // removed in the same exclusive section.
  // Replaces the item at `index` (negative: from the tail). NoSuchKey for a missing key,
  // IndexOutOfRange past either end.
  StoreResult<void> lset(BytesView key, int64_t index, BytesView element);
  // Keeps the items from `start` to `stop` inclusive (the indexes as lrange reads them).
  StoreResult<void> ltrim(BytesView key, int64_t start, int64_t stop);
  // Removes items equal to `element`: the first `count` from the head (count > 0), the
  // last -count from the tail (count < 0), or all (0). The number removed.
  StoreResult<uint64_t> lrem(BytesView key, int64_t count, BytesView element);
  // Inserts `element` before or after the first item equal to `pivot`: the new length,
  // -1 when no item equals `pivot`, 0 when the key is missing.
  StoreResult<int64_t> linsert(BytesView key, bool after, BytesView pivot, BytesView element);
  // Pops an item from one end of `src` and pushes it onto one end of `dst` (created when
  // missing), holding both shard locks in ascending index; `src` == `dst` rotates. The
  // item, or nullopt when `src` is missing. WrongType when either key holds another kind,
  // checked before anything moves. Logged as one LMove record.
  StoreResult<std::optional<Bytes>> lmove(BytesView src, BytesView dst, bool from_left, bool to_left);

  // Inserts or replaces a collection with its charge; no admission, no expiry check,
  // nothing logged, no stamp. Used while loading.
  void restore_collection(std::unique_ptr<CollectionRecord> record, uint64_t expires_at_ms);

  // ---- batches (transactions) ----
  // The index of the shard that holds `key`.
  size_t shard_index(BytesView key) const { return (hash_key(key) >> 32) & shard_mask_; }
  // Runs `fn` holding the shards `shards` (ascending, no repeats) exclusively, taken in
  // ascending order before it starts and released after the batch is logged. Store calls
  // made by `fn` on this thread pass through those shards' locks; they must name no key
  // outside them (a keyspace-wide call needs every shard). No other thread observes a
  // part of the batch. The memory ceiling still applies: admission evicts only from the
  // held shards, since taking another shard here could deadlock, and refuses with
  // OutOfMemory when those hold nothing to evict.
  //
  // Logging: on a persistent store every mutation made by `fn` is encoded as a sub-record
  // and the whole batch is appended as one Batch record after `fn`, still under the
  // locks, so no other thread can read or log past a change the log has not taken, and
  // replay applies all of the batch or none of it. The result is PersistenceFailed when
  // the log refused that record. Under "always" the batch then takes its changes back out
  // of memory (it kept the state of every key before its first change), so a refused
  // batch leaves no trace, and the broken log refuses writes until a save. Under the
  // deferred policies a refusal cannot happen: a record that cannot be written suspends
  // logging and the batch stays applied in memory, as any single write would.
  // A batch run from inside a batch on the same thread runs `fn` directly.
  template <class Fn>
  StoreResult<void> with_locked_shards(std::span<const size_t> shards, Fn&& fn) {
    if (ShardLock::batch_token() != nullptr) {
      fn();
      return {};
    }
    BatchScope scope(*this, shards);
    fn();
    return scope.commit();
  }
  // Every shard index, ascending, for keyspace-wide batches.
  std::vector<size_t> all_shards() const;
  // The current mark of `key` for WATCH.
  WatchMark watch_mark(BytesView key) const;
  // True when nothing was written in the shard of `key` since `mark` was taken and a key
  // live then has not expired since.
  bool watch_intact(BytesView key, const WatchMark& mark) const;

  // ---- configuration, lifecycle, statistics ----
  const StoreConfig& config() const { return config_; }
  uint64_t max_memory() const { return config_.max_memory; }
  uint64_t now_ms() const;
  const Clock& clock() const { return *clock_; }
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // Sets `closed`; returns whether it was already set.
  bool mark_closed() { return closed_.exchange(true, std::memory_order_acq_rel); }
  StoreCounters counters() const;
  // The full text of an error: its fixed text, and for PersistenceFailed the cause and
  // the way out as the persistence layer words them.
  std::string error_text(StoreError e) const;

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
  // The locks, and the sub-records collected on a persistent store, of one running batch.
  class BatchScope {
   public:
    BatchScope(Store& store, std::span<const size_t> shards);
    ~BatchScope();
    BatchScope(const BatchScope&) = delete;
    BatchScope& operator=(const BatchScope&) = delete;
    // Appends the collected sub-records as one record; PersistenceFailed when refused.
    StoreResult<void> commit();

    // The state before the batch of every key it changed, kept under fsync "always" so a
    // batch the log refuses can be taken back out of memory.
    struct PreImage {
      Bytes key;
      std::optional<Entry> entry;  // nullopt: the key was absent
    };
    std::vector<PreImage> pre_images;
    std::unordered_set<Bytes> captured;  // keys with a pre-image: only the first counts

   private:
    void undo();
    Store& store_;
    std::vector<size_t> shards_;
    bool committed_ = false;
  };
  // Sub-records collected by this thread's running batch on this store (nullptr: none).
  static inline thread_local std::vector<Bytes>* batch_records_ = nullptr;
  static inline thread_local const Store* batch_store_ = nullptr;
  static inline thread_local BatchScope* batch_scope_ = nullptr;
  // Records the state of `key` (every key for an empty one with `all`) before the batch
  // first changes it. REQUIRES: the key's shard held by the batch.
  void capture_pre_image(BytesView key, bool all);
  bool in_batch() const { return batch_store_ == this; }
  bool log_into_batch(const WalRecord& r);

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
  // PersistenceFailed while the log refuses mutations; checked before a mutation starts.
  // One pointer test for a store without persistence.
  StoreResult<void> writable() const {
    if (persist_ != nullptr && !replaying_ && persist_->refusing()) return store_err(StoreError::PersistenceFailed);
    return {};
  }
  // Hands `r` to the log before the change it describes; false: do not apply the change.
  // REQUIRES: the shard lock(s) of the change held exclusively.
  bool log(const WalRecord& r) {
    if (persist_ == nullptr || replaying_) return true;
    if (batch_store_ == this) return log_into_batch(r);
    return persist_->wal_append(r);
  }
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
  // The text of a counter's new value at `pos` (-1: a new key) with expiry `expires`:
  // logged as a Set, then written in place with its charge; false when the log refused it
  // and nothing changed. REQUIRES: s.lock held exclusively.
  bool write_number(Shard& s, BytesView key, uint64_t h, int64_t pos, uint64_t expires, BytesView text);
  // REQUIRES: s.lock held exclusively.
  bool expire_if_due(Shard& s, BytesView key, uint64_t hash, Now& now);
  // How remove_entry treats a Del record the log refuses.
  enum class Removal : uint8_t {
    Requested,  // a client's deletion: refused, the entry stays
    Forced,     // expiry, eviction, an emptied collection: the entry leaves anyway
  };
  // Removes `key` when present (false when absent), logging its Del first.
  // REQUIRES: s.lock held exclusively.
  StoreResult<bool> remove_entry(Shard& s, BytesView key, uint64_t hash, Removal how);
  // The position of `key` for a write at `now`, removing it first when it has expired
  // (-1 when absent). REQUIRES: s.lock held exclusively.
  int64_t find_for_write(Shard& s, BytesView key, uint64_t hash, Now& now);
  // A key's shard held exclusively, and the position of its live entry there (-1: absent;
  // an entry found expired has been removed). Every single-key write opens with
  // `const auto [s, lock, pos] = lock_for_write(key, h, now);`.
  struct KeyWrite {
    Shard& shard;
    std::unique_lock<ShardLock> lock;
    int64_t pos;
  };
  KeyWrite lock_for_write(BytesView key, uint64_t hash, Now& now);
  Entry& replace_at(size_t pos, Entry&& e, Shard& s);
  StoreResult<bool> set_expiry(BytesView key, uint64_t expires_at_ms, Now& now);
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
    // What writing a string of `value_bytes` under a key of `key_bytes` adds to the charge:
    // the new entry and any table growth, less the entry it replaces.
    uint64_t string_write(uint64_t key_bytes, uint64_t value_bytes) const {
      const uint64_t added = align16(key_bytes + value_bytes) + growth;
      return added > charge ? added - charge : 0;
    }
  };
  // One shared-lock look at `key`: liveness, its charge and the table growth estimate.
  Probe probe(BytesView key, uint64_t hash, Now& now) const;
  // Under a memory ceiling, admits a string of `value_bytes` written to `key` (see
  // Probe::string_write); without one, admits everything without a look.
  StoreResult<void> admit_string(BytesView key, uint64_t hash, Now& now, uint64_t value_bytes);
  // The common read path of collections; `fn` runs on a live record of `kind` under the
  // shared lock and builds the result from copies.
  template <class R, class Fn>
  StoreResult<R> read_collection(BytesView key, ValueKind kind, Fn&& fn);
  // The common write path of adding operations: admission, kind check, logging `record`,
  // then create-if-missing and `apply`.
  template <class Fn>
  StoreResult<uint64_t> add_to_collection(BytesView key, ValueKind kind, uint64_t estimate, const WalRecord& record,
                                          Fn&& apply);
  // The common write path of removing operations: on a present key of `kind`, logs
  // `record`, then `apply`.
  template <class R, class Fn>
  StoreResult<R> remove_from_collection(BytesView key, ValueKind kind, const WalRecord& record, Fn&& apply);
  // The write path of one hash field: `fn(current)` (nullptr: no such field) gives the
  // field's new value, or nullopt to change nothing; the value is logged as HSet, then set.
  // True when the field was written.
  template <class Fn>
  StoreResult<bool> update_hash_field(BytesView key, BytesView field, uint64_t estimate, Fn&& fn);
  StoreResult<uint64_t> push(BytesView key, std::span<const Bytes> values, bool left);
  StoreResult<std::optional<Bytes>> pop(BytesView key, bool left);
  // The write path of lset, ltrim, lrem and linsert: admission of `estimate`, then
  // `fn(record)` on the live list under `key` holding its shard lock exclusively; `fn`
  // logs what it changes. `missing` when the key is absent; WrongType for another kind.
  // Defined in core/lists.cpp, its only user.
  template <class R, class Fn>
  StoreResult<R> update_list(BytesView key, uint64_t estimate, StoreResult<R> missing, Fn&& fn);
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
