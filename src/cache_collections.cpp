// The Cache type's hash, list and set methods: each converts its arguments, runs one
// store operation with the interpreter lock released and converts the result back.

#include <cstdint>

#include "cache_call.h"

namespace vellum::glue {

namespace {

PyObject* Cache_hset(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_field_value_method(
      op, args, nargs, kwnames, "hset",
      [](Store& s, BytesView k, BytesView f, BytesView v) { return s.hset(k, f, v); }, as_bool);
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


PyObject* Cache_lpush(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "lpush",
                         [](Store& s, BytesView k, std::span<const Bytes> v) { return s.lpush(k, v); }, as_count);
}

PyObject* Cache_rpush(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return variadic_method(op, args, nargs, "rpush",
                         [](Store& s, BytesView k, std::span<const Bytes> v) { return s.rpush(k, v); }, as_count);
}

// lpop/rpop(key, count=None): one item or None without a count; with one a list of up
// to `count` items (empty for a missing key).
PyObject* pop_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name,
                     bool left) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "count", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* count_obj = Py_None;
    if (!bind_args(args, nargs, kwnames, name, names, 1, {&key_obj, &count_obj})) return nullptr;
    uint64_t count = 0;
    if (count_obj != Py_None && !extract_uint64(count_obj, "count", count)) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    if (count_obj == Py_None) {
      auto r = without_gil(call.store(), [&](Store& s) { return left ? s.lpop(key) : s.rpop(key); });
      return finish(*call.store(), r, as_value);
    }
    auto r = without_gil(call.store(), [&](Store& s) { return s.pop_count(key, count, left); });
    return finish(*call.store(), r, as_list);
  });
}

PyObject* Cache_lpop(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return pop_method(op, args, nargs, kwnames, "lpop", true);
}

PyObject* Cache_rpop(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return pop_method(op, args, nargs, kwnames, "rpop", false);
}

PyObject* Cache_lindex(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "index", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* index_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "lindex", names, 2, {&key_obj, &index_obj})) return nullptr;
    int64_t index = 0;
    if (!extract_int64(index_obj, "index", index)) return nullptr;
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.lindex(key, index); });
    return finish(*call.store(), r, as_value);
  });
}

// lpos(key, element, rank=1, count=None, maxlen=0): the first match's index or None; with
// a count a list of up to `count` indexes (0: all).
PyObject* Cache_lpos(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "element", "rank", "count", "maxlen", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* element_obj = nullptr;
    PyObject* rank_obj = nullptr;
    PyObject* count_obj = Py_None;
    PyObject* maxlen_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "lpos", names, 2, {&key_obj, &element_obj, &rank_obj, &count_obj, &maxlen_obj})) {
      return nullptr;
    }
    int64_t rank = 1;
    uint64_t count = 1;
    uint64_t maxlen = 0;
    if (rank_obj != nullptr && !extract_int64(rank_obj, "rank", rank)) return nullptr;
    if (rank == 0 || rank == INT64_MIN) {
      PyErr_SetString(PyExc_ValueError, "rank must not be 0");
      return nullptr;
    }
    if (count_obj != Py_None && !extract_uint64(count_obj, "count", count)) return nullptr;
    if (maxlen_obj != nullptr && !extract_uint64(maxlen_obj, "maxlen", maxlen)) return nullptr;
    ArgBytes key;
    ArgBytes element;
    if (!extract_bytes(key_obj, key) || !extract_bytes(element_obj, element)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.lpos(key, element, rank, count, maxlen); });
    if (!r) return store_error_to_py(*call.store(), r.error());
    if (count_obj == Py_None) {
      if (r.value().empty()) Py_RETURN_NONE;
      return to_py_i64(r.value().front());
    }
    PyObject* out = PyList_New(0);
    if (out == nullptr) return nullptr;
    for (int64_t i : r.value()) {
      PyObject* item = to_py_i64(i);
      if (item == nullptr || PyList_Append(out, item) < 0) {
        Py_XDECREF(item);
        Py_DECREF(out);
        return nullptr;
      }
      Py_DECREF(item);
    }
    return out;
  });
}

PyObject* Cache_lrange(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key", "start", "stop", nullptr};
  return key_int_and_method<int64_t>(
      op, args, nargs, kwnames, "lrange", names,
      [](Store& s, BytesView k, int64_t start, int64_t stop) { return s.lrange(k, start, stop); }, as_list);
}

// lset(key, index, value): None; KeyError for a missing key, IndexError out of range.
PyObject* Cache_lset(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key", "index", "value", nullptr};
  return key_int_and_method<ArgBytes>(
      op, args, nargs, kwnames, "lset", names,
      [](Store& s, BytesView k, int64_t index, const ArgBytes& v) { return s.lset(k, index, v); }, as_none);
}

PyObject* Cache_ltrim(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key", "start", "stop", nullptr};
  return key_int_and_method<int64_t>(
      op, args, nargs, kwnames, "ltrim", names,
      [](Store& s, BytesView k, int64_t start, int64_t stop) { return s.ltrim(k, start, stop); }, as_none);
}

// lrem(key, count, value): the number removed (count > 0 from the head, < 0 from the
// tail, 0 every match).
PyObject* Cache_lrem(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key", "count", "value", nullptr};
  return key_int_and_method<ArgBytes>(
      op, args, nargs, kwnames, "lrem", names,
      [](Store& s, BytesView k, int64_t count, const ArgBytes& v) { return s.lrem(k, count, v); }, as_count);
}

