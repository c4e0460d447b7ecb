#pragma once
// The call shape shared by the Cache type's methods, which live in several units
// (cache_type.cpp, cache_strings.cpp, cache_collections.cpp): the borrow of one call,
// argument binding for the common signatures, and result conversion. Everything here
// runs with the interpreter lock held, except the store call inside `without_gil`.

#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "glue.h"

namespace vellum::glue {

inline CachePayload& payload_of(PyObject* op) { return reinterpret_cast<CacheObject*>(op)->payload; }

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
PyObject* finish(const Store& store, const StoreResult<T>& r, Out convert) {
  if (!r) return store_error_to_py(store, r.error());
  return convert(r.value());
}

template <class T, class Out>
PyObject* finish(const Store&, const T& v, Out convert) {
  return convert(v);
}

inline constexpr auto as_value = [](const auto& v) { return to_py(v); };
inline constexpr auto as_bool = [](bool v) { return to_py_bool(v); };
inline constexpr auto as_count = [](uint64_t v) { return to_py_u64(v); };
inline constexpr auto as_number = [](int64_t v) { return to_py_i64(v); };
inline constexpr auto as_list = [](const auto& v) { return to_py_list(v); };
inline constexpr auto as_dict = [](const auto& v) { return to_py_dict(v); };
inline constexpr auto as_set = [](const auto& v) { return to_py_set(v); };

inline constexpr const char* kKey[] = {"key", nullptr};
inline constexpr const char* kKeyValue[] = {"key", "value", nullptr};
inline constexpr const char* kKeyField[] = {"key", "field", nullptr};

// The method name of a format such as "O:get", for call-shape messages.
inline const char* name_of(const char* format) { return std::strchr(format, ':') + 1; }

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
    return finish(*call.store(), r, convert);
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
    return finish(*call.store(), r, convert);
  });
}

// A method `name(key, field, value)` of three byte strings.
template <class Op, class Out>
PyObject* key_field_value_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 const char* name, Op store_op, Out convert) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "field", "value", nullptr};
    PyObject* key_obj = nullptr;
    PyObject* field_obj = nullptr;
    PyObject* value_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, name, names, 3, {&key_obj, &field_obj, &value_obj})) return nullptr;
    ArgBytes key;
    ArgBytes field;
    ArgBytes value;
    if (!extract_bytes(key_obj, key) || !extract_bytes(field_obj, field) || !extract_bytes(value_obj, value)) {
      return nullptr;
    }
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return store_op(s, key.view(), field.view(), value.view()); });
    return finish(*call.store(), r, convert);
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
    return finish(*call.store(), r, convert);
  });
}

// A store call with no result value: None, or the error raised.
inline constexpr struct AsNone {
} as_none{};
inline PyObject* finish(const Store& store, const StoreResult<void>& r, AsNone) {
  if (!r) return store_error_to_py(store, r.error());
  Py_RETURN_NONE;
}

// A method `name(key, a, b)`: `names` are the three parameters; `a` is a signed 64-bit
// integer, and `b` one too when B is int64_t, else a byte string.
template <class B, class Op, class Out>
PyObject* key_int_and_method(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             const char* name, const char* const* names, Op store_op, Out convert) {
  return guarded([&]() -> PyObject* {
    PyObject* key_obj = nullptr;
    PyObject* a_obj = nullptr;
    PyObject* b_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, name, names, 3, {&key_obj, &a_obj, &b_obj})) return nullptr;
    int64_t a = 0;
    if (!extract_int64(a_obj, names[1], a)) return nullptr;
    B b{};
    if constexpr (std::is_same_v<B, int64_t>) {
      if (!extract_int64(b_obj, names[2], b)) return nullptr;
    } else {
      if (!extract_bytes(b_obj, b)) return nullptr;
    }
    ArgBytes key;
    if (!extract_bytes(key_obj, key)) return nullptr;
    CacheCall call(op);
    auto r = without_gil(call.store(), [&](Store& s) { return store_op(s, key.view(), a, b); });
    return finish(*call.store(), r, convert);
  });
}

// The cursor, match pattern and count of scan, hscan and sscan (a null object keeps the
// default: cursor 0, count 10; None for `match_obj` gives no pattern). False with the
// Python error set.
struct ScanArgs {
  uint64_t cursor = 0;
  std::optional<std::string> pattern;
  int64_t count = 10;
  std::optional<BytesView> pattern_view() const {
    return pattern ? std::optional<BytesView>(*pattern) : std::nullopt;
  }
};
bool extract_scan_args(PyObject* cursor_obj, PyObject* match_obj, PyObject* count_obj, ScanArgs& out);
// (cursor, items): the result of every scan method. Steals `items`; nullptr when it is.
PyObject* scan_result(uint64_t cursor, PyObject* items);

template <class F>
PyCFunction method(F fn) {
  // The interpreter calls through the flags' real signature; the generic function type
  // is the documented way to store other signatures in a method table.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

inline constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

// The native get, set and delete for the other units (the wrapper base, memoization).
// `op` is a Cache; the arguments are those of the Python methods. cache_get_value takes
// the key only and returns bytes or None; on a hit `version`, when given, receives the
// entry's version, read together with the value.
PyObject* cache_get_value(PyObject* op, PyObject* key, uint64_t* version = nullptr);
PyObject* cache_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_delete(PyObject* op, PyObject* const* args, Py_ssize_t nargs);

// The method-table rows of each unit, without the terminating sentinel; cache_type.cpp
// joins them into the type's table.
std::span<const PyMethodDef> cache_string_methods();
std::span<const PyMethodDef> cache_collection_methods();
std::span<const PyMethodDef> cache_transaction_methods();
std::span<const PyMethodDef> cache_key_methods();

// The (key, value) items of a mapping as owned bytes (mset, msetnx); false with the
// Python error set.
bool mapping_pairs(PyObject* mapping, std::vector<std::pair<Bytes, Bytes>>& pairs);
std::span<const PyMethodDef> cache_set_methods();
std::span<const PyMethodDef> cache_hash_methods();

}  // namespace vellum::glue
