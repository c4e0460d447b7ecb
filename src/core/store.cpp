#include "core/store.h"

#include <bit>
#include <cassert>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "core/hash.h"
#include "platform/thread.h"

namespace vellum {

namespace {

using SharedLock = std::shared_lock<RwLock>;
using UniqueLock = std::unique_lock<RwLock>;

constexpr uint64_t kMaxKeyLen = uint64_t{1} << 32;

uint64_t round_shards(uint64_t n) {
  if (n <= 1) return 1;
  if (n > (uint64_t{1} << 62)) return uint64_t{1} << 62;
  return std::bit_ceil(n);
}

uint64_t sub_floor(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

// An optional '-' then one or more ASCII digits, fitting a signed 64-bit integer.
bool parse_i64(BytesView s, int64_t& out) {
  if (s.empty()) return false;
  size_t i = 0;
  const bool neg = s[0] == '-';
  if (neg) i = 1;
  if (i == s.size()) return false;
  uint64_t mag = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c < '0' || c > '9') return false;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (mag > (~uint64_t{0} - d) / 10) return false;
    mag = mag * 10 + d;
  }
  const uint64_t limit = neg ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  if (mag > limit) return false;
  out = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction and shared helpers

Store::Store(Passkey, const StoreConfig& config, std::shared_ptr<const Clock> clock)
    : config_(config),
      clock_(clock ? std::move(clock) : system_clock()),
      shards_(round_shards(config.shards)) {
  shard_mask_ = shards_.size() - 1;
}

Store::~Store() = default;

std::shared_ptr<Store> Store::create(const StoreConfig& config, std::shared_ptr<const Clock> clock,
                                     bool start_sweeper_now) {
  if (config.persist_dir) {
    std::fputs("a persistent store must be opened with persist::open_store\n", stderr);
    std::abort();
  }
  auto store = std::make_shared<Store>(Passkey{}, config, std::move(clock));
  if (start_sweeper_now) store->start_sweeper();
  return store;
}

std::shared_ptr<Store> Store::create_for_persistence(const StoreConfig& config,
                                                    std::shared_ptr<const Clock> clock) {
  return std::make_shared<Store>(Passkey{}, config, std::move(clock));
}

uint64_t Store::now_ms() const { return replaying_ ? 0 : clock_->now_ms(); }

uint64_t Store::hash_key(BytesView key) const { return key_hash(key); }

uint64_t Store::next_random() {
  const uint64_t z = rng_state_.fetch_add(kSplitMixIncrement, std::memory_order_relaxed) + kSplitMixIncrement;
  return splitmix64_mix(z);
}

uint32_t Store::next_stamp() { return access_clock_.fetch_add(1, std::memory_order_relaxed); }

void Store::stamp(Entry& e) {
  if (config_.max_memory != 0) e.set_stamp(next_stamp());
}

void Store::log(const WalRecord& r) {
  if (persist_ && !replaying_) persist_->wal_append(r);
}

void Store::update_table_charge(Shard& s) {
  const uint64_t now_charge = table_charge(s.table.capacity());
  const uint64_t before = s.table_charge.exchange(now_charge, std::memory_order_relaxed);
  charge_change(before, now_charge);
}

Store::Probe Store::probe(BytesView key, uint64_t hash, Now& now) const {
  const Shard& s = shard_for(hash);
  SharedLock lock(s.lock);
  Probe p;
  const int64_t pos = s.table.find(key, hash);
  if (pos >= 0) {
    const Entry& e = s.table.at(static_cast<size_t>(pos));
    if (now.live(e)) {
      p.live = true;
      p.charge = e.charge();
    }
  } else if (!s.table.has_free_slot()) {
    p.growth = growth_charge(s.table.capacity());
  }
  return p;
}

uint64_t Store::estimate_growth(BytesView key, uint64_t hash) const {
  const Shard& s = shard_for(hash);
  SharedLock lock(s.lock);
  if (s.table.find(key, hash) >= 0 || s.table.has_free_slot()) return 0;
  return growth_charge(s.table.capacity());
}

StoreResult<void> Store::admit(uint64_t estimate) {
  if (config_.max_memory == 0 || estimate == 0 || replaying_) return {};
  for (;;) {
    const uint64_t used = used_memory();
    uint64_t want = used + estimate;
    if (want < used) want = ~uint64_t{0};
    if (want <= config_.max_memory) return {};
    if (config_.policy == EvictionPolicy::NoEviction) return store_err(StoreError::OutOfMemory);
    if (!evict_one(config_.policy == EvictionPolicy::VolatileLru)) return store_err(StoreError::OutOfMemory);
  }
}

bool Store::remove_entry(Shard& s, BytesView key, uint64_t hash) {
  const int64_t pos = s.table.find(key, hash);
  if (pos < 0) return false;
  Entry e = s.table.erase_at(static_cast<size_t>(pos), hash);
  charge_sub(e.charge());
  WalRecord r;
  r.op = WalOp::Del;
  r.key = e.key();
  log(r);
  update_table_charge(s);
  return true;
}

bool Store::expire_if_due(Shard& s, BytesView key, uint64_t hash, Now& now) {
  const int64_t pos = s.table.find(key, hash);
  if (pos < 0 || now.live(s.table.at(static_cast<size_t>(pos)))) return false;
  remove_entry(s, key, hash);
  s.expired.fetch_add(1, std::memory_order_relaxed);
  return true;
}

int64_t Store::find_for_write(Shard& s, BytesView key, uint64_t hash, Now& now) {
  const int64_t pos = s.table.find(key, hash);
  if (pos < 0 || now.live(s.table.at(static_cast<size_t>(pos)))) return pos;
  remove_entry(s, key, hash);
  s.expired.fetch_add(1, std::memory_order_relaxed);
  return -1;
}

Entry& Store::replace_at(size_t pos, Entry&& e, Shard& s) {
  Entry& slot = s.table.at(pos);
  const uint64_t old = slot.charge();
  // The replaced entry ends up in `e`, so a caller that owns it can free it after
  // releasing the shard lock.
  std::swap(slot, e);
  charge_change(old, slot.charge());
  return slot;
}

Entry& Store::insert_new(Shard& s, uint64_t hash, Entry&& e) {
  const uint64_t charge = e.charge();
  const size_t at = s.table.insert(hash, std::move(e));
  charge_add(charge);
  update_table_charge(s);
  return s.table.at(at);
}

void Store::expire_after_read(Shard& s, BytesView key, uint64_t hash, Now& now) {
  UniqueLock lock(s.lock);
  expire_if_due(s, key, hash, now);
}

Entry& Store::put_entry(Shard& s, uint64_t hash, Entry&& e) {
  const int64_t pos = s.table.find(e.key(), hash);
  if (pos >= 0) return replace_at(static_cast<size_t>(pos), std::move(e), s);
  return insert_new(s, hash, std::move(e));
}

void Store::start_sweeper() {
  if (config_.sweep_interval_ms == 0) return;
  std::weak_ptr<Store> weak = weak_from_this();
  const uint64_t interval = config_.sweep_interval_ms;
  auto t = NamedThread::spawn("vellum-sweeper", [weak, interval] {
    for (;;) {
      sleep_ms(interval);
      std::shared_ptr<Store> store = weak.lock();
      if (!store || store->closed()) return;
      store->sweep_pass(store->now_ms());
    }
  });
  // Nobody waits for the sweeper: it holds only a weak reference and ends within one
  // period after the store is dropped or closed.
  if (t.ok()) t.value().detach();
}

StoreCounters Store::counters() const {
  StoreCounters c;
  for (const Shard& s : shards_) {
    c.hits += s.hits.load(std::memory_order_relaxed);
    c.misses += s.misses.load(std::memory_order_relaxed);
    c.evictions += s.evictions.load(std::memory_order_relaxed);
    c.expired += s.expired.load(std::memory_order_relaxed);
  }
  return c;
}

uint64_t Store::audit_charge_sum() const {
  uint64_t sum = 0;
  for (const Shard& s : shards_) {
    SharedLock lock(s.lock);
    for (size_t i = 0; i < s.table.size(); ++i) sum += s.table.at(i).charge();
    sum += table_charge(s.table.capacity());
  }
  return sum;
}

uint64_t Store::audit_empty_collections() const {
  uint64_t n = 0;
  for (const Shard& s : shards_) {
    SharedLock lock(s.lock);
    for (size_t i = 0; i < s.table.size(); ++i) {
      const Entry& e = s.table.at(i);
      if (!e.is_string() && e.record()->empty()) ++n;
    }
  }
  return n;
}

// ---------------------------------------------------------------------------------------
// Strings and keys

StoreResult<bool> Store::read_string_into(BytesView key, bool collection_is_error, Bytes& out) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  {
    SharedLock lock(s.lock);
    const int64_t pos = s.table.find(key, h);
    if (pos < 0) {
      s.misses.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    Entry& e = s.table.at(static_cast<size_t>(pos));
    if (now.live(e)) {
      if (!e.is_string()) {
        if (collection_is_error) return store_err(StoreError::WrongType);
        return false;
      }
      stamp(e);
      s.hits.fetch_add(1, std::memory_order_relaxed);
      out.assign(e.value());
      return true;
    }
  }
  s.misses.fetch_add(1, std::memory_order_relaxed);
  expire_after_read(s, key, h, now);
  return false;
}

StoreResult<std::optional<Bytes>> Store::read_string(BytesView key, bool collection_is_error) {
  Bytes value;
  auto r = read_string_into(key, collection_is_error, value);
  if (!r) return store_err(r.error());
  return r.value() ? std::optional<Bytes>(std::move(value)) : std::optional<Bytes>();
}

StoreResult<std::optional<Bytes>> Store::get(BytesView key) { return read_string(key, true); }

StoreResult<bool> Store::get_into(BytesView key, Bytes& out) { return read_string_into(key, true, out); }

std::vector<std::optional<Bytes>> Store::mget(std::span<const Bytes> keys) {
  std::vector<std::optional<Bytes>> out;
  out.reserve(keys.size());
  for (const Bytes& k : keys) out.push_back(std::move(read_string(k, false).value()));
  return out;
}

StoreResult<bool> Store::set(BytesView key, BytesView value, std::optional<uint64_t> ttl_ms, bool nx, bool xx) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (nx || xx || config_.max_memory != 0) {
    const Probe p = probe(key, h, now);
    if ((xx && !p.live) || (nx && p.live)) return false;
    const uint64_t estimate = sub_floor(align16(key.size() + value.size()) + p.growth, p.charge);
    if (auto r = admit(estimate); !r) return store_err(r.error());
  }
  // The new buffer is built before the lock is taken, so the exclusive section holds only
  // the lookup and the swap.
  const uint64_t expires = ttl_ms ? absolute_expiry(now.get(), *ttl_ms) : 0;
  Entry fresh = Entry::make_string(key, value, expires);
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
  if ((nx && pos >= 0) || (xx && pos < 0)) return false;
  Entry& e = pos >= 0 ? replace_at(static_cast<size_t>(pos), std::move(fresh), s)
                      : insert_new(s, h, std::move(fresh));
  stamp(e);
  WalRecord r;
  r.op = WalOp::Set;
  r.expires_at_ms = expires;
  r.key = key;
  r.value = value;
  log(r);
  return true;
}

StoreResult<void> Store::mset(std::span<const std::pair<Bytes, Bytes>> pairs) {
  for (const auto& [k, v] : pairs) {
    auto r = set(k, v, std::nullopt, false, false);
    if (!r) return store_err(r.error());
  }
  return {};
}

StoreResult<int64_t> Store::incr_by(BytesView key, int64_t delta) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (config_.max_memory != 0) {
    const Probe p = probe(key, h, now);
    if (auto r = admit(sub_floor(align16(key.size() + 20) + p.growth, p.charge)); !r) return store_err(r.error());
  }
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
  int64_t current = 0;
  uint64_t expires = 0;
  if (pos >= 0) {
    const Entry& e = s.table.at(static_cast<size_t>(pos));
    if (!e.is_string()) return store_err(StoreError::WrongType);
    if (!parse_i64(e.value(), current)) return store_err(StoreError::NotAnInteger);
    expires = e.expires_at_ms;
  }
  int64_t sum = 0;
  if (__builtin_add_overflow(current, delta, &sum)) return store_err(StoreError::Overflow);
  char text[24];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, sum);
  (void)ec;
  const BytesView digits(text, static_cast<size_t>(end - text));
  Entry* e = nullptr;
  if (pos >= 0) {
    e = &s.table.at(static_cast<size_t>(pos));
    const uint64_t old = e->charge();
    e->replace_value(digits);
    charge_change(old, e->charge());
  } else {
    e = &insert_new(s, h, Entry::make_string(key, digits, 0));
  }
  stamp(*e);
  WalRecord r;
  r.op = WalOp::Set;
  r.expires_at_ms = expires;
  r.key = key;
  r.value = digits;
  log(r);
  return sum;
}