// A list end named "left" or "right" in any case: true for left; false with ValueError
// set for any other text.
bool extract_end(PyObject* obj, const char* name, const char* first, const char* second, bool& is_first) {
  std::string text;
  if (!extract_text(obj, name, text)) return false;
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (text == first || text == second) {
    is_first = text == first;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "%s must be '%s' or '%s', not %s", name, first, second, quoted(text).c_str());
  return false;
}

// linsert(key, where, pivot, value): where "before" or "after"; the new length, -1 when
// the pivot is missing, 0 when the key is.
PyObject* Cache_linsert(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "where", "pivot", "value", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* where_obj = nullptr;
    PyObject* pivot_obj = nullptr;
    PyObject* value_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "linsert", names, 4, {&key_obj, &where_obj, &pivot_obj, &value_obj})) {
      return nullptr;
    }
    bool before = false;
    if (!extract_end(where_obj, "where", "before", "after", before)) return nullptr;
    ArgBytes key;
    ArgBytes pivot;
    ArgBytes value;
    if (!extract_bytes(key_obj, key) || !extract_bytes(pivot_obj, pivot) || !extract_bytes(value_obj, value)) {
      return nullptr;
    }
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.linsert(key, !before, pivot, value); });
    return finish(*call.store(), r, as_number);
  });
}

// lmove(src, dst, wherefrom="left", whereto="right") and rpoplpush(src, dst): the moved
// item, or None when src is missing.
PyObject* move_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool with_ends) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"src", "dst", "wherefrom", "whereto", nullptr};
    PyObject* src_obj = nullptr;
    PyObject* dst_obj = nullptr;
    PyObject* from_obj = nullptr;
    PyObject* to_obj = nullptr;
    if (with_ends) {
      if (!bind_args(args, nargs, kwnames, "lmove", names, 2, {&src_obj, &dst_obj, &from_obj, &to_obj})) return nullptr;
    } else if (!bind_args(args, nargs, kwnames, "rpoplpush", names, 2, {&src_obj, &dst_obj})) {
      return nullptr;
    }
    bool from_left = with_ends;
    bool to_left = !with_ends;
    if (from_obj != nullptr && !extract_end(from_obj, "wherefrom", "left", "right", from_left)) return nullptr;
    if (to_obj != nullptr && !extract_end(to_obj, "whereto", "left", "right", to_left)) return nullptr;
    ArgBytes src;
    ArgBytes dst;
    if (!extract_bytes(src_obj, src) || !extract_bytes(dst_obj, dst)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return s.lmove(src, dst, from_left, to_left); });
    return finish(*call.store(), r, as_value);
  });
}

PyObject* Cache_lmove(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return move_method(op, args, nargs, kwnames, true);
}

PyObject* Cache_rpoplpush(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return move_method(op, args, nargs, kwnames, false);
}

PyObject* Cache_llen(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_method(op, args, nargs, kwnames, "O:llen", [](Store& s, BytesView k) { return s.llen(k); }, as_count);
}


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

const PyMethodDef kMethods[] = {
    {"hset", method(Cache_hset), kArgs, "hset($self, key, field, value)\n--\n\n"},
    {"hget", method(Cache_hget), kArgs, "hget($self, key, field)\n--\n\n"},
    {"hdel", method(Cache_hdel), METH_FASTCALL, "hdel($self, key, /, *fields)\n--\n\n"},
    {"hgetall", method(Cache_hgetall), kArgs, "hgetall($self, key)\n--\n\n"},
    {"hlen", method(Cache_hlen), kArgs, "hlen($self, key)\n--\n\n"},
    {"lpush", method(Cache_lpush), METH_FASTCALL, "lpush($self, key, /, *values)\n--\n\n"},
    {"rpush", method(Cache_rpush), METH_FASTCALL, "rpush($self, key, /, *values)\n--\n\n"},
    {"lpop", method(Cache_lpop), kArgs, "lpop($self, key, count=None)\n--\n\n"},
    {"rpop", method(Cache_rpop), kArgs, "rpop($self, key, count=None)\n--\n\n"},
    {"lindex", method(Cache_lindex), kArgs, "lindex($self, key, index)\n--\n\n"},
    {"lpos", method(Cache_lpos), kArgs, "lpos($self, key, element, rank=1, count=None, maxlen=0)\n--\n\n"},
    {"lrange", method(Cache_lrange), kArgs, "lrange($self, key, start, stop)\n--\n\n"},
    {"llen", method(Cache_llen), kArgs, "llen($self, key)\n--\n\n"},
    {"lset", method(Cache_lset), kArgs, "lset($self, key, index, value)\n--\n\n"},
    {"ltrim", method(Cache_ltrim), kArgs, "ltrim($self, key, start, stop)\n--\n\n"},
    {"lrem", method(Cache_lrem), kArgs, "lrem($self, key, count, value)\n--\n\n"},
    {"linsert", method(Cache_linsert), kArgs, "linsert($self, key, where, pivot, value)\n--\n\n"},
    {"lmove", method(Cache_lmove), kArgs, "lmove($self, src, dst, wherefrom='left', whereto='right')\n--\n\n"},
    {"rpoplpush", method(Cache_rpoplpush), kArgs, "rpoplpush($self, src, dst)\n--\n\n"},
    {"sadd", method(Cache_sadd), METH_FASTCALL, "sadd($self, key, /, *members)\n--\n\n"},
    {"srem", method(Cache_srem), METH_FASTCALL, "srem($self, key, /, *members)\n--\n\n"},
    {"smembers", method(Cache_smembers), kArgs, "smembers($self, key)\n--\n\n"},
    {"sismember", method(Cache_sismember), kArgs, "sismember($self, key, member)\n--\n\n"},
    {"scard", method(Cache_scard), kArgs, "scard($self, key)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> cache_collection_methods() { return kMethods; }

}  // namespace vellum::glue
