// The Cache type: a thin adapter from Python calls to one Store operation each.
//
// In Python terms the class is:
//
//     class Cache:
//         def __new__(cls, max_memory=0, policy="noeviction", shards=64,
//                     persist_dir=None, fsync="everysec", snapshot_interval=300): ...
//         def close(self) -> None: ...
//         def save(self) -> None: ...
//         persistent: bool
//         persist_stats: dict | None
//         def set(self, key, value, ex=None, px=None, nx=False, xx=False) -> bool: ...
//         def get(self, key) -> bytes | None: ...
//         ...                                # one method per store operation
//         def __len__(self) -> int: ...      # live keys
//
// Every method converts its arguments with the interpreter lock held, applies the checks
// that belong to the Python surface, runs exactly one store operation with the lock
// released (see without_gil) and converts the result back. A check or conversion that
// fails leaves the store untouched.

#include <cassert>
#include <cstring>
#include <limits>
#include <utility>

#include "persist/data_dir.h"
#include "glue.h"

namespace vellum::glue {

namespace {

// ---- helpers ----

// PyArg_ParseTupleAndKeywords takes a non-const keyword list before Python 3.13; it never
// writes through it. Only the constructor parses that way; methods use the vectorcall
// convention through bind_args.
char** kw(const char* const* list) { return const_cast<char**>(list); }

CachePayload& payload_of(PyObject* op) { return reinterpret_cast<CacheObject*>(op)->payload; }

// The Store of one call, with the object's shared borrow held until the call returns.
class CacheCall {
 public:
  explicit CacheCall(PyObject* op) : payload_(payload_of(op)), borrow_(payload_.borrows) {}
  const std::shared_ptr<Store>& store() const { return payload_.store; }
  const CachePayload& payload() const { return payload_; }

 private:
  CachePayload& payload_;
  Borrow borrow_;
};

template <class T, class Out>
PyObject* finish(const StoreResult<T>& r, Out convert) {
  if (!r) return store_error_to_py(r.error());
  return convert(r.value());
}

template <class T, class Out>
PyObject* finish(const T& v, Out convert) {
  return convert(v);
}

const auto as_value = [](const auto& v) { return to_py(v); };
const auto as_bool = [](bool v) { return to_py_bool(v); };
const auto as_count = [](uint64_t v) { return to_py_u64(v); };
const auto as_number = [](int64_t v) { return to_py_i64(v); };
const auto as_list = [](const auto& v) { return to_py_list(v); };
const auto as_dict = [](const auto& v) { return to_py_dict(v); };
const auto as_set = [](const auto& v) { return to_py_set(v); };

const char* const kKey[] = {"key", nullptr};
const char* const kKeyValue[] = {"key", "value", nullptr};
const char* const kKeyField[] = {"key", "field", nullptr};

// The method name of a format such as "O:get", for call-shape messages.
const char* name_of(const char* format) { return std::strchr(format, ':') + 1; }

// A method whose only argument is the key.
template <class Op, class Out>
PyObject* key_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                     Op store_op, Out convert) {
  return guarded([&]() -> PyObject* {
    PyObject* key_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, name_of(format), kKey, 1, {&key_obj})) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return store_op(s, key.view()); });
    return finish(r, convert);
  });
}

// A method taking a key and one more byte string (a value, a field or a member).
template <class Op, class Out>
PyObject* key_pair_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          const char* format, const char* const* names, Op store_op, Out convert) {
  return guarded([&]() -> PyObject* {
    PyObject* key_obj = nullptr;
    PyObject* other_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, name_of(format), names, 2, {&key_obj, &other_obj})) return nullptr;
    ArgBytes key;
    ArgBytes other;
    if (!extract_bytes(key_obj, key) || !extract_bytes(other_obj, other)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return store_op(s, key.view(), other.view()); });
    return finish(r, convert);
  });
}