StoreResult<uint64_t> Store::append(BytesView key, BytesView value) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (config_.max_memory != 0) {
    const Probe p = probe(key, h, now);
    const uint64_t estimate = p.live ? value.size() : align16(key.size() + value.size()) + p.growth;
    if (auto r = admit(estimate); !r) return store_err(r.error());
  }
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
  Entry* e = nullptr;
  if (pos >= 0) {
    e = &s.table.at(static_cast<size_t>(pos));
    if (!e->is_string()) return store_err(StoreError::WrongType);
    const uint64_t old = e->charge();
    e->append_value(value);
    charge_change(old, e->charge());
  } else {
    e = &insert_new(s, h, Entry::make_string(key, value, 0));
  }
  stamp(*e);
  WalRecord r;
  r.op = WalOp::Set;
  r.expires_at_ms = e->expires_at_ms;
  r.key = key;
  r.value = e->value();
  log(r);
  return static_cast<uint64_t>(e->value().size());
}

uint64_t Store::del(std::span<const Bytes> keys) {
  Now now(*this);
  uint64_t removed = 0;
  for (const Bytes& k : keys) {
    const uint64_t h = hash_key(k);
    Shard& s = shard_for(h);
    UniqueLock lock(s.lock);
    expire_if_due(s, k, h, now);
    if (remove_entry(s, k, h)) ++removed;
  }
  return removed;
}

