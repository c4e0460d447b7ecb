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
// released (see without_gil; `get` first tries a read that does not wait, with the lock
// held) and converts the result back. A check or conversion that fails leaves the store
// untouched.

#include <cassert>
#include <cstring>
#include <iterator>
#include <limits>
#include <span>
#include <vector>
#include <utility>

#include "cache_call.h"
#include "persist/data_dir.h"

namespace vellum::glue {

namespace {

// PyArg_ParseTupleAndKeywords takes a non-const keyword list before Python 3.13; it never
// writes through it. Only the constructor parses that way; methods use the vectorcall
// convention through bind_args.
char** kw(const char* const* list) { return const_cast<char**>(list); }

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
        (void)persist::close(*store);
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
    IoResult<void> r = without_gil(call.store(), [](Store& s) { return persist::close(s); });
    if (!r) return raise_text(PyExc_OSError, r.error().text);
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

PyObject* Cache_get_used_memory(PyObject* op, void*) {
  return guarded([&]() -> PyObject* {
    CacheCall call(op);
    uint64_t used = without_gil(call.store(), [](Store& s) { return s.used_memory(); });
    return to_py_u64(used);
  });
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

// The type's method table: the lifecycle and statistics methods here, the data methods
// from their units. Built once, on the first cache_type() call, and kept for the process
// (the type points into it).
std::vector<PyMethodDef> build_methods() {
  const PyMethodDef lifecycle[] = {
    {"close", method(Cache_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"save", method(Cache_save), METH_NOARGS,
     "save($self)\n--\n\nWrites a snapshot now. Raises OSError on I/O failure, ValueError if persistence is off."},
  };
  const PyMethodDef statistics[] = {
    {"_counters", method(Cache_counters), METH_NOARGS,
     "_counters($self)\n--\n\nHit, miss, eviction and expiry counts of the store, as a dict."},
    {"_audit", method(Cache_audit), METH_NOARGS,
     "_audit($self)\n--\n\nCharge sum, used_memory and empty collections of the store from a full scan, as a dict."},
  };
  std::vector<PyMethodDef> all(std::begin(lifecycle), std::end(lifecycle));
  for (std::span<const PyMethodDef> part : {cache_string_methods(), cache_collection_methods(), cache_transaction_methods(),
                                            cache_key_methods(), cache_set_methods(), cache_hash_methods()}) {
    all.insert(all.end(), part.begin(), part.end());
  }
  all.insert(all.end(), std::begin(statistics), std::end(statistics));
  all.push_back({nullptr, nullptr, 0, nullptr});
  return all;
}

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

}  // namespace

PyObject* cache_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    static std::vector<PyMethodDef> methods = build_methods();
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(Cache_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Cache_dealloc)},
        {Py_tp_doc, const_cast<char*>(kCacheDoc)},
        {Py_tp_methods, methods.data()},
        {Py_tp_getset, Cache_getset},
        {Py_mp_length, reinterpret_cast<void*>(Cache_len)},
        {0, nullptr},
    };
    // Default flags only: not a base type, not tracked by the cyclic collector (a Cache
    // holds no Python object).
    static PyType_Spec spec = {
        "vellum._vellum.Cache",
        static_cast<int>(sizeof(CacheObject)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    type = PyType_FromSpec(&spec);
  }
  return type;
}

std::shared_ptr<Store> cache_store(PyObject* obj) { return payload_of(obj).store; }

}  // namespace vellum::glue