// A method `name(key, *items)`: the key first, then every item, in order.
template <class Op, class Out>
PyObject* variadic_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, const char* name, Op store_op,
                          Out convert) {
  return guarded([&]() -> PyObject* {
    if (nargs < 1) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument 'key' (pos 1)", name);
      return nullptr;
    }
    ArgBytes key;
    if (!extract_bytes(args[0], key)) return nullptr;
    std::vector<Bytes> items;
    if (!extract_bytes_items(args + 1, nargs - 1, items)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(),
                         [&](Store& s) { return store_op(s, key.view(), std::span<const Bytes>(items)); });
    return finish(r, convert);
  });
}

// ---- construction and destruction ----

bool valid_shards(uint64_t n) { return n >= 1 && n <= 65536 && (n & (n - 1)) == 0; }

PyObject* Cache_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"max_memory", "policy", "shards", "persist_dir",
                                        "fsync", "snapshot_interval", nullptr};
    PyObject* max_memory_obj = nullptr;
    PyObject* policy_obj = nullptr;
    PyObject* shards_obj = nullptr;
    PyObject* persist_dir_obj = nullptr;
    PyObject* fsync_obj = nullptr;
    PyObject* snapshot_interval_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOO:Cache", kw(names), &max_memory_obj, &policy_obj,
                                     &shards_obj, &persist_dir_obj, &fsync_obj, &snapshot_interval_obj)) {
      return nullptr;
    }

    // Conversion, in parameter order.
    uint64_t max_memory = 0;
    std::string policy = "noeviction";
    uint64_t shards = 64;
    std::optional<std::string> persist_dir;
    std::string persist_display;
    std::string fsync = "everysec";
    int64_t snapshot_interval = 300;
    if (max_memory_obj && !extract_uint64(max_memory_obj, "max_memory", max_memory)) return nullptr;
    if (policy_obj && !extract_text(policy_obj, "policy", policy)) return nullptr;
    if (shards_obj && !extract_uint64(shards_obj, "shards", shards)) return nullptr;
    if (persist_dir_obj && !extract_path(persist_dir_obj, "persist_dir", persist_dir, persist_display)) {
      return nullptr;
    }
    if (fsync_obj && !extract_text(fsync_obj, "fsync", fsync)) return nullptr;
    if (snapshot_interval_obj && !extract_int64(snapshot_interval_obj, "snapshot_interval", snapshot_interval)) {
      return nullptr;
    }

    // Validation, in its own order; nothing exists yet when a check fails.
    StoreConfig config;
    if (!valid_shards(shards)) {
      PyErr_SetString(PyExc_ValueError, "shards must be a power of two between 1 and 65536");
      return nullptr;
    }
    if (policy == "noeviction") {
      config.policy = EvictionPolicy::NoEviction;
    } else if (policy == "allkeys-lru") {
      config.policy = EvictionPolicy::AllKeysLru;
    } else if (policy == "volatile-lru") {
      config.policy = EvictionPolicy::VolatileLru;
    } else {
      return raise_text(PyExc_ValueError, "unknown policy " + quoted(policy) +
                                              "; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'");
    }
    if (fsync == "always") {
      config.fsync = FsyncPolicy::Always;
    } else if (fsync == "everysec") {
      config.fsync = FsyncPolicy::EverySec;
    } else if (fsync == "never") {
      config.fsync = FsyncPolicy::Never;
    } else {
      return raise_text(PyExc_ValueError,
                        "unknown fsync " + quoted(fsync) + "; expected 'always', 'everysec' or 'never'");
    }
    if (snapshot_interval < 0) {
      PyErr_SetString(PyExc_ValueError, "snapshot_interval must be >= 0");
      return nullptr;
    }
    config.max_memory = max_memory;
    config.shards = shards;
    config.persist_dir = persist_dir;
    config.snapshot_interval = static_cast<uint64_t>(snapshot_interval);
    config.sweep_interval_ms = 100;

    std::shared_ptr<Store> store;
    if (!persist_dir) {
      store = Store::create(config);
    } else {
      IoResult<std::shared_ptr<Store>> opened = [&] {
        AllowThreads unlocked;
        return persist::open_store(config);
      }();
      if (!opened) return open_error_to_py(persist_display, opened.error());
      store = std::move(opened.value());
    }

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc != nullptr ? alloc(type, 0) : nullptr;
    if (self == nullptr) {
      // Give the data directory back before failing, so a retry can open it.
      if (persist_dir) {
        AllowThreads unlocked;
        persist::close(*store);
      }
      return nullptr;
    }
    CachePayload* payload = new (&payload_of(self)) CachePayload;
    payload->persist_dir = std::move(persist_dir);
    payload->persist_display = std::move(persist_display);
    payload->store = std::move(store);
    return self;
  });
}