ExistsCharge Store::exists_with_charge(BytesView key) const {
  Now now(*this);
  const Probe p = probe(key, key_hash(key), now);
  return ExistsCharge{p.live, p.charge};
}

bool Store::exists(BytesView key) const { return exists_with_charge(key).live; }

std::vector<Bytes> Store::keys(BytesView pattern) const {
  const uint64_t now = now_ms();
  std::vector<Bytes> out;
  for (const Shard& s : shards_) {
    SharedLock lock(s.lock);
    for (size_t i = 0; i < s.table.size(); ++i) {
      const Entry& e = s.table.at(i);
      if (e.live_at(now) && glob_match(pattern, e.key())) out.emplace_back(e.key());
    }
  }
  return out;
}

void Store::flush() {
  std::vector<UniqueLock> locks;
  locks.reserve(shards_.size());
  for (Shard& s : shards_) locks.emplace_back(s.lock);
  WalRecord r;
  r.op = WalOp::FlushAll;
  log(r);
  std::vector<std::vector<Entry>> detached;
  detached.reserve(shards_.size());
  for (Shard& s : shards_) {
    uint64_t sum = 0;
    for (size_t i = 0; i < s.table.size(); ++i) sum += s.table.at(i).charge();
    charge_sub(sum);
    detached.push_back(s.table.detach());
    charge_sub(s.table_charge.exchange(0, std::memory_order_relaxed));
  }
  locks.clear();
  // The detached entries are freed here, after every lock is released.
}

