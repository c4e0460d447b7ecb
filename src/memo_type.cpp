// Memo: the callable of a memoized function (vellum.memoize). A call whose arguments it
// has seen recently returns the value it remembered for them, after one check of the
// store entry the value was read from, which copies nothing; every other call goes to
// `miss`, the package's Python path, which builds the store key, reads or computes the
// value and offers it back through `_remember`.
//
// In Python terms the class is:
//
//     class Memo:
//         def __new__(cls, cache, miss, typed=False, fast=True, size=4096): ...
//         def __call__(self, *args, **kwargs): ...
//         def __get__(self, obj, objtype=None): ...   # binds to an instance like a function
//         def _load(self, key) -> tuple[bytes, int] | None: ...  # value and entry version
//         def _remember(self, args, key, version, value) -> None: ...
//         def _clear(self) -> None: ...               # forgets every value, zeroes _hits
//         _hits: int                                  # calls answered by remembered values
//         # and a __dict__ (for functools.wraps and the package's attributes), weakrefs
//
// What is remembered: only calls without keyword arguments whose positional arguments
// all have one of the exact types str, bytes, int, float, bool and None take part, so
// equal arguments always stand for one store key; under `typed` the argument types are
// part of the lookup. A remembered value is returned only while the entry under its store
// key is live and still carries the version read together with the value's bytes: any
// write, deletion, expiry or eviction of the entry, by any thread or through the server,
// changes or removes that version, and the call goes to `miss`. At most `size` values are
// kept; the one remembered first is forgotten first. Without `fast` every call goes to
// `miss` (a custom key function maps arguments to keys in ways equality does not see).

#include <cstddef>

#include "cache_call.h"
// After Python.h (through cache_call.h), which it needs.
#include <structmember.h>

namespace vellum::glue {

namespace {

struct MemoObject {
  PyObject_HEAD
  PyObject* cache;  // the native Cache
  PyObject* miss;
  PyObject* table;  // dict: lookup key -> (store key, version, value)
  PyObject* dict;
  PyObject* weakrefs;
  PyObject** ring;  // the lookup keys in the order they were remembered (owned), or null
  Py_ssize_t size;
  Py_ssize_t next;
  unsigned long long hits;
  bool typed;
  bool fast;
};

MemoObject* memo_of(PyObject* op) { return reinterpret_cast<MemoObject*>(op); }

bool takes_part(PyObject* arg) {
  PyTypeObject* t = Py_TYPE(arg);
  return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBytes_Type ||
         t == &PyBool_Type || arg == Py_None;
}

// The lookup key of a call's positional arguments (a new reference), or null without an
// exception when the call does not take part. One str or int argument is its own key;
// otherwise the key is the argument tuple, followed by the argument types under `typed`.
PyObject* lookup_key(const MemoObject* self, PyObject* args) {
  const Py_ssize_t n = PyTuple_Size(args);
  if (n < 0) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!takes_part(PyTuple_GetItem(args, i))) return nullptr;
  }
  if (n == 1) {
    PyObject* only = PyTuple_GetItem(args, 0);
    if (Py_IS_TYPE(only, &PyUnicode_Type) || Py_IS_TYPE(only, &PyLong_Type)) {
      Py_INCREF(only);
      return only;
    }
  }
  if (!self->typed) {
    Py_INCREF(args);
    return args;
  }
  PyObject* key = PyTuple_New(2 * n);
  if (key == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* arg = PyTuple_GetItem(args, i);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(arg));
    Py_INCREF(arg);
    Py_INCREF(type);
    PyTuple_SetItem(key, i, arg);
    PyTuple_SetItem(key, n + i, type);
  }
  return key;
}

// Whether the entry behind a remembered value still carries its version: 1 yes, 0 no,
// -1 with an exception set.
int still_current(MemoObject* self, PyObject* slot) {
  PyObject* store_key = PyTuple_GetItem(slot, 0);
  const unsigned long long version = PyLong_AsUnsignedLongLong(PyTuple_GetItem(slot, 1));
  if (version == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(store_key, &data, &size) < 0) return -1;
  const BytesView key(data, static_cast<size_t>(size));
  CacheCall call(self->cache);
  const auto same = [&](BytesView, uint64_t v) { return v == version; };
  // Serialized counting: every caller holds the interpreter lock.
  switch (call.store()->try_read_string(key, Store::Counting::Serialized, false, same)) {
    case Store::TryRead::Hit:
      return 1;
    case Store::TryRead::Miss:
    case Store::TryRead::WrongType:
    case Store::TryRead::Declined:
      return 0;
    case Store::TryRead::Busy:
      break;
  }
  ArgBytes owned;
  owned.assign(key.data(), key.size());
  return without_gil(call.store(), [&](Store& s) { return s.check_version(owned.view(), version); }) ? 1 : 0;
}

