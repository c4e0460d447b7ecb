// The Cache type's set methods beyond add, remove and read: bulk membership, random
// choice, moving a member and the algebra. Each converts its arguments, runs one store
// operation with the interpreter lock released and converts the result back.

#include "cache_call.h"

namespace vellum::glue {

namespace {

PyObject* as_bool_list(const std::vector<bool>& flags) {
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(flags.size()));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < flags.size(); ++i) {
    PyObject* item = to_py_bool(flags[i]);
    if (item == nullptr || PyList_SetItem(out, static_cast<Py_ssize_t>(i), item) < 0) {
      Py_DECREF(out);
      return nullptr;
    }
  }
  return out;
}

// The items of an iterable as owned byte strings; false with an exception set.
bool extract_iterable(PyObject* obj, std::vector<Bytes>& out) {
  PyObject* it = PyObject_GetIter(obj);
  if (it == nullptr) return false;
  while (PyObject* item = PyIter_Next(it)) {
    Bytes b;
    const bool ok = extract_bytes(item, b);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
    out.push_back(std::move(b));
  }
  Py_DECREF(it);
  return PyErr_Occurred() == nullptr;
}

PyObject* Cache_smismember(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "smismember",
                         [](Store& s, BytesView k, std::span<const Bytes> m) { return s.smismember(k, m); },
                         as_bool_list);
}

// srandmember(key, count=None) and spop(key, count=None): one member or None without a
// count, a list with one.
template <class Op>
PyObject* random_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name,
                        Op store_op) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "count", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* count_obj = Py_None;
    if (!bind_args(args, nargs, kwnames, name, names, 1, {&key_obj, &count_obj})) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    int64_t count = 1;
    const bool single = count_obj == Py_None;
    if (!single && !extract_int64(count_obj, "count", count)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return store_op(s, key.view(), count); });
    if (!r) return store_error_to_py(*call.store(), r.error());
    if (!single) return to_py_list(r.value());
    if (r.value().empty()) Py_RETURN_NONE;
    return to_py(r.value().front());
  });
}

PyObject* Cache_srandmember(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return random_method(op, args, nargs, kwnames, "srandmember",
                       [](Store& s, BytesView k, int64_t n) { return s.srandmember(k, n); });
}

PyObject* Cache_spop(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return random_method(op, args, nargs, kwnames, "spop", [](Store& s, BytesView k, int64_t n) {
    if (n < 0) return StoreResult<std::vector<Bytes>>(std::vector<Bytes>{});
    return s.spop(k, static_cast<uint64_t>(n));
  });
}

PyObject* Cache_smove(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"src", "dst", "member", nullptr};
    PyObject* src_obj = nullptr;
    PyObject* dst_obj = nullptr;
    PyObject* member_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "smove", names, 3, {&src_obj, &dst_obj, &member_obj})) return nullptr;
    ArgBytes src;
    ArgBytes dst;
    ArgBytes member;
    if (!extract_bytes(src_obj, src) || !extract_bytes(dst_obj, dst) || !extract_bytes(member_obj, member)) {
      return nullptr;
    }
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.smove(src, dst, member); });
    return finish(*call.store(), r, as_bool);
  });
}

template <Store::SetOp Op>
PyObject* Cache_combine(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    std::vector<Bytes> keys;
    if (!extract_bytes_items(args, nargs, keys)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.set_combine(Op, keys); });
    return finish(*call.store(), r, as_set);
  });
}

template <Store::SetOp Op>
PyObject* Cache_combine_store(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "set_store",
                         [](Store& s, BytesView d, std::span<const Bytes> k) { return s.set_combine_store(Op, d, k); },
                         as_count);
}

PyObject* Cache_sintercard(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"keys", "limit", nullptr};
    PyObject* keys_obj = nullptr;
    PyObject* limit_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "sintercard", names, 1, {&keys_obj, &limit_obj})) return nullptr;
    std::vector<Bytes> keys;
    if (!extract_iterable(keys_obj, keys)) return nullptr;
    uint64_t limit = 0;
    if (limit_obj != nullptr && !extract_uint64(limit_obj, "limit", limit)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.sintercard(keys, limit); });
    return finish(*call.store(), r, as_count);
  });
}

// sscan(key, cursor=0, match=None, count=10) -> (next cursor, members); the cursor's
// meaning is Store::sscan's.
PyObject* Cache_sscan(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "cursor", "match", "count", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* cursor_obj = nullptr;
    PyObject* match_obj = nullptr;
    PyObject* count_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "sscan", names, 1, {&key_obj, &cursor_obj, &match_obj, &count_obj})) {
      return nullptr;
    }
    ScanArgs scan;
    if (!extract_scan_args(cursor_obj, match_obj, count_obj, scan)) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) {
      return s.sscan(key, scan.cursor, static_cast<uint64_t>(scan.count), scan.pattern_view());
    });
    if (!r) return store_error_to_py(*call.store(), r.error());
    return scan_result(r.value().cursor, to_py_list(r.value().items));
  });
}

const PyMethodDef kMethods[] = {
    {"sscan", method(Cache_sscan), kArgs, "sscan($self, key, cursor=0, match=None, count=10)\n--\n\n"},
    {"smismember", method(Cache_smismember), METH_FASTCALL, "smismember($self, key, /, *members)\n--\n\n"},
    {"srandmember", method(Cache_srandmember), kArgs,
     "srandmember($self, key, count=None)\n--\n\nWithout a count one member or None; with a count a list: "
     "count >= 0 distinct members, count < 0 -count members with repeats."},
    {"spop", method(Cache_spop), kArgs,
     "spop($self, key, count=None)\n--\n\nRemoves and returns one random member (or None), or a list of up to "
     "count distinct ones."},
    {"smove", method(Cache_smove), kArgs, "smove($self, src, dst, member)\n--\n\n"},
    {"sinter", method(Cache_combine<Store::SetOp::Inter>), METH_FASTCALL, "sinter($self, /, *keys)\n--\n\n"},
    {"sunion", method(Cache_combine<Store::SetOp::Union>), METH_FASTCALL, "sunion($self, /, *keys)\n--\n\n"},
    {"sdiff", method(Cache_combine<Store::SetOp::Diff>), METH_FASTCALL, "sdiff($self, /, *keys)\n--\n\n"},
    {"sinterstore", method(Cache_combine_store<Store::SetOp::Inter>), METH_FASTCALL,
     "sinterstore($self, dst, /, *keys)\n--\n\n"},
    {"sunionstore", method(Cache_combine_store<Store::SetOp::Union>), METH_FASTCALL,
     "sunionstore($self, dst, /, *keys)\n--\n\n"},
    {"sdiffstore", method(Cache_combine_store<Store::SetOp::Diff>), METH_FASTCALL,
     "sdiffstore($self, dst, /, *keys)\n--\n\n"},
    {"sintercard", method(Cache_sintercard), kArgs, "sintercard($self, keys, limit=0)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> cache_set_methods() { return kMethods; }

}  // namespace vellum::glue
