// The Cache type's further string and key methods (getdel, getex, getset, strlen, msetnx,
// incrbyfloat, setnx, type, touch, pexpireat, pexpiretime, rename, renamenx): each
// converts its arguments, runs one store operation with the
// interpreter lock released and converts the result back.

#include <cmath>
#include <cstdlib>

#include "cache_call.h"

namespace vellum::glue {

namespace {

constexpr auto as_optional_bytes = [](const std::optional<Bytes>& v) -> PyObject* {
  if (!v) Py_RETURN_NONE;
  return to_py(*v);
};

// At most one of ex/px/exat/pxat, each a positive integer; `out` is left as it is when
// none is given.
bool extract_expiry(PyObject* ex, PyObject* px, PyObject* exat, PyObject* pxat, Store::Expiry& out) {
  struct Option {
    PyObject* obj;
    const char* name;
    bool seconds;
    Store::ExpiryMode mode;
  };
  const Option options[] = {{ex, "ex", true, Store::ExpiryMode::Relative},
                            {px, "px", false, Store::ExpiryMode::Relative},
                            {exat, "exat", true, Store::ExpiryMode::Absolute},
                            {pxat, "pxat", false, Store::ExpiryMode::Absolute}};
  bool seen = false;
  for (const Option& o : options) {
    if (o.obj == Py_None) continue;
    if (seen) {
      PyErr_SetString(PyExc_ValueError, "ex, px, exat, pxat and persist are mutually exclusive");
      return false;
    }
    seen = true;
    int64_t v = 0;
    if (!extract_positive(o.obj, o.name, v)) return false;
    if (o.seconds && static_cast<uint64_t>(v) > std::numeric_limits<uint64_t>::max() / 1000) {
      PyErr_Format(PyExc_ValueError, "%s is too large", o.name);
      return false;
    }
    out.mode = o.mode;
    out.ms = static_cast<uint64_t>(v) * (o.seconds ? 1000 : 1);
  }
  return true;
}

PyObject* Cache_getdel(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:getdel", [](Store& s, BytesView k) { return s.getdel(k); },
                    as_optional_bytes);
}

PyObject* Cache_getex(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "ex", "px", "exat", "pxat", "persist", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* ex = Py_None;
    PyObject* px = Py_None;
    PyObject* exat = Py_None;
    PyObject* pxat = Py_None;
    PyObject* persist_obj = Py_False;
    if (!bind_args(args, nargs, kwnames, "getex", names, 1, {&key_obj, &ex, &px, &exat, &pxat, &persist_obj})) {
      return nullptr;
    }
    Store::Expiry expiry;
    expiry.mode = Store::ExpiryMode::Keep;
    if (!extract_expiry(ex, px, exat, pxat, expiry)) return nullptr;
    bool persist = false;
    if (!extract_flag(persist_obj, "persist", persist)) return nullptr;
    if (persist) {
      if (expiry.mode != Store::ExpiryMode::Keep) {
        PyErr_SetString(PyExc_ValueError, "ex, px, exat, pxat and persist are mutually exclusive");
        return nullptr;
      }
      expiry.mode = Store::ExpiryMode::Persist;
    }
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.getex(key.view(), expiry); });
    return finish(*call.store(), r, as_optional_bytes);
  });
}

PyObject* Cache_getset(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_pair_method(
      op, args, nargs, kwnames, "OO:getset", kKeyValue,
      [](Store& s, BytesView k, BytesView v) -> StoreResult<std::optional<Bytes>> {
        auto r = s.set_with(k, v, Store::Expiry{}, false, false, true);
        if (!r) return store_err(r.error());
        return std::move(r.value().old);
      },
      as_optional_bytes);
}

PyObject* Cache_setnx(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_pair_method(
      op, args, nargs, kwnames, "OO:setnx", kKeyValue,
      [](Store& s, BytesView k, BytesView v) { return s.set(k, v, std::nullopt, true, false); }, as_bool);
}

PyObject* Cache_strlen(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:strlen", [](Store& s, BytesView k) { return s.strlen(k); },
                    as_count);
}