uint64_t Store::key_count() const {
  const uint64_t now = now_ms();
  uint64_t n = 0;
  for (const Shard& s : shards_) {
    SharedLock lock(s.lock);
    for (size_t i = 0; i < s.table.size(); ++i) n += s.table.at(i).live_at(now) ? 1 : 0;
  }
  return n;
}

StoreResult<void> Store::restore_string(BytesView key, BytesView value, uint64_t expires_at_ms) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  stamp(put_entry(s, h, Entry::make_string(key, value, expires_at_ms)));
  return {};
}

void Store::restore_collection(std::unique_ptr<CollectionRecord> record, uint64_t expires_at_ms) {
  const uint64_t h = hash_key(record->key());
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  put_entry(s, h, Entry::make_collection(std::move(record), expires_at_ms));
}

// ---------------------------------------------------------------------------------------
// Expiry

int64_t Store::pttl(BytesView key) const {
  Now now(*this);
  const uint64_t h = key_hash(key);
  const Shard& s = shard_for(h);
  SharedLock lock(s.lock);
  const int64_t pos = s.table.find(key, h);
  if (pos < 0) return -2;
  const Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!now.live(e)) return -2;
  if (e.expires_at_ms == 0) return -1;
  const uint64_t left = e.expires_at_ms - now.get();
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return static_cast<int64_t>(left > kMax ? kMax : left);
}