void Cache_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  CachePayload& payload = payload_of(op);
  assert(payload.borrows.load() == 0);
  // The interpreter lock stays held: dealloc may run during interpreter shutdown, when a
  // thread must not give the lock up.
  payload.~CachePayload();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(op);
  Py_DECREF(type);
}

// ---- persistence surface ----

PyObject* Cache_close(PyObject* op, PyObject*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    without_gil(call.store(), [](Store& s) { persist::close(s); });
    Py_RETURN_NONE;
  });
}

PyObject* Cache_save(PyObject* op, PyObject*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    if (!call.payload().persist_dir) {
      PyErr_SetString(PyExc_ValueError, "persistence is not enabled");
      return nullptr;
    }
    IoResult<void> r = without_gil(call.store(), [](Store& s) { return persist::save(s); });
    if (!r) return raise_text(PyExc_OSError, "save failed: " + r.error().text);
    Py_RETURN_NONE;
  });
}

PyObject* Cache_get_persistent(PyObject* op, void*) {
  return to_py_bool(payload_of(op).persist_dir.has_value());
}

int set_item(PyObject* dict, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  int rc = PyDict_SetItemString(dict, name, value);
  Py_DECREF(value);
  return rc;
}

PyObject* Cache_get_persist_stats(PyObject* op, void*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    // Read with the interpreter lock held: it takes only the persistence's short locks.
    std::optional<persist::PersistStats> stats = persist::read_persist_stats(*call.store());
    if (!stats) Py_RETURN_NONE;
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return result_failed();
    PyObject* last_error = Py_None;
    Py_INCREF(last_error);
    if (stats->last_error) {
      Py_DECREF(last_error);
      last_error = PyUnicode_DecodeUTF8(stats->last_error->data(),
                                        static_cast<Py_ssize_t>(stats->last_error->size()), "replace");
    }
    if (set_item(dict, "last_save_ms", to_py_u64(stats->last_save_ms)) < 0 ||
        set_item(dict, "snapshot_bytes", to_py_u64(stats->snapshot_bytes)) < 0 ||
        set_item(dict, "wal_bytes", to_py_u64(stats->wal_bytes)) < 0 ||
        set_item(dict, "loaded_keys", to_py_u64(stats->loaded_keys)) < 0 ||
        set_item(dict, "last_error", last_error) < 0) {
      Py_DECREF(dict);
      return PyErr_Occurred() ? result_failed() : nullptr;
    }
    return dict;
  });
}

// ---- strings and keys ----