// False with ReferenceError set when the collector has cleared `self` (a call from a
// finalizer that ran during the collection of a cycle).
bool usable(const MemoObject* self) {
  if (self->miss != nullptr && self->table != nullptr) return true;
  PyErr_SetString(PyExc_ReferenceError, "memoized function used after it was collected");
  return false;
}

PyObject* Memo_call(PyObject* op, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    MemoObject* self = memo_of(op);
    if (!usable(self)) return nullptr;
    if (self->fast && (kwargs == nullptr || PyDict_Size(kwargs) == 0)) {
      PyObject* key = lookup_key(self, args);
      if (key == nullptr && PyErr_Occurred()) return nullptr;
      if (key != nullptr) {
        PyObject* slot = PyDict_GetItemWithError(self->table, key);
        if (slot == nullptr && PyErr_Occurred()) {
          Py_DECREF(key);
          return nullptr;
        }
        if (slot != nullptr) {
          // Held across the check, which may release the interpreter lock and let another
          // thread replace or drop the slot.
          Py_INCREF(slot);
          const int current = still_current(self, slot);
          if (current > 0) {
            PyObject* value = PyTuple_GetItem(slot, 2);
            Py_INCREF(value);
            Py_DECREF(slot);
            Py_DECREF(key);
            ++self->hits;
            return value;
          }
          if (current == 0 && PyDict_GetItemWithError(self->table, key) == slot &&
              PyDict_DelItem(self->table, key) < 0) {
            PyErr_Clear();
          }
          Py_DECREF(slot);
          if (current < 0 || PyErr_Occurred()) {
            Py_DECREF(key);
            return nullptr;
          }
        }
        Py_DECREF(key);
      }
    }
    return PyObject_Call(self->miss, args, kwargs);
  });
}

PyObject* Memo_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"cache", "miss", "typed", "fast", "size", nullptr};
    PyObject* cache = nullptr;
    PyObject* miss = nullptr;
    int typed = 0;
    int fast = 1;
    Py_ssize_t size = 4096;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|ppn:Memo", const_cast<char**>(names), &cache, &miss, &typed,
                                     &fast, &size)) {
      return nullptr;
    }
    PyObject* cache_cls = cache_type();
    if (cache_cls == nullptr) return nullptr;
    if (!PyObject_TypeCheck(cache, reinterpret_cast<PyTypeObject*>(cache_cls))) {
      PyErr_Format(PyExc_TypeError, "argument 'cache': expected Cache, not %s", type_name(cache).c_str());
      return nullptr;
    }
    if (!PyCallable_Check(miss)) {
      PyErr_SetString(PyExc_TypeError, "argument 'miss' must be callable");
      return nullptr;
    }
    if (size < 1) {
      PyErr_SetString(PyExc_ValueError, "size must be at least 1");
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* op = alloc != nullptr ? alloc(type, 0) : nullptr;
    if (op == nullptr) return nullptr;
    MemoObject* self = memo_of(op);
    self->size = size;
    self->table = PyDict_New();
    if (self->table == nullptr) {
      Py_DECREF(op);
      return nullptr;
    }
    self->ring = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(size), sizeof(PyObject*)));
    if (self->ring == nullptr) {
      Py_DECREF(op);
      return PyErr_NoMemory();
    }
    Py_INCREF(cache);
    Py_INCREF(miss);
    self->cache = cache;
    self->miss = miss;
    self->typed = typed != 0;
    self->fast = fast != 0;
    return op;
  });
}

PyObject* Memo_load(PyObject* op, PyObject* key) {
  return guarded([&]() -> PyObject* {
    uint64_t version = 0;
    PyObject* data = cache_get_value(memo_of(op)->cache, key, &version);
    if (data == nullptr || data == Py_None) return data;
    return Py_BuildValue("(NK)", data, static_cast<unsigned long long>(version));
  });
}

PyObject* Memo_remember(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_Format(PyExc_TypeError, "_remember() takes 4 arguments (%zd given)", nargs);
      return nullptr;
    }
    MemoObject* self = memo_of(op);
    if (!usable(self)) return nullptr;
    PyObject* call_args = args[0];
    if (!PyTuple_Check(call_args) || !PyBytes_Check(args[1]) || !PyLong_Check(args[2])) {
      PyErr_SetString(PyExc_TypeError, "_remember() takes an argument tuple, a bytes key and an int version");
      return nullptr;
    }
    if (!self->fast) Py_RETURN_NONE;
    PyObject* key = lookup_key(self, call_args);
    if (key == nullptr) {
      if (PyErr_Occurred()) return nullptr;
      Py_RETURN_NONE;
    }
    PyObject* slot = PyTuple_Pack(3, args[1], args[2], args[3]);
    if (slot == nullptr || PyDict_SetItem(self->table, key, slot) < 0) {
      Py_XDECREF(slot);
      Py_DECREF(key);
      return nullptr;
    }
    Py_DECREF(slot);
    // The ring takes the key's reference; the key it displaces leaves the table.
    PyObject* oldest = self->ring[self->next];
    self->ring[self->next] = key;
    self->next = (self->next + 1) % self->size;
    if (oldest != nullptr) {
      if (PyDict_DelItem(self->table, oldest) < 0) PyErr_Clear();
      Py_DECREF(oldest);
    }
    Py_RETURN_NONE;
  });
}