int64_t Store::ttl(BytesView key) const {
  const int64_t ms = pttl(key);
  if (ms < 0) return ms;
  return ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
}

bool Store::pexpire(BytesView key, uint64_t milliseconds) {
  Now now(*this);
  return set_expiry(key, absolute_expiry(now.get(), milliseconds), now);
}

bool Store::expire_at(BytesView key, uint64_t expires_at_ms) {
  Now now(*this);
  return set_expiry(key, expires_at_ms, now);
}

bool Store::set_expiry(BytesView key, uint64_t expires_at_ms, Now& now) {
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
  if (pos < 0) return false;
  s.table.at(static_cast<size_t>(pos)).expires_at_ms = expires_at_ms;
  WalRecord r;
  r.op = WalOp::ExpireAt;
  r.expires_at_ms = expires_at_ms;
  r.key = key;
  log(r);
  return true;
}

bool Store::persist(BytesView key) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
  if (pos < 0) return false;
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (e.expires_at_ms == 0) return false;
  e.expires_at_ms = 0;
  WalRecord r;
  r.op = WalOp::ExpireAt;
  r.key = key;
  log(r);
  return true;
}

uint64_t Store::purge_expired() {
  const uint64_t now = now_ms();
  uint64_t removed = 0;
  for (Shard& s : shards_) {
    UniqueLock lock(s.lock);
    std::vector<Bytes> doomed;
    for (size_t i = 0; i < s.table.size(); ++i) {
      const Entry& e = s.table.at(i);
      if (!e.live_at(now)) doomed.emplace_back(e.key());
    }
    for (const Bytes& k : doomed) removed += remove_entry(s, k, key_hash(k)) ? 1 : 0;
  }
  return removed;
}