PyObject* Cache_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "value", "ex", "px", "nx", "xx", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* value_obj = nullptr;
    PyObject* ex_obj = Py_None;
    PyObject* px_obj = Py_None;
    PyObject* nx_obj = Py_False;
    PyObject* xx_obj = Py_False;
    if (!bind_args(args, nargs, kwnames, "set", names, 2, {&key_obj, &value_obj, &ex_obj, &px_obj,
                                     &nx_obj, &xx_obj})) {
      return nullptr;
    }
    // Expiry and flags are checked before the key is looked at.
    std::optional<uint64_t> ttl_ms;
    if (ex_obj != Py_None) {
      if (px_obj != Py_None) {
        PyErr_SetString(PyExc_ValueError, "ex and px are mutually exclusive");
        return nullptr;
      }
      int64_t ex = 0;
      if (!extract_positive(ex_obj, "ex", ex)) return nullptr;
      if (static_cast<uint64_t>(ex) > std::numeric_limits<uint64_t>::max() / 1000) {
        PyErr_SetString(PyExc_ValueError, "ex is too large");
        return nullptr;
      }
      ttl_ms = static_cast<uint64_t>(ex) * 1000;
    } else if (px_obj != Py_None) {
      int64_t px = 0;
      if (!extract_positive(px_obj, "px", px)) return nullptr;
      ttl_ms = static_cast<uint64_t>(px);
    }
    bool nx = false;
    bool xx = false;
    if (!extract_flag(nx_obj, "nx", nx) || !extract_flag(xx_obj, "xx", xx)) return nullptr;
    if (nx && xx) {
      PyErr_SetString(PyExc_ValueError, "nx and xx are mutually exclusive");
      return nullptr;
    }
    ArgBytes key;
    ArgBytes value;
    if (!extract_bytes(key_obj, key) || !extract_bytes(value_obj, value)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.set(key, value, ttl_ms, nx, xx); });
    return finish(r, as_bool);
  });
}

PyObject* Cache_get(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // The value is copied into a per-thread buffer whose capacity is reused from call to
  // call, so a hit allocates only the bytes object it returns. A buffer grown past 64 KiB
  // is given back, so one large read does not pin its size to the thread.
  thread_local Bytes value;
  auto found = [](bool hit) -> PyObject* {
    if (!hit) Py_RETURN_NONE;
    PyObject* out = to_py(value);
    if (value.capacity() > 65536) Bytes().swap(value);
    return out;
  };
  return key_method(op, args, nargs, kwnames, "O:get", [](Store& s, BytesView k) { return s.get_into(k, value); },
                    found);
}

PyObject* Cache_mget(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"keys", nullptr};
    PyObject* keys_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "mget", names, 1, {&keys_obj})) return nullptr;
    PyObject* it = PyObject_GetIter(keys_obj);
    if (it == nullptr) return nullptr;
    std::vector<Bytes> keys;
    while (PyObject* item = PyIter_Next(it)) {
      Bytes key;
      bool ok = extract_bytes(item, key);
      Py_DECREF(item);
      if (!ok) {
        Py_DECREF(it);
        return nullptr;
      }
      keys.push_back(std::move(key));
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.mget(keys); });
    return as_list(r);
  });
}

// Collects the (key, value) pairs of `mapping.items()`; false with an exception set.
bool mapping_pairs(PyObject* mapping, std::vector<std::pair<Bytes, Bytes>>& pairs) {
  PyObject* items_fn = PyObject_GetAttrString(mapping, "items");
  if (items_fn == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "expected a mapping, not %s", type_name(mapping).c_str());
    }
    return false;
  }
  PyObject* items = PyObject_CallNoArgs(items_fn);
  Py_DECREF(items_fn);
  if (items == nullptr) return false;
  PyObject* it = PyObject_GetIter(items);
  Py_DECREF(items);
  if (it == nullptr) return false;
  bool ok = true;
  while (ok) {
    PyObject* item = PyIter_Next(it);
    if (item == nullptr) {
      ok = !PyErr_Occurred();
      break;
    }
    if (!PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError, "mapping items must be (key, value) tuples, not %s", type_name(item).c_str());
      ok = false;
    } else if (PyTuple_Size(item) != 2) {
      PyErr_Format(PyExc_ValueError, "expected a mapping item of length 2, got length %zd", PyTuple_Size(item));
      ok = false;
    } else {
      std::pair<Bytes, Bytes> pair;
      ok = extract_bytes(PyTuple_GetItem(item, 0), pair.first) && extract_bytes(PyTuple_GetItem(item, 1), pair.second);
      if (ok) pairs.push_back(std::move(pair));
    }
    Py_DECREF(item);
  }
  Py_DECREF(it);
  return ok;
}

