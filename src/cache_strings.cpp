// The Cache type's string, key and expiry methods: each converts its arguments, runs one
// store operation with the interpreter lock released and converts the result back. `get`
// first tries the store's non-waiting read with the interpreter lock held (see glue.h).

#include "cache_call.h"

namespace vellum::glue {

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

// Runs inside `guarded` (its callers' entry points).
PyObject* cache_get_value(PyObject* op, PyObject* key_obj, uint64_t* version) {
  KeyArg key;
  if (!key.extract(key_obj)) return nullptr;
  CacheCall call(op);
  PyObject* out = nullptr;
  // Serialized counting: every caller holds the interpreter lock.
  const auto copy = [&](BytesView v, uint64_t found) {
    if (v.size() > kShortValue) return false;
    out = PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
    if (version != nullptr) *version = found;
    return true;
  };
  const auto attempt = call.store()->try_read_string(key.view(), Store::Counting::Serialized, true, copy);
  switch (attempt) {
    case Store::TryRead::Hit:
      return out != nullptr ? out : result_failed();
    case Store::TryRead::Miss:
      Py_RETURN_NONE;
    case Store::TryRead::WrongType:
      return store_error_to_py(*call.store(), StoreError::WrongType);
    case Store::TryRead::Busy:
    case Store::TryRead::Declined:
      break;
  }
  // The waiting path copies the value into a per-thread buffer whose capacity is reused
  // from call to call, so a hit allocates only the bytes object it returns. A buffer
  // grown past 64 KiB is given back, so one large read does not pin its size to the
  // thread.
  thread_local Bytes value;
  const ArgBytes& owned = key.owned();
  auto r = without_gil(call.store(), [&](Store& s) { return s.get_into(owned.view(), value, version); });
  if (!r) return store_error_to_py(*call.store(), r.error());
  if (!r.value()) Py_RETURN_NONE;
  out = to_py(value);
  if (value.capacity() > 65536) Bytes().swap(value);
  return out;
}

namespace {

PyObject* Cache_set_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
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
    return finish(*call.store(), r, as_bool);
  });
}

PyObject* Cache_get(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* key_obj = nullptr;
    if (nargs == 1 && kwnames == nullptr) {
      key_obj = args[0];
    } else if (!bind_args(args, nargs, kwnames, "get", kKey, 1, {&key_obj})) {
      return nullptr;
    }
    return cache_get_value(op, key_obj);
  });
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


PyObject* Cache_mset(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"mapping", nullptr};
    PyObject* mapping = nullptr;
    if (!bind_args(args, nargs, kwnames, "mset", names, 1, {&mapping})) return nullptr;
    std::vector<std::pair<Bytes, Bytes>> pairs;
    if (!mapping_pairs(mapping, pairs)) return nullptr;
    CacheCall call(op);
    StoreResult<void> r = without_gil(call.store(), [&](Store& s) { return s.mset(pairs); });
    if (!r) return store_error_to_py(*call.store(), r.error());
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
    return finish(*call.store(), r, as_number);
  });
}

PyObject* Cache_incr(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { return incr_by(op, args, nargs, kwnames, "O|O:incr", false); }

PyObject* Cache_decr(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { return incr_by(op, args, nargs, kwnames, "O|O:decr", true); }

PyObject* Cache_append(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_pair_method(
      op, args, nargs, kwnames, "OO:append", kKeyValue, [](Store& s, BytesView k, BytesView v) { return s.append(k, v); },
      as_count);
}

PyObject* Cache_delete_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    std::vector<Bytes> keys;
    if (!extract_bytes_items(args, nargs, keys)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.del(keys); });
    return finish(*call.store(), r, as_count);
  });
}

PyObject* Cache_exists(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:exists", [](Store& s, BytesView k) { return s.exists(k); }, as_bool);
}


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
    auto r = without_gil(call.store(), [&](Store& s) { return s.pexpire(key, ms); });
    return finish(*call.store(), r, as_bool);
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
    auto r = without_gil(call.store(), [&](Store& s) { return s.pexpire(key, static_cast<uint64_t>(ms)); });
    return finish(*call.store(), r, as_bool);
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
    StoreResult<void> r = without_gil(call.store(), [](Store& s) { return s.flush(); });
    if (!r) return store_error_to_py(*call.store(), r.error());
    Py_RETURN_NONE;
  });
}

const PyMethodDef kMethods[] = {
    {"set", method(Cache_set_method), kArgs, "set($self, key, value, ex=None, px=None, nx=False, xx=False)\n--\n\n"},
    {"get", method(Cache_get), kArgs, "get($self, key)\n--\n\n"},
    {"mget", method(Cache_mget), kArgs, "mget($self, keys)\n--\n\n"},
    {"mset", method(Cache_mset), kArgs, "mset($self, mapping)\n--\n\n"},
    {"incr", method(Cache_incr), kArgs, "incr($self, key, amount=1)\n--\n\n"},
    {"decr", method(Cache_decr), kArgs, "decr($self, key, amount=1)\n--\n\n"},
    {"append", method(Cache_append), kArgs, "append($self, key, value)\n--\n\n"},
    {"delete", method(Cache_delete_method), METH_FASTCALL, "delete($self, /, *keys)\n--\n\n"},
    {"exists", method(Cache_exists), kArgs, "exists($self, key)\n--\n\n"},
    {"expire", method(Cache_expire), kArgs, "expire($self, key, seconds)\n--\n\n"},
    {"pexpire", method(Cache_pexpire), kArgs, "pexpire($self, key, milliseconds)\n--\n\n"},
    {"persist", method(Cache_persist), kArgs, "persist($self, key)\n--\n\n"},
    {"ttl", method(Cache_ttl), kArgs,
     "ttl($self, key)\n--\n\nRemaining TTL in whole seconds, rounded up. -2 if missing, -1 if no expiry."},
    {"pttl", method(Cache_pttl), kArgs, "pttl($self, key)\n--\n\n"},
    {"keys", method(Cache_keys), kArgs, "keys($self, pattern='*')\n--\n\n"},
    {"flush", method(Cache_flush), METH_NOARGS, "flush($self)\n--\n\n"},
};

}  // namespace

PyObject* cache_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Cache_set_method(op, args, nargs, kwnames);
}

PyObject* cache_delete(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return Cache_delete_method(op, args, nargs);
}

std::span<const PyMethodDef> cache_string_methods() { return kMethods; }

}  // namespace vellum::glue
