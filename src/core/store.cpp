// Store construction, the shard, accounting and logging helpers that every Store unit
// uses, the counters and audits, and the string and key operations.

#include "core/store.h"

#include <bit>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "core/hash.h"
#include "core/store_internal.h"

namespace vellum {

using namespace store_internal;

namespace {

constexpr uint64_t kMaxKeyLen = uint64_t{1} << 32;

uint64_t round_shards(uint64_t n) {
  if (n <= 1) return 1;
  if (n > (uint64_t{1} << 62)) return uint64_t{1} << 62;
  return std::bit_ceil(n);
}

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


uint64_t Store::next_random() {
  const uint64_t z = rng_state_.fetch_add(kSplitMixIncrement, std::memory_order_relaxed) + kSplitMixIncrement;
  return splitmix64_mix(z);
}

uint32_t Store::next_stamp() { return access_clock_.fetch_add(1, std::memory_order_relaxed); }

namespace {

// Versions are unique in the process: each thread hands out numbers from a block it
// reserved from one shared counter, so a write touches the shared counter once per
// block, not once per write. 0 is never handed out.
std::atomic<uint64_t> version_blocks{1};
constexpr uint64_t kVersionBlock = 1024;

uint64_t next_version() {
  thread_local uint64_t next = 0;
  thread_local uint64_t end = 0;
  if (next == end) {
    next = version_blocks.fetch_add(kVersionBlock, std::memory_order_relaxed);
    end = next + kVersionBlock;
  }
  return next++;
}

}  // namespace

void Store::stamp(Entry& e) {
  e.set_version(next_version());
  if (config_.max_memory != 0) e.set_stamp(next_stamp());
}

std::string Store::error_text(StoreError e) const {
  if (e == StoreError::PersistenceFailed && persist_ != nullptr) return persist_->refusal_text();
  return std::string(store_error_text(e));
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

StoreResult<void> Store::admit_string(BytesView key, uint64_t hash, Now& now, uint64_t value_bytes) {
  if (config_.max_memory == 0) return {};
  return admit(probe(key, hash, now).string_write(key.size(), value_bytes));
}

StoreResult<bool> Store::remove_entry(Shard& s, BytesView key, uint64_t hash, Removal how) {
  const int64_t pos = s.table.find(key, hash);
  if (pos < 0) return false;
  WalRecord r;
  r.op = WalOp::Del;
  r.key = key;
  // A forced removal goes ahead when the log refuses its record. The log is then broken
  // and takes no record until a save has captured the whole state, so the removal leaves
  // no hole; until that save, replay ends at the break, a moment before the removal. There
  // an expired key is still present with its expiry in the past, and the open purges it;
  // an evicted key is back as it was then, which is a moment of the acknowledged history;
  // an emptied collection is removed again by replaying the operation that emptied it.
  if (!log(r) && how == Removal::Requested) return store_err(StoreError::PersistenceFailed);
  Entry e = s.table.erase_at(static_cast<size_t>(pos), hash);
  charge_sub(e.charge());
  update_table_charge(s);
  return true;
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

Entry& Store::put_entry(Shard& s, uint64_t hash, Entry&& e) {
  const int64_t pos = s.table.find(e.key(), hash);
  if (pos >= 0) return replace_at(static_cast<size_t>(pos), std::move(e), s);
  return insert_new(s, hash, std::move(e));
}

StoreCounters Store::counters() const {
  StoreCounters c;
  for (const Shard& s : shards_) {
    c.hits += s.hits.load(std::memory_order_relaxed) + s.serial_hits.load(std::memory_order_relaxed);
    c.misses += s.misses.load(std::memory_order_relaxed) + s.serial_misses.load(std::memory_order_relaxed);
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

StoreResult<bool> Store::read_string_into(BytesView key, bool collection_is_error, Bytes& out, uint64_t* version) {
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
      touch(e);
      s.hits.fetch_add(1, std::memory_order_relaxed);
      out.assign(e.value());
      if (version != nullptr) *version = e.version();
      return true;
    }
  }
  s.misses.fetch_add(1, std::memory_order_relaxed);
  expire_after_read(s, key, h, now);
  return false;
}

StoreResult<std::optional<Bytes>> Store::read_string(BytesView key, bool collection_is_error) {
  Bytes value;
  auto r = read_string_into(key, collection_is_error, value, nullptr);
  if (!r) return store_err(r.error());
  return r.value() ? std::optional<Bytes>(std::move(value)) : std::optional<Bytes>();
}

StoreResult<std::optional<Bytes>> Store::get(BytesView key) { return read_string(key, true); }

StoreResult<bool> Store::get_into(BytesView key, Bytes& out, uint64_t* version) {
  return read_string_into(key, true, out, version);
}

bool Store::check_version(BytesView key, uint64_t version) {
  Now now(*this);
  const uint64_t h = hash_key(key);
  Shard& s = shard_for(h);
  SharedLock lock(s.lock);
  const int64_t pos = s.table.find(key, h);
  if (pos < 0) return false;
  Entry& e = s.table.at(static_cast<size_t>(pos));
  if (!e.is_string() || e.version() != version || !now.live(e)) return false;
  touch(e);
  s.hits.fetch_add(1, std::memory_order_relaxed);
  return true;
}

std::vector<std::optional<Bytes>> Store::mget(std::span<const Bytes> keys) {
  std::vector<std::optional<Bytes>> out;
  out.reserve(keys.size());
  for (const Bytes& k : keys) out.push_back(std::move(read_string(k, false).value()));
  return out;
}

StoreResult<bool> Store::set(BytesView key, BytesView value, std::optional<uint64_t> ttl_ms, bool nx, bool xx) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (nx || xx || config_.max_memory != 0) {
    const Probe p = probe(key, h, now);
    if ((xx && !p.live) || (nx && p.live)) return false;
    if (auto r = admit(p.string_write(key.size(), value.size())); !r) return store_err(r.error());
  }
  // The new buffer is built before the lock is taken, so the exclusive section holds only
  // the lookup and the swap.
  const uint64_t expires = ttl_ms ? absolute_expiry(now.get(), *ttl_ms) : 0;
  Entry fresh = Entry::make_string(key, value, expires);
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  if ((nx && pos >= 0) || (xx && pos < 0)) return false;
  WalRecord r;
  r.op = WalOp::Set;
  r.expires_at_ms = expires;
  r.key = key;
  r.value = value;
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
  Entry& e = pos >= 0 ? replace_at(static_cast<size_t>(pos), std::move(fresh), s)
                      : insert_new(s, h, std::move(fresh));
  stamp(e);
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
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (auto r = admit_string(key, h, now, 20); !r) return store_err(r.error());
  const auto [s, lock, pos] = lock_for_write(key, h, now);
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
  if (!write_number(s, key, h, pos, expires, digits)) return store_err(StoreError::PersistenceFailed);
  return sum;
}

bool Store::write_number(Shard& s, BytesView key, uint64_t h, int64_t pos, uint64_t expires, BytesView text) {
  WalRecord r;
  r.op = WalOp::Set;
  r.expires_at_ms = expires;
  r.key = key;
  r.value = text;
  if (!log(r)) return false;
  Entry* e = nullptr;
  if (pos >= 0) {
    e = &s.table.at(static_cast<size_t>(pos));
    const uint64_t old = e->charge();
    e->replace_value(text);
    charge_change(old, e->charge());
  } else {
    e = &insert_new(s, h, Entry::make_string(key, text, 0));
  }
  stamp(*e);
  return true;
}

StoreResult<uint64_t> Store::append(BytesView key, BytesView value) {
  if (key.size() >= kMaxKeyLen) return store_err(StoreError::KeyTooLong);
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  const uint64_t h = hash_key(key);
  if (config_.max_memory != 0) {
    const Probe p = probe(key, h, now);
    const uint64_t estimate = p.live ? value.size() : align16(key.size() + value.size()) + p.growth;
    if (auto r = admit(estimate); !r) return store_err(r.error());
  }
  const auto [s, lock, pos] = lock_for_write(key, h, now);
  WalRecord r;
  r.op = WalOp::Set;
  r.key = key;
  if (pos >= 0) {
    const Entry& old = s.table.at(static_cast<size_t>(pos));
    if (!old.is_string()) return store_err(StoreError::WrongType);
    r.expires_at_ms = old.expires_at_ms;
    r.value = old.value();
    r.value_tail = value;
  } else {
    r.value = value;
  }
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
  Entry* e = nullptr;
  if (pos >= 0) {
    e = &s.table.at(static_cast<size_t>(pos));
    const uint64_t old = e->charge();
    e->append_value(value);
    charge_change(old, e->charge());
  } else {
    e = &insert_new(s, h, Entry::make_string(key, value, 0));
  }
  stamp(*e);
  return static_cast<uint64_t>(e->value().size());
}

StoreResult<uint64_t> Store::del(std::span<const Bytes> keys) {
  if (auto w = writable(); !w) return store_err(w.error());
  Now now(*this);
  uint64_t removed = 0;
  for (const Bytes& k : keys) {
    const uint64_t h = hash_key(k);
    Shard& s = shard_for(h);
    UniqueLock lock(s.lock);
    expire_if_due(s, k, h, now);
    auto r = remove_entry(s, k, h, Removal::Requested);
    if (!r) return store_err(r.error());
    if (r.value()) ++removed;
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

StoreResult<void> Store::flush() {
  if (auto w = writable(); !w) return w;
  std::vector<UniqueLock> locks;
  locks.reserve(shards_.size());
  for (Shard& s : shards_) locks.emplace_back(s.lock);
  WalRecord r;
  r.op = WalOp::FlushAll;
  if (!log(r)) return store_err(StoreError::PersistenceFailed);
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
  return {};
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

}  // namespace vellum
