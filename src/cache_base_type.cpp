// CacheBase: the native base class of the package's `vellum.Cache`. It holds the typed
// cache's hot data methods, so that a get or a set through the wrapper costs about what
// the native call costs; the same methods written in Python would add a frame to every
// call.
//
// In Python terms the class is:
//
//     class CacheBase:
//         _native: Cache | Any    # the native Cache, or a stand-in (a forked child's guard)
//         _encode: Callable[[Any], bytes]
//         _decode: Callable[[bytes], Any]
//         _raw: bool              # values pass through unchanged: reads skip _decode
//         def get(self, key, default=None): ...
//         def set(self, key, value, ttl=None, nx=False, xx=False) -> bool: ...
//         def __getitem__(self, key): ...        # KeyError when missing
//         def __setitem__(self, key, value): ...
//         def __delitem__(self, key): ...        # KeyError when missing
//
// With a native `_native` each method runs the native method's implementation directly;
// with anything else it calls that object's method of the same name, so a stand-in sees
// every call. Writes encode with `_encode`, except bytes when `_raw` is set. A TTL other
// than a whole number of seconds is converted by `self._ttl_ms(ttl)`.

#include <cstddef>
#include <limits>

#include "cache_call.h"
// After Python.h (through cache_call.h), which it needs.
#include <structmember.h>

namespace vellum::glue {

namespace {

struct CacheBaseObject {
  PyObject_HEAD
  PyObject* native;
  PyObject* encode;
  PyObject* decode;
  char raw;  // the storage of a T_BOOL member
};

CacheBaseObject* base_of(PyObject* op) { return reinterpret_cast<CacheBaseObject*>(op); }

// Interned method names, created on first use and kept for the process.
PyObject* name(const char* text, PyObject*& slot) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}
PyObject* s_get = nullptr;
PyObject* s_set = nullptr;
PyObject* s_delete = nullptr;
PyObject* s_ttl_ms = nullptr;

bool is_native(PyObject* obj) {
  PyObject* type = cache_type();
  return type != nullptr && Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(type));
}

PyObject* required(PyObject* member, const char* attr) {
  if (member == nullptr) PyErr_SetString(PyExc_AttributeError, attr);
  return member;
}

// Raises KeyError(key) the way `raise KeyError(key)` does, whatever the key's type.
void raise_key_error(PyObject* key) {
  PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_KeyError, key, nullptr);
  if (exc == nullptr) return;
  PyErr_SetObject(PyExc_KeyError, exc);
  Py_DECREF(exc);
}

// The stored bytes under `key`, or None.
PyObject* fetch(CacheBaseObject* self, PyObject* key) {
  PyObject* native = required(self->native, "_native");
  if (native == nullptr) return nullptr;
  if (is_native(native)) return cache_get_value(native, key);
  PyObject* method = name("get", s_get);
  return method != nullptr ? PyObject_CallMethodObjArgs(native, method, key, nullptr) : nullptr;
}

// The value of found bytes (consumed).
PyObject* decoded(CacheBaseObject* self, PyObject* data) {
  if (self->raw) return data;
  PyObject* out = nullptr;
  if (required(self->decode, "_decode") != nullptr) out = PyObject_CallFunctionObjArgs(self->decode, data, nullptr);
  Py_DECREF(data);
  return out;
}

// The bytes to store for `value`: bytes as they are under a raw codec, else _encode(value).
PyObject* encoded(CacheBaseObject* self, PyObject* value) {
  if (self->raw && Py_IS_TYPE(value, &PyBytes_Type)) {
    Py_INCREF(value);
    return value;
  }
  if (required(self->encode, "_encode") == nullptr) return nullptr;
  return PyObject_CallFunctionObjArgs(self->encode, value, nullptr);
}

// native.set(*args) or native.delete(*args).
PyObject* call_native(CacheBaseObject* self, PyObject* method_name, PyObject* const* args, Py_ssize_t n,
                      PyObject* (*direct)(PyObject*, PyObject* const*, Py_ssize_t)) {
  PyObject* native = required(self->native, "_native");
  if (native == nullptr) return nullptr;
  if (is_native(native)) return direct(native, args, n);
  if (method_name == nullptr) return nullptr;
  PyObject* method = PyObject_GetAttr(native, method_name);
  if (method == nullptr) return nullptr;
  PyObject* tuple = PyTuple_New(n);
  if (tuple == nullptr) {
    Py_DECREF(method);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SetItem(tuple, i, args[i]);
  }
  PyObject* out = PyObject_Call(method, tuple, nullptr);
  Py_DECREF(tuple);
  Py_DECREF(method);
  return out;
}

PyObject* direct_set(PyObject* native, PyObject* const* args, Py_ssize_t n) {
  return cache_set(native, args, n, nullptr);
}

PyObject* CacheBase_get(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "default", nullptr};
    PyObject* key = nullptr;
    PyObject* dflt = Py_None;
    if (nargs == 1 && kwnames == nullptr) {
      key = args[0];
    } else if (!bind_args(args, nargs, kwnames, "get", names, 1, {&key, &dflt})) {
      return nullptr;
    }
    CacheBaseObject* self = base_of(op);
    PyObject* data = fetch(self, key);
    if (data == nullptr) return nullptr;
    if (data == Py_None) {
      Py_DECREF(data);
      Py_INCREF(dflt);
      return dflt;
    }
    return decoded(self, data);
  });
}

// ttl values that go to `ex` unchanged: whole seconds whose milliseconds fit in int64.
constexpr long long kMaxWholeSeconds = 9'223'372'036'854'775LL;