// Breaks reference cycles (through `miss` or a remembered value). The native cache holds
// no Python object, so it stays until deallocation.
int Memo_clear(PyObject* op) {
  MemoObject* self = memo_of(op);
  Py_CLEAR(self->miss);
  Py_CLEAR(self->table);
  Py_CLEAR(self->dict);
  if (self->ring != nullptr) {
    for (Py_ssize_t i = 0; i < self->size; ++i) Py_CLEAR(self->ring[i]);
  }
  return 0;
}

PyObject* Memo_forget(PyObject* op, PyObject*) {
  MemoObject* self = memo_of(op);
  if (self->ring != nullptr) {
    for (Py_ssize_t i = 0; i < self->size; ++i) Py_CLEAR(self->ring[i]);
  }
  self->next = 0;
  self->hits = 0;
  if (self->table != nullptr) PyDict_Clear(self->table);
  Py_RETURN_NONE;
}

PyObject* Memo_get_hits(PyObject* op, void*) { return PyLong_FromUnsignedLongLong(memo_of(op)->hits); }

PyObject* method_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* types = PyImport_ImportModule("types");
    if (types == nullptr) return nullptr;
    type = PyObject_GetAttrString(types, "MethodType");
    Py_DECREF(types);
  }
  return type;
}

PyObject* Memo_descr_get(PyObject* op, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(op);
    return op;
  }
  PyObject* bind = method_type();
  return bind != nullptr ? PyObject_CallFunctionObjArgs(bind, op, obj, nullptr) : nullptr;
}

PyObject* Memo_repr(PyObject* op) {
  PyObject* name = PyObject_GetAttrString(op, "__qualname__");
  if (name == nullptr) {
    PyErr_Clear();
    return PyUnicode_FromFormat("<memoized function at %p>", static_cast<void*>(op));
  }
  PyObject* text = PyUnicode_FromFormat("<memoized function %S at %p>", name, static_cast<void*>(op));
  Py_DECREF(name);
  return text;
}

// Pickled by reference, as functions are: the name under which its module holds it.
PyObject* Memo_reduce(PyObject* op, PyObject*) { return PyObject_GetAttrString(op, "__qualname__"); }

int Memo_traverse(PyObject* op, visitproc visit, void* arg) {
  MemoObject* self = memo_of(op);
  Py_VISIT(self->cache);
  Py_VISIT(self->miss);
  Py_VISIT(self->table);
  Py_VISIT(self->dict);
  if (self->ring != nullptr) {
    for (Py_ssize_t i = 0; i < self->size; ++i) Py_VISIT(self->ring[i]);
  }
  Py_VISIT(Py_TYPE(op));
  return 0;
}

void Memo_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  MemoObject* self = memo_of(op);
  PyObject_GC_UnTrack(op);
  if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
  Memo_clear(op);
  Py_CLEAR(self->cache);
  PyMem_Free(self->ring);
  self->ring = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(op);
  Py_DECREF(type);
}

PyMethodDef Memo_methods[] = {
    {"_load", method(Memo_load), METH_O,
     "_load($self, key, /)\n--\n\nThe bytes under key and the entry's version, or None when the key is missing."},
    {"_remember", method(Memo_remember), METH_FASTCALL,
     "_remember($self, args, key, version, value, /)\n--\n\n"
     "Remembers value for calls with these positional arguments, while the entry under key has this version."},
    {"_clear", method(Memo_forget), METH_NOARGS, "_clear($self)\n--\n\nForgets every remembered value; zeroes _hits."},
    {"__reduce__", method(Memo_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Memo_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_hits", Memo_get_hits, nullptr, "Calls answered by remembered values since the last _clear().", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef Memo_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(MemoObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MemoObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char kMemoDoc[] = "A memoized function (see vellum.memoize).";

}  // namespace

PyObject* memo_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(Memo_new)},
        {Py_tp_call, reinterpret_cast<void*>(Memo_call)},
        {Py_tp_repr, reinterpret_cast<void*>(Memo_repr)},
        {Py_tp_descr_get, reinterpret_cast<void*>(Memo_descr_get)},
        {Py_tp_doc, const_cast<char*>(kMemoDoc)},
        {Py_tp_methods, Memo_methods},
        {Py_tp_getset, Memo_getset},
        {Py_tp_members, Memo_members},
        {Py_tp_traverse, reinterpret_cast<void*>(Memo_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(Memo_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(Memo_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "vellum._vellum.Memo",
        static_cast<int>(sizeof(MemoObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    type = PyType_FromSpec(&spec);
  }
  return type;
}

}  // namespace vellum::glue