PyObject* Cache_mset(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"mapping", nullptr};
    PyObject* mapping = nullptr;
    if (!bind_args(args, nargs, kwnames, "mset", names, 1, {&mapping})) return nullptr;
    std::vector<std::pair<Bytes, Bytes>> pairs;
    if (!mapping_pairs(mapping, pairs)) return nullptr;
    CacheCall call(op);
    StoreResult<void> r = without_gil(call.store(), [&](Store& s) { return s.mset(pairs); });
    if (!r) return store_error_to_py(r.error());
    Py_RETURN_NONE;
  });
}

// incr and decr: `amount` first, then the key.
PyObject* incr_by(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                  bool negate) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "amount", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* amount_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, name_of(format), names, 1, {&key_obj, &amount_obj})) return nullptr;
    int64_t amount = 1;
    if (amount_obj && !extract_int64(amount_obj, "amount", amount)) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    if (negate) {
      if (amount == std::numeric_limits<int64_t>::min()) {
        PyErr_SetString(PyExc_ValueError, "decrement would overflow");
        return nullptr;
      }
      amount = -amount;
    }
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.incr_by(key, amount); });
    return finish(r, as_number);
  });
}

PyObject* Cache_incr(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { return incr_by(op, args, nargs, kwnames, "O|O:incr", false); }

PyObject* Cache_decr(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { return incr_by(op, args, nargs, kwnames, "O|O:decr", true); }

PyObject* Cache_append(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_pair_method(
      op, args, nargs, kwnames, "OO:append", kKeyValue, [](Store& s, BytesView k, BytesView v) { return s.append(k, v); },
      as_count);
}

PyObject* Cache_delete(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    std::vector<Bytes> keys;
    if (!extract_bytes_items(args, nargs, keys)) return nullptr;
    CacheCall call(op);
    uint64_t removed = without_gil(call.store(), [&](Store& s) { return s.del(keys); });
    return to_py_u64(removed);
  });
}

PyObject* Cache_exists(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:exists", [](Store& s, BytesView k) { return s.exists(k); }, as_bool);
}

// ---- expiry ----

PyObject* Cache_expire(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "seconds", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* seconds_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "expire", names, 2, {&key_obj, &seconds_obj})) return nullptr;
    int64_t seconds = 0;
    if (!extract_positive(seconds_obj, "seconds", seconds)) return nullptr;
    if (static_cast<uint64_t>(seconds) > std::numeric_limits<uint64_t>::max() / 1000) {
      PyErr_SetString(PyExc_ValueError, "seconds is too large");
      return nullptr;
    }
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    uint64_t ms = static_cast<uint64_t>(seconds) * 1000;
    CacheCall call(op);
    bool r = without_gil(call.store(), [&](Store& s) { return s.pexpire(key, ms); });
    return to_py_bool(r);
  });
}

PyObject* Cache_pexpire(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "milliseconds", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* ms_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "pexpire", names, 2, {&key_obj, &ms_obj})) return nullptr;
    int64_t ms = 0;
    if (!extract_positive(ms_obj, "milliseconds", ms)) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    bool r = without_gil(call.store(), [&](Store& s) { return s.pexpire(key, static_cast<uint64_t>(ms)); });
    return to_py_bool(r);
  });
}

PyObject* Cache_persist(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:persist", [](Store& s, BytesView k) { return s.persist(k); }, as_bool);
}

PyObject* Cache_ttl(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // Whole seconds rounded up, so a key with 1 ms left still reports 1.
  auto seconds = [](int64_t ms) { return to_py_i64(ms < 0 ? ms : (ms + 999) / 1000); };
  return key_method(op, args, nargs, kwnames, "O:ttl", [](Store& s, BytesView k) { return s.pttl(k); }, seconds);
}