void Store::sweep_pass(uint64_t now) {
  constexpr size_t kBatch = 20;
  constexpr int kMaxBatches = 16;
  std::vector<Bytes> doomed;
  for (Shard& s : shards_) {
    UniqueLock lock(s.lock);
    for (int batch = 0; batch < kMaxBatches; ++batch) {
      const size_t n = s.table.size();
      if (n == 0) break;
      const size_t off = static_cast<size_t>(next_random() % n);
      doomed.clear();
      for (size_t j = 0, pos = off; j < kBatch; ++j, pos = pos + 1 == n ? 0 : pos + 1) {
        const Entry& e = s.table.at(pos);
        if (!e.live_at(now)) doomed.emplace_back(e.key());
      }
      if (doomed.empty()) break;
      for (const Bytes& k : doomed) {
        if (remove_entry(s, k, key_hash(k))) s.expired.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Eviction

bool Store::evict_one(bool volatile_only) {
  constexpr int kShardsWanted = 5;
  constexpr int kPerShard = 5;
  const uint32_t reference = access_clock_.load(std::memory_order_relaxed);
  const uint64_t start = next_random();
  bool have = false;
  uint32_t victim_idle = 0;
  uint64_t victim_hash = 0;
  Bytes victim;
  int yielded = 0;
  for (uint64_t i = 0; i < shards_.size() && yielded < kShardsWanted; ++i) {
    const Shard& s = shards_[(start + i) & shard_mask_];
    SharedLock lock(s.lock);
    const uint64_t r = next_random();
    const size_t n = s.table.size();
    if (n == 0) continue;
    const size_t off = static_cast<size_t>(r % n);
    int taken = 0;
    int64_t best = -1;
    uint32_t best_idle = 0;
    for (size_t j = 0, pos = off; j < n && taken < kPerShard; ++j, pos = pos + 1 == n ? 0 : pos + 1) {
      const Entry& e = s.table.at(pos);
      if (volatile_only && e.expires_at_ms == 0) continue;
      const uint32_t idle = reference - e.stamp();
      if (best < 0 || idle > best_idle) {
        best = static_cast<int64_t>(pos);
        best_idle = idle;
      }
      ++taken;
    }
    if (best < 0) continue;
    ++yielded;
    if (!have || best_idle > victim_idle) {
      have = true;
      victim_idle = best_idle;
      victim.assign(s.table.at(static_cast<size_t>(best)).key());
      victim_hash = key_hash(victim);
    }
  }
  if (!have) return false;
  Shard& s = shard_for(victim_hash);
  UniqueLock lock(s.lock);
  if (remove_entry(s, victim, victim_hash)) s.evictions.fetch_add(1, std::memory_order_relaxed);
  return true;
}

// ---------------------------------------------------------------------------------------
// Collections

template <class R, class Fn>
StoreResult<R> Store::read_collection(BytesView key, ValueKind kind, Fn&& fn) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  {
    SharedLock lock(s.lock);
    const int64_t pos = s.table.find(key, h);
    if (pos < 0) return R{};
    Entry& e = s.table.at(static_cast<size_t>(pos));
    if (now.live(e)) {
      if (e.is_string() || e.record()->kind() != kind) return store_err(StoreError::WrongType);
      stamp(e);
      return fn(static_cast<const CollectionRecord&>(*e.record()));
    }
  }
  expire_after_read(s, key, h, now);
  return R{};
}

template <class Fn>
StoreResult<uint64_t> Store::add_to_collection(BytesView key, ValueKind kind, uint64_t estimate, Fn&& fn) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (config_.max_memory != 0) {
    if (auto r = admit(estimate + estimate_growth(key, h)); !r) return store_err(r.error());
  }
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
  Entry* e = nullptr;
  if (pos < 0) {
    e = &insert_new(s, h, Entry::make_collection(CollectionRecord::create(kind, key), 0));
  } else {
    e = &s.table.at(static_cast<size_t>(pos));
  }
  stamp(*e);
  if (e->is_string() || e->record()->kind() != kind) return store_err(StoreError::WrongType);
  CollectionRecord& rec = *e->record();
  const uint64_t before = rec.payload_bytes;
  const uint64_t result = fn(rec);
  charge_change(before, rec.payload_bytes);
  if (rec.empty()) remove_entry(s, key, h);
  return result;
}

template <class R, class Fn>
StoreResult<R> Store::remove_from_collection(BytesView key, ValueKind kind, Fn&& fn) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  UniqueLock lock(s.lock);
  const int64_t pos = find_for_write(s, key, h, now);
  if (pos < 0) return R{};
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (e.is_string() || e.record()->kind() != kind) return store_err(StoreError::WrongType);
  stamp(e);
  CollectionRecord& rec = *e.record();
  const uint64_t before = rec.payload_bytes;
  R result = fn(rec);
  charge_sub(before - rec.payload_bytes);
  if (rec.empty()) remove_entry(s, key, h);
  return result;
}

namespace {

void payload_sub(CollectionRecord& rec, uint64_t n) { rec.payload_bytes = sub_floor(rec.payload_bytes, n); }

uint64_t elements_estimate(std::span<const Bytes> items) {
  uint64_t sum = 0;
  for (const Bytes& b : items) sum += item_charge(b.size());
  return sum;
}

}  // namespace

StoreResult<bool> Store::hset(BytesView key, BytesView field, BytesView value) {
  const uint64_t estimate = align16(key.size()) + align16(field.size()) + align16(value.size()) + 136;
  auto r = add_to_collection(key, ValueKind::Hash, estimate, [&](CollectionRecord& rec) -> uint64_t {
    WalRecord w;
    w.op = WalOp::HSet;
    w.key = key;
    w.field = field;
    w.value = value;
    log(w);
    HashValue& map = rec.hash();
    auto it = map.find(field);
    if (it != map.end()) {
      payload_sub(rec, align16(it->second.size()));
      rec.payload_bytes += align16(value.size());
      it->second.assign(value);
      return 0;
    }
    map.emplace(Bytes(field), Bytes(value));
    rec.payload_bytes += field_charge(field.size(), value.size());
    return 1;
  });
  if (!r) return store_err(r.error());
  return r.value() == 1;
}

StoreResult<std::optional<Bytes>> Store::hget(BytesView key, BytesView field) {
  return read_collection<std::optional<Bytes>>(key, ValueKind::Hash, [&](const CollectionRecord& rec) {
    const HashValue& map = rec.hash();
    auto it = map.find(field);
    return it == map.end() ? std::optional<Bytes>() : std::optional<Bytes>(it->second);
  });
}

StoreResult<uint64_t> Store::hdel(BytesView key, std::span<const Bytes> fields) {
  return remove_from_collection<uint64_t>(key, ValueKind::Hash, [&](CollectionRecord& rec) {
    WalRecord w;
    w.op = WalOp::HDel;
    w.key = key;
    w.items = fields;
    log(w);
    uint64_t removed = 0;
    HashValue& map = rec.hash();
    for (const Bytes& f : fields) {
      auto it = map.find(BytesView(f));
      if (it == map.end()) continue;
      payload_sub(rec, field_charge(it->first.size(), it->second.size()));
      map.erase(it);
      ++removed;
    }
    return removed;
  });
}

StoreResult<std::vector<std::pair<Bytes, Bytes>>> Store::hgetall(BytesView key) {
  using Pairs = std::vector<std::pair<Bytes, Bytes>>;
  return read_collection<Pairs>(key, ValueKind::Hash, [](const CollectionRecord& rec) {
    Pairs out;
    out.reserve(rec.hash().size());
    for (const auto& kv : rec.hash()) out.emplace_back(kv.first, kv.second);
    return out;
  });
}

StoreResult<uint64_t> Store::hlen(BytesView key) {
  return read_collection<uint64_t>(key, ValueKind::Hash,
                                   [](const CollectionRecord& rec) { return uint64_t{rec.hash().size()}; });
}

StoreResult<uint64_t> Store::push(BytesView key, std::span<const Bytes> values, bool left) {
  const uint64_t estimate = align16(key.size()) + kCollectionBaseCharge + elements_estimate(values);
  return add_to_collection(key, ValueKind::List, estimate, [&](CollectionRecord& rec) -> uint64_t {
    WalRecord w;
    w.op = left ? WalOp::LPush : WalOp::RPush;
    w.key = key;
    w.items = values;
    log(w);
    ListValue& list = rec.list();
    for (const Bytes& v : values) {
      if (left) {
        list.push_front(v);
      } else {
        list.push_back(v);
      }
      rec.payload_bytes += item_charge(v.size());
    }
    return list.size();
  });
}

StoreResult<uint64_t> Store::lpush(BytesView key, std::span<const Bytes> values) { return push(key, values, true); }
StoreResult<uint64_t> Store::rpush(BytesView key, std::span<const Bytes> values) { return push(key, values, false); }

StoreResult<std::optional<Bytes>> Store::pop(BytesView key, bool left) {
  return remove_from_collection<std::optional<Bytes>>(key, ValueKind::List, [&](CollectionRecord& rec) {
    ListValue& list = rec.list();
    Bytes v;
    if (left) {
      v = std::move(list.front());
      list.pop_front();
    } else {
      v = std::move(list.back());
      list.pop_back();
    }
    payload_sub(rec, item_charge(v.size()));
    WalRecord w;
    w.op = left ? WalOp::LPop : WalOp::RPop;
    w.key = key;
    log(w);
    return std::optional<Bytes>(std::move(v));
  });
}

StoreResult<std::optional<Bytes>> Store::lpop(BytesView key) { return pop(key, true); }
StoreResult<std::optional<Bytes>> Store::rpop(BytesView key) { return pop(key, false); }

StoreResult<uint64_t> Store::llen(BytesView key) {
  return read_collection<uint64_t>(key, ValueKind::List,
                                   [](const CollectionRecord& rec) { return uint64_t{rec.list().size()}; });
}

StoreResult<std::vector<Bytes>> Store::lrange(BytesView key, int64_t start, int64_t stop) {
  return read_collection<std::vector<Bytes>>(key, ValueKind::List, [&](const CollectionRecord& rec) {
    const ListValue& list = rec.list();
    const auto n = static_cast<int64_t>(list.size());
    int64_t lo = start, hi = stop;
    hi = hi < 0 ? hi + n : std::min(hi, n - 1);
    if (lo < 0) lo = std::max<int64_t>(lo + n, 0);
    std::vector<Bytes> out;
    if (lo <= hi && lo < n) {
      out.reserve(static_cast<size_t>(hi - lo + 1));
      for (int64_t i = lo; i <= hi; ++i) out.push_back(list[static_cast<size_t>(i)]);
    }
    return out;
  });
}

StoreResult<uint64_t> Store::sadd(BytesView key, std::span<const Bytes> members) {
  const uint64_t estimate = align16(key.size()) + kCollectionBaseCharge + elements_estimate(members);
  return add_to_collection(key, ValueKind::Set, estimate, [&](CollectionRecord& rec) -> uint64_t {
    WalRecord w;
    w.op = WalOp::SAdd;
    w.key = key;
    w.items = members;
    log(w);
    uint64_t added = 0;
    for (const Bytes& m : members) {
      if (rec.set().insert(m).second) {
        rec.payload_bytes += item_charge(m.size());
        ++added;
      }
    }
    return added;
  });
}

StoreResult<uint64_t> Store::srem(BytesView key, std::span<const Bytes> members) {
  return remove_from_collection<uint64_t>(key, ValueKind::Set, [&](CollectionRecord& rec) {
    WalRecord w;
    w.op = WalOp::SRem;
    w.key = key;
    w.items = members;
    log(w);
    uint64_t removed = 0;
    SetValue& set = rec.set();
    for (const Bytes& m : members) {
      auto it = set.find(BytesView(m));
      if (it == set.end()) continue;
      payload_sub(rec, item_charge(m.size()));
      set.erase(it);
      ++removed;
    }
    return removed;
  });
}

StoreResult<std::vector<Bytes>> Store::smembers(BytesView key) {
  return read_collection<std::vector<Bytes>>(key, ValueKind::Set, [](const CollectionRecord& rec) {
    return std::vector<Bytes>(rec.set().begin(), rec.set().end());
  });
}

StoreResult<bool> Store::sismember(BytesView key, BytesView member) {
  return read_collection<bool>(key, ValueKind::Set,
                               [&](const CollectionRecord& rec) { return rec.set().find(member) != rec.set().end(); });
}

StoreResult<uint64_t> Store::scard(BytesView key) {
  return read_collection<uint64_t>(key, ValueKind::Set,
                                   [](const CollectionRecord& rec) { return uint64_t{rec.set().size()}; });
}

}  // namespace vellum
