// The Cache type's hash methods beyond hset, hget, hdel, hgetall and hlen. Each converts
// its arguments, runs one store operation with the interpreter lock released and converts
// the result back.

#include <cmath>
#include <cstdlib>

#include "cache_call.h"

namespace vellum::glue {

namespace {

PyObject* Cache_hmget(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "hmget",
                         [](Store& s, BytesView k, std::span<const Bytes> f) { return s.hmget(k, f); }, as_list);
}

PyObject* Cache_hkeys(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:hkeys", [](Store& s, BytesView k) { return s.hkeys(k); }, as_list);
}

PyObject* Cache_hvals(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:hvals", [](Store& s, BytesView k) { return s.hvals(k); }, as_list);
}

PyObject* Cache_hexists(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_pair_method(
      op, args, nargs, kwnames, "OO:hexists", kKeyField,
      [](Store& s, BytesView k, BytesView f) { return s.hexists(k, f); }, as_bool);
}

PyObject* Cache_hstrlen(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_pair_method(
      op, args, nargs, kwnames, "OO:hstrlen", kKeyField,
      [](Store& s, BytesView k, BytesView f) { return s.hstrlen(k, f); }, as_count);
}

PyObject* Cache_hsetnx(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_field_value_method(
      op, args, nargs, kwnames, "hsetnx",
      [](Store& s, BytesView k, BytesView f, BytesView v) { return s.hsetnx(k, f, v); }, as_bool);
}

PyObject* Cache_hincrby(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "field", "amount", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* field_obj = nullptr;
    PyObject* amount_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "hincrby", names, 2, {&key_obj, &field_obj, &amount_obj})) return nullptr;
    int64_t amount = 1;
    if (amount_obj != nullptr && !extract_int64(amount_obj, "amount", amount)) return nullptr;
    ArgBytes key;
    ArgBytes field;
    if (!extract_bytes(key_obj, key) || !extract_bytes(field_obj, field)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.hincrby(key, field, amount); });
    return finish(*call.store(), r, as_number);
  });
}

PyObject* Cache_hincrbyfloat(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "field", "amount", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* field_obj = nullptr;
    PyObject* amount_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "hincrbyfloat", names, 2, {&key_obj, &field_obj, &amount_obj})) {
      return nullptr;
    }
    double amount = 1.0;
    if (amount_obj != nullptr) {
      if (PyBool_Check(amount_obj) || !(PyFloat_Check(amount_obj) || PyLong_Check(amount_obj))) {
        PyErr_SetString(PyExc_TypeError, "amount must be a float or an int");
        return nullptr;
      }
      amount = PyFloat_AsDouble(amount_obj);
      if (amount == -1.0 && PyErr_Occurred()) return nullptr;
    }
    ArgBytes key;
    ArgBytes field;
    if (!extract_bytes(key_obj, key) || !extract_bytes(field_obj, field)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) {
      if (!std::isfinite(amount)) return StoreResult<Bytes>(store_err(StoreError::NotAFloat));
      return s.hincrbyfloat(key, field, amount);
    });
    return finish(*call.store(), r, [](const Bytes& text) { return PyFloat_FromDouble(std::strtod(text.c_str(), nullptr)); });
  });
}

// hscan(key, cursor=0, match=None, count=10, novalues=False) -> (next cursor, {field:
// value}), or (next cursor, [field]) with novalues; the cursor's meaning is Store::hscan's.
PyObject* Cache_hscan(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "cursor", "match", "count", "novalues", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* cursor_obj = nullptr;
    PyObject* match_obj = nullptr;
    PyObject* count_obj = nullptr;
    PyObject* novalues_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "hscan", names, 1,
                   {&key_obj, &cursor_obj, &match_obj, &count_obj, &novalues_obj})) {
      return nullptr;
    }
    ScanArgs scan;
    if (!extract_scan_args(cursor_obj, match_obj, count_obj, scan)) return nullptr;
    bool no_values = false;
    if (novalues_obj != nullptr && !extract_flag(novalues_obj, "novalues", no_values)) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) {
      return s.hscan(key, scan.cursor, static_cast<uint64_t>(scan.count), scan.pattern_view(), no_values);
    });
    if (!r) return store_error_to_py(*call.store(), r.error());
    std::vector<Bytes>& items = r.value().items;
    if (no_values) return scan_result(r.value().cursor, to_py_list(items));
    std::vector<std::pair<Bytes, Bytes>> pairs;
    pairs.reserve(items.size() / 2);
    for (size_t i = 0; i + 1 < items.size(); i += 2) pairs.emplace_back(std::move(items[i]), std::move(items[i + 1]));
    return scan_result(r.value().cursor, to_py_dict(pairs));
  });
}

const PyMethodDef kMethods[] = {
    {"hscan", method(Cache_hscan), kArgs, "hscan($self, key, cursor=0, match=None, count=10, novalues=False)\n--\n\n"},
    {"hmget", method(Cache_hmget), METH_FASTCALL, "hmget($self, key, /, *fields)\n--\n\n"},
    {"hkeys", method(Cache_hkeys), kArgs, "hkeys($self, key)\n--\n\n"},
    {"hvals", method(Cache_hvals), kArgs, "hvals($self, key)\n--\n\n"},
    {"hexists", method(Cache_hexists), kArgs, "hexists($self, key, field)\n--\n\n"},
    {"hstrlen", method(Cache_hstrlen), kArgs, "hstrlen($self, key, field)\n--\n\n"},
    {"hsetnx", method(Cache_hsetnx), kArgs, "hsetnx($self, key, field, value)\n--\n\n"},
    {"hincrby", method(Cache_hincrby), kArgs, "hincrby($self, key, field, amount=1)\n--\n\n"},
    {"hincrbyfloat", method(Cache_hincrbyfloat), kArgs, "hincrbyfloat($self, key, field, amount=1.0)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> cache_hash_methods() { return kMethods; }

}  // namespace vellum::glue