PyObject* Cache_pttl(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:pttl", [](Store& s, BytesView k) { return s.pttl(k); }, as_number);
}

PyObject* Cache_keys(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"pattern", nullptr};
    PyObject* pattern_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "keys", names, 0, {&pattern_obj})) return nullptr;
    std::string pattern = "*";
    if (pattern_obj && !extract_text(pattern_obj, "pattern", pattern)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.keys(pattern); });
    return as_list(r);
  });
}

PyObject* Cache_flush(PyObject* op, PyObject*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    without_gil(call.store(), [](Store& s) { s.flush(); });
    Py_RETURN_NONE;
  });
}

PyObject* Cache_get_used_memory(PyObject* op, void*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    uint64_t used = without_gil(call.store(), [](Store& s) { return s.used_memory(); });
    return to_py_u64(used);
  });
}

// ---- hashes ----

PyObject* Cache_hset(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "field", "value", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* field_obj = nullptr;
    PyObject* value_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "hset", names, 3, {&key_obj, &field_obj, &value_obj})) {
      return nullptr;
    }
    ArgBytes key;
    ArgBytes field;
    ArgBytes value;
    if (!extract_bytes(key_obj, key) || !extract_bytes(field_obj, field) || !extract_bytes(value_obj, value)) {
      return nullptr;
    }
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.hset(key, field, value); });
    return finish(r, as_bool);
  });
}

PyObject* Cache_hget(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_pair_method(
      op, args, nargs, kwnames, "OO:hget", kKeyField, [](Store& s, BytesView k, BytesView f) { return s.hget(k, f); },
      as_value);
}

PyObject* Cache_hdel(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "hdel", [](Store& s, BytesView k, std::span<const Bytes> f) { return s.hdel(k, f); },
                         as_count);
}

PyObject* Cache_hgetall(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:hgetall", [](Store& s, BytesView k) { return s.hgetall(k); }, as_dict);
}

PyObject* Cache_hlen(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:hlen", [](Store& s, BytesView k) { return s.hlen(k); }, as_count);
}

// ---- lists ----

PyObject* Cache_lpush(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "lpush",
                         [](Store& s, BytesView k, std::span<const Bytes> v) { return s.lpush(k, v); }, as_count);
}

PyObject* Cache_rpush(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "rpush",
                         [](Store& s, BytesView k, std::span<const Bytes> v) { return s.rpush(k, v); }, as_count);
}

PyObject* Cache_lpop(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:lpop", [](Store& s, BytesView k) { return s.lpop(k); }, as_value);
}

PyObject* Cache_rpop(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:rpop", [](Store& s, BytesView k) { return s.rpop(k); }, as_value);
}

PyObject* Cache_lrange(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "start", "stop", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* start_obj = nullptr;
    PyObject* stop_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "lrange", names, 3, {&key_obj, &start_obj, &stop_obj})) {
      return nullptr;
    }
    int64_t start = 0;
    int64_t stop = 0;
    if (!extract_int64(start_obj, "start", start) || !extract_int64(stop_obj, "stop", stop)) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.lrange(key, start, stop); });
    return finish(r, as_list);
  });
}

PyObject* Cache_llen(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:llen", [](Store& s, BytesView k) { return s.llen(k); }, as_count);
}

// ---- sets ----

PyObject* Cache_sadd(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "sadd",
                         [](Store& s, BytesView k, std::span<const Bytes> m) { return s.sadd(k, m); }, as_count);
}

PyObject* Cache_srem(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "srem",
                         [](Store& s, BytesView k, std::span<const Bytes> m) { return s.srem(k, m); }, as_count);
}

PyObject* Cache_smembers(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:smembers", [](Store& s, BytesView k) { return s.smembers(k); }, as_set);
}

PyObject* Cache_sismember(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key", "member", nullptr};
  return key_pair_method(
      op, args, nargs, kwnames, "OO:sismember", names,
      [](Store& s, BytesView k, BytesView m) { return s.sismember(k, m); }, as_bool);
}