PyObject* Cache_msetnx(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"mapping", nullptr};
    PyObject* mapping = nullptr;
    if (!bind_args(args, nargs, kwnames, "msetnx", names, 1, {&mapping})) return nullptr;
    std::vector<std::pair<Bytes, Bytes>> pairs;
    if (!mapping_pairs(mapping, pairs)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.msetnx(pairs); });
    return finish(*call.store(), r, as_bool);
  });
}

PyObject* Cache_incrbyfloat(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "amount", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* amount_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "incrbyfloat", names, 2, {&key_obj, &amount_obj})) return nullptr;
    if (PyBool_Check(amount_obj) || !(PyFloat_Check(amount_obj) || PyLong_Check(amount_obj))) {
      PyErr_SetString(PyExc_TypeError, "amount must be a float or an int");
      return nullptr;
    }
    const double amount = PyFloat_AsDouble(amount_obj);
    if (amount == -1.0 && PyErr_Occurred()) return nullptr;
    if (!std::isfinite(amount)) {
      PyErr_SetString(PyExc_ValueError, "amount must be finite");
      return nullptr;
    }
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.incr_by_float(key.view(), amount); });
    return finish(*call.store(), r, [](const Bytes& text) { return PyFloat_FromDouble(std::strtod(text.c_str(), nullptr)); });
  });
}

PyObject* Cache_type(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:type", [](const Store& s, BytesView k) { return s.type(k); },
                    [](std::string_view t) { return PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())); });
}

PyObject* Cache_touch(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::vector<Bytes> keys;
    if (!extract_bytes_items(args, nargs, keys)) return nullptr;
    CacheCall call(op);
    const uint64_t n = without_gil(call.store(), [&](Store& s) { return s.touch(keys); });
    return to_py_u64(n);
  });
}

PyObject* Cache_expiretime(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:pexpiretime",
                    [](const Store& s, BytesView k) { return s.expire_time_ms(k); }, as_number);
}

// pexpireat(key, ms, nx=False, xx=False, gt=False, lt=False): the absolute expiry in ms
// since the epoch, under at most one condition (gt and lt may not be combined with nx).
PyObject* Cache_pexpireat(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "ms", "nx", "xx", "gt", "lt", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* ms_obj = nullptr;
    PyObject* flags[4] = {Py_False, Py_False, Py_False, Py_False};
    if (!bind_args(args, nargs, kwnames, "pexpireat", names, 2,
                   {&key_obj, &ms_obj, &flags[0], &flags[1], &flags[2], &flags[3]})) {
      return nullptr;
    }
    int64_t ms = 0;
    if (!extract_int64(ms_obj, "ms", ms)) return nullptr;
    bool on[4] = {};
    const char* const flag_names[] = {"nx", "xx", "gt", "lt"};
    for (int i = 0; i < 4; ++i) {
      if (!extract_flag(flags[i], flag_names[i], on[i])) return nullptr;
    }
    if ((on[0] && (on[1] || on[2] || on[3])) || (on[2] && on[3])) {
      PyErr_SetString(PyExc_ValueError, "nx excludes xx, gt and lt; gt excludes lt");
      return nullptr;
    }
    using If = Store::ExpireIf;
    const If cond = on[0]   ? If::NoExpiry
                    : on[2] ? If::Later
                    : on[3] ? (on[1] ? If::EarlierWithExpiry : If::Earlier)
                    : on[1] ? If::HasExpiry
                            : If::Always;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    const uint64_t at = ms <= 0 ? 0 : static_cast<uint64_t>(ms);
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.expire_at_if(key.view(), at, cond); });
    return finish(*call.store(), r, as_bool);
  });
}

PyObject* rename_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                        bool nx) {
  static const char* const names[] = {"src", "dst", nullptr};
  return key_pair_method(
      op, args, nargs, kwnames, format, names, [nx](Store& s, BytesView a, BytesView b) { return s.rename(a, b, nx); },
      as_bool);
}

PyObject* Cache_rename(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return rename_method(op, args, nargs, kwnames, "OO:rename", false);
}