PyObject* CacheBase_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"key", "value", "ttl", "nx", "xx", nullptr};
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyObject* ttl = Py_None;
    PyObject* nx = Py_False;
    PyObject* xx = Py_False;
    if (nargs == 2 && kwnames == nullptr) {
      key = args[0];
      value = args[1];
    } else if (!bind_args(args, nargs, kwnames, "set", names, 2, {&key, &value, &ttl, &nx, &xx})) {
      return nullptr;
    }
    CacheBaseObject* self = base_of(op);
    PyObject* data = encoded(self, value);
    if (data == nullptr) return nullptr;
    PyObject* ms = nullptr;  // owned, when converted
    PyObject* call[6] = {key, data, Py_None, Py_None, nx, xx};
    Py_ssize_t n = 6;
    bool ok = true;
    if (ttl == Py_None) {
      int flagged = PyObject_IsTrue(nx);
      if (flagged == 0) flagged = PyObject_IsTrue(xx);
      ok = flagged >= 0;
      if (flagged == 0) n = 2;
    } else {
      int overflow = 0;
      const long long seconds = Py_IS_TYPE(ttl, &PyLong_Type) ? PyLong_AsLongLongAndOverflow(ttl, &overflow) : 0;
      if (seconds > 0 && seconds < kMaxWholeSeconds && overflow == 0) {
        call[2] = ttl;
      } else {
        PyObject* method = name("_ttl_ms", s_ttl_ms);
        ms = method != nullptr ? PyObject_CallMethodObjArgs(op, method, ttl, nullptr) : nullptr;
        ok = ms != nullptr;
        call[3] = ms;
      }
    }
    PyObject* out = ok ? call_native(self, name("set", s_set), call, n, direct_set) : nullptr;
    Py_XDECREF(ms);
    Py_DECREF(data);
    return out;
  });
}

PyObject* CacheBase_subscript(PyObject* op, PyObject* key) {
  return guarded([&]() -> PyObject* {
    CacheBaseObject* self = base_of(op);
    PyObject* data = fetch(self, key);
    if (data == nullptr) return nullptr;
    if (data == Py_None) {
      Py_DECREF(data);
      raise_key_error(key);
      return nullptr;
    }
    return decoded(self, data);
  });
}

int CacheBase_ass_subscript(PyObject* op, PyObject* key, PyObject* value) {
  PyObject* r = guarded([&]() -> PyObject* {
    CacheBaseObject* self = base_of(op);
    if (value == nullptr) {
      PyObject* removed = call_native(self, name("delete", s_delete), &key, 1, cache_delete);
      if (removed == nullptr) return nullptr;
      const int any = PyObject_IsTrue(removed);
      Py_DECREF(removed);
      if (any < 0) return nullptr;
      if (any == 0) {
        raise_key_error(key);
        return nullptr;
      }
      Py_RETURN_NONE;
    }
    PyObject* data = encoded(self, value);
    if (data == nullptr) return nullptr;
    PyObject* call[2] = {key, data};
    PyObject* out = call_native(self, name("set", s_set), call, 2, direct_set);
    Py_DECREF(data);
    return out;
  });
  if (r == nullptr) return -1;
  Py_DECREF(r);
  return 0;
}

int CacheBase_traverse(PyObject* op, visitproc visit, void* arg) {
  CacheBaseObject* self = base_of(op);
  Py_VISIT(self->native);
  Py_VISIT(self->encode);
  Py_VISIT(self->decode);
  Py_VISIT(Py_TYPE(op));
  return 0;
}

int CacheBase_clear(PyObject* op) {
  CacheBaseObject* self = base_of(op);
  Py_CLEAR(self->native);
  Py_CLEAR(self->encode);
  Py_CLEAR(self->decode);
  return 0;
}

void CacheBase_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  CacheBase_clear(op);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(op);
  Py_DECREF(type);
}

PyMethodDef CacheBase_methods[] = {
    {"get", method(CacheBase_get), kArgs,
     "get($self, key, default=None)\n--\n\nThe value under key, or default when the key is missing."},
    {"set", method(CacheBase_set), kArgs,
     "set($self, key, value, ttl=None, nx=False, xx=False)\n--\n\n"
     "Stores value; returns whether it was written (nx: only if absent, xx: only if present).\n\n"
     "ttl is in seconds (int, float) or a timedelta, kept to the millisecond, at least 1 ms."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef CacheBase_members[] = {
    {"_native", T_OBJECT_EX, offsetof(CacheBaseObject, native), 0, nullptr},
    {"_encode", T_OBJECT_EX, offsetof(CacheBaseObject, encode), 0, nullptr},
    {"_decode", T_OBJECT_EX, offsetof(CacheBaseObject, decode), 0, nullptr},
    {"_raw", T_BOOL, offsetof(CacheBaseObject, raw), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char kCacheBaseDoc[] =
    "The native base of vellum.Cache: its get, set and item access, run without a Python frame.";

}  // namespace

PyObject* cache_base_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kCacheBaseDoc)},
        {Py_tp_methods, CacheBase_methods},
        {Py_tp_members, CacheBase_members},
        {Py_tp_traverse, reinterpret_cast<void*>(CacheBase_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(CacheBase_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(CacheBase_dealloc)},
        {Py_mp_subscript, reinterpret_cast<void*>(CacheBase_subscript)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(CacheBase_ass_subscript)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "vellum._vellum.CacheBase",
        static_cast<int>(sizeof(CacheBaseObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    type = PyType_FromSpec(&spec);
  }
  return type;
}

}  // namespace vellum::glue