PyObject* Cache_scard(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:scard", [](Store& s, BytesView k) { return s.scard(k); }, as_count);
}

// ---- statistics and protocol slots ----

PyObject* Cache_counters(PyObject* op, PyObject*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    StoreCounters c = without_gil(call.store(), [](Store& s) { return s.counters(); });
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return result_failed();
    if (set_item(dict, "hits", to_py_u64(c.hits)) < 0 || set_item(dict, "misses", to_py_u64(c.misses)) < 0 ||
        set_item(dict, "evictions", to_py_u64(c.evictions)) < 0 ||
        set_item(dict, "expired", to_py_u64(c.expired)) < 0) {
      Py_DECREF(dict);
      return PyErr_Occurred() ? result_failed() : nullptr;
    }
    return dict;
  });
}

// The store's accounting as a full scan sees it, for soak tests and audits. The figures
// agree only while no other thread writes; the caller stops its writers first.
PyObject* Cache_audit(PyObject* op, PyObject*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    struct Audit {
      uint64_t charge_sum, used_memory, empty_collections;
    };
    Audit a = without_gil(call.store(), [](Store& s) {
      return Audit{s.audit_charge_sum(), s.used_memory(), s.audit_empty_collections()};
    });
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return result_failed();
    if (set_item(dict, "charge_sum", to_py_u64(a.charge_sum)) < 0 ||
        set_item(dict, "used_memory", to_py_u64(a.used_memory)) < 0 ||
        set_item(dict, "empty_collections", to_py_u64(a.empty_collections)) < 0) {
      Py_DECREF(dict);
      return PyErr_Occurred() ? result_failed() : nullptr;
    }
    return dict;
  });
}

Py_ssize_t Cache_len(PyObject* op) {
  try {
    CacheCall call(op);
    uint64_t n = without_gil(call.store(), [](Store& s) { return s.key_count(); });
    if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(n);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unexpected C++ exception");
  }
  return -1;
}

// ---- type definition ----

