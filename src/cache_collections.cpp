// The Cache type's hash, list and set methods: each converts its arguments, runs one
// store operation with the interpreter lock released and converts the result back.

#include "cache_call.h"

namespace vellum::glue {

namespace {

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
    return finish(*call.store(), r, as_bool);
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
    return finish(*call.store(), r, as_list);
  });
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
    {"lpop", method(Cache_lpop), kArgs, "lpop($self, key)\n--\n\n"},
    {"rpop", method(Cache_rpop), kArgs, "rpop($self, key)\n--\n\n"},
    {"lrange", method(Cache_lrange), kArgs, "lrange($self, key, start, stop)\n--\n\n"},
    {"llen", method(Cache_llen), kArgs, "llen($self, key)\n--\n\n"},
    {"sadd", method(Cache_sadd), METH_FASTCALL, "sadd($self, key, /, *members)\n--\n\n"},
    {"srem", method(Cache_srem), METH_FASTCALL, "srem($self, key, /, *members)\n--\n\n"},
    {"smembers", method(Cache_smembers), kArgs, "smembers($self, key)\n--\n\n"},
    {"sismember", method(Cache_sismember), kArgs, "sismember($self, key, member)\n--\n\n"},
    {"scard", method(Cache_scard), kArgs, "scard($self, key)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> cache_collection_methods() { return kMethods; }

}  // namespace vellum::glue