PyObject* Cache_renamenx(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return rename_method(op, args, nargs, kwnames, "OO:renamenx", true);
}

// scan(cursor=0, match=None, count=10, type=None) -> (next cursor, keys); the cursor's
// meaning is Store::scan's, 0 starting and ending a full iteration.
PyObject* Cache_scan(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"cursor", "match", "count", "type", nullptr};
    PyObject* cursor_obj = nullptr;
    PyObject* match_obj = Py_None;
    PyObject* count_obj = nullptr;
    PyObject* type_obj = Py_None;
    if (!bind_args(args, nargs, kwnames, "scan", names, 0, {&cursor_obj, &match_obj, &count_obj, &type_obj})) {
      return nullptr;
    }
    ScanArgs scan;
    if (!extract_scan_args(cursor_obj, match_obj, count_obj, scan)) return nullptr;
    std::string type;
    if (type_obj != Py_None && !extract_text(type_obj, "type", type)) return nullptr;
    CacheCall call(op);
    Store::ScanPage page = without_gil(call.store(), [&](Store& s) {
      return s.scan(scan.cursor, static_cast<uint64_t>(scan.count), scan.pattern_view(), type);
    });
    return scan_result(page.cursor, to_py_list(page.keys));
  });
}

const PyMethodDef kMethods[] = {
    {"getdel", method(Cache_getdel), kArgs, "getdel($self, key)\n--\n\n"},
    {"getex", method(Cache_getex), kArgs,
     "getex($self, key, ex=None, px=None, exat=None, pxat=None, persist=False)\n--\n\n"},
    {"getset", method(Cache_getset), kArgs, "getset($self, key, value)\n--\n\n"},
    {"setnx", method(Cache_setnx), kArgs, "setnx($self, key, value)\n--\n\n"},
    {"strlen", method(Cache_strlen), kArgs, "strlen($self, key)\n--\n\n"},
    {"msetnx", method(Cache_msetnx), kArgs, "msetnx($self, mapping)\n--\n\n"},
    {"incrbyfloat", method(Cache_incrbyfloat), kArgs, "incrbyfloat($self, key, amount)\n--\n\n"},
    {"type", method(Cache_type), kArgs, "type($self, key)\n--\n\n"},
    {"touch", method(Cache_touch), METH_FASTCALL, "touch($self, /, *keys)\n--\n\n"},
    {"pexpiretime", method(Cache_expiretime), kArgs, "pexpiretime($self, key)\n--\n\n"},
    {"pexpireat", method(Cache_pexpireat), kArgs,
     "pexpireat($self, key, ms, nx=False, xx=False, gt=False, lt=False)\n--\n\n"},
    {"rename", method(Cache_rename), kArgs, "rename($self, src, dst)\n--\n\n"},
    {"renamenx", method(Cache_renamenx), kArgs, "renamenx($self, src, dst)\n--\n\n"},
    {"scan", method(Cache_scan), kArgs, "scan($self, cursor=0, match=None, count=10, type=None)\n--\n\n"},
};

}  // namespace

bool extract_scan_args(PyObject* cursor_obj, PyObject* match_obj, PyObject* count_obj, ScanArgs& out) {
  if (cursor_obj != nullptr && !extract_uint64(cursor_obj, "cursor", out.cursor)) return false;
  if (count_obj != nullptr && !extract_positive(count_obj, "count", out.count)) return false;
  if (match_obj != nullptr && match_obj != Py_None) {
    std::string pattern;
    if (!extract_text(match_obj, "match", pattern)) return false;
    out.pattern = std::move(pattern);
  }
  return true;
}

PyObject* scan_result(uint64_t cursor, PyObject* items) {
  if (items == nullptr) return nullptr;
  PyObject* next = to_py_u64(cursor);
  if (next == nullptr) {
    Py_DECREF(items);
    return nullptr;
  }
  PyObject* out = PyTuple_Pack(2, next, items);
  Py_DECREF(next);
  Py_DECREF(items);
  return out;
}

std::span<const PyMethodDef> cache_key_methods() { return kMethods; }

}  // namespace vellum::glue