template <class F>
PyCFunction method(F fn) {
  // The interpreter calls through the flags' real signature; the generic function type
  // is the documented way to store other signatures in a method table.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef Cache_methods[] = {
    {"close", method(Cache_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"save", method(Cache_save), METH_NOARGS,
     "save($self)\n--\n\nWrites a snapshot now. Raises OSError on I/O failure, ValueError if persistence is off."},
    {"set", method(Cache_set), kArgs, "set($self, key, value, ex=None, px=None, nx=False, xx=False)\n--\n\n"},
    {"get", method(Cache_get), kArgs, "get($self, key)\n--\n\n"},
    {"mget", method(Cache_mget), kArgs, "mget($self, keys)\n--\n\n"},
    {"mset", method(Cache_mset), kArgs, "mset($self, mapping)\n--\n\n"},
    {"incr", method(Cache_incr), kArgs, "incr($self, key, amount=1)\n--\n\n"},
    {"decr", method(Cache_decr), kArgs, "decr($self, key, amount=1)\n--\n\n"},
    {"append", method(Cache_append), kArgs, "append($self, key, value)\n--\n\n"},
    {"delete", method(Cache_delete), METH_FASTCALL, "delete($self, /, *keys)\n--\n\n"},
    {"exists", method(Cache_exists), kArgs, "exists($self, key)\n--\n\n"},
    {"expire", method(Cache_expire), kArgs, "expire($self, key, seconds)\n--\n\n"},
    {"pexpire", method(Cache_pexpire), kArgs, "pexpire($self, key, milliseconds)\n--\n\n"},
    {"persist", method(Cache_persist), kArgs, "persist($self, key)\n--\n\n"},
    {"ttl", method(Cache_ttl), kArgs,
     "ttl($self, key)\n--\n\nRemaining TTL in whole seconds, rounded up. -2 if missing, -1 if no expiry."},
    {"pttl", method(Cache_pttl), kArgs, "pttl($self, key)\n--\n\n"},
    {"keys", method(Cache_keys), kArgs, "keys($self, pattern='*')\n--\n\n"},
    {"flush", method(Cache_flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {"hset", method(Cache_hset), kArgs, "hset($self, key, field, value)\n--\n\n"},
    {"hget", method(Cache_hget), kArgs, "hget($self, key, field)\n--\n\n"},
    {"hdel", method(Cache_hdel), METH_FASTCALL, "hdel($self, key, /, *fields)\n--\n\n"},
    {"hgetall", method(Cache_hgetall), kArgs, "hgetall($self, key)\n--\n\n"},
    {"hlen", method(Cache_hlen), kArgs, "hlen($self, key)\n--\n\n"},
    {"lpush", method(Cache_lpush), METH_FASTCALL, "lpush($self, key, /, *values)\n--\n\n"},
    {"rpush", method(Cache_rpush), METH_FASTCALL, "rpush($self, key, /, *values)\n--\n\n"},
    {"lpop", method(Cache_lpop), kArgs, "lpop($self, key)\n--\n\n"},
    {"rpop", method(Cache_rpop), kArgs, "rpop($self, key)\n--\n\n"},
    {"lrange", method(Cache_lrange), kArgs, "lrange($self, key, start, stop)\n--\n\n"},
    {"llen", method(Cache_llen), kArgs, "llen($self, key)\n--\n\n"},
    {"sadd", method(Cache_sadd), METH_FASTCALL, "sadd($self, key, /, *members)\n--\n\n"},
    {"srem", method(Cache_srem), METH_FASTCALL, "srem($self, key, /, *members)\n--\n\n"},
    {"smembers", method(Cache_smembers), kArgs, "smembers($self, key)\n--\n\n"},
    {"sismember", method(Cache_sismember), kArgs, "sismember($self, key, member)\n--\n\n"},
    {"scard", method(Cache_scard), kArgs, "scard($self, key)\n--\n\n"},
    {"_counters", method(Cache_counters), METH_NOARGS,
     "_counters($self)\n--\n\nHit, miss, eviction and expiry counts of the store, as a dict."},
    {"_audit", method(Cache_audit), METH_NOARGS,
     "_audit($self)\n--\n\nCharge sum, used_memory and empty collections of the store from a full scan, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Cache_getset[] = {
    {"persistent", Cache_get_persistent, nullptr, "True when this cache was opened with a `persist_dir`.", nullptr},
    {"persist_stats", Cache_get_persist_stats, nullptr,
     "Persistence counters as a dict, or None when persistence is off.", nullptr},
    {"used_memory", Cache_get_used_memory, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kCacheDoc[] =
    "Cache(max_memory=0, policy=\"noeviction\", shards=64, persist_dir=None, fsync=\"everysec\", "
    "snapshot_interval=300)\n--\n\n"
    "Bytes-level cache. The Python `vellum.Cache` wrapper adds decoding,\n"
    "JSON handling and dict-style sugar on top of this class.";

PyType_Slot Cache_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Cache_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Cache_dealloc)},
    {Py_tp_doc, const_cast<char*>(kCacheDoc)},
    {Py_tp_methods, Cache_methods},
    {Py_tp_getset, Cache_getset},
    {Py_mp_length, reinterpret_cast<void*>(Cache_len)},
    {0, nullptr},
};

// Default flags only: not a base type, not tracked by the cyclic collector (a Cache holds
// no Python object).
PyType_Spec Cache_spec = {
    "vellum._vellum.Cache",
    static_cast<int>(sizeof(CacheObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    Cache_slots,
};

}  // namespace

PyObject* cache_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&Cache_spec);
  return type;
}

std::shared_ptr<Store> cache_store(PyObject* obj) { return payload_of(obj).store; }

}  // namespace vellum::glue
