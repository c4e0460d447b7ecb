// The `_vellum` extension module: its definition and its one-time initialisation.
//
// In Python terms the module is:
//
//     __all__ = ["Cache", "Server", "CacheLockedError", "CorruptDataError"]
//     class Cache: ...                            # cache_type.cpp
//     class Server: ...                           # server_type.cpp
//     class CacheLockedError(OSError): ...        # convert.cpp
//     class CorruptDataError(ValueError): ...     # convert.cpp
//     class CacheBase: ...      # not in __all__: the package's helpers
//     class Memo: ...           # (cache_base_type.cpp, memo_type.cpp)
//
// The types live in process-wide statics and are never torn down, so the module can be
// initialised only once per process; a second initialisation (a second interpreter, or a
// re-import after removing it from sys.modules) fails with ImportError.

#include "glue.h"

namespace vellum::glue {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vellum",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

bool initialised = false;

// Appends `name` to the module's __all__ (creating the list when it is missing), then
// sets the attribute. Returns -1 with an exception set.
int add(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) {
    // Not an input error: the interpreter could not build one of our own types.
    if (PyErr_Occurred()) PyErr_Print();
    raise_internal(std::string("cannot create ") + name);
    return -1;
  }
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  int rc = text != nullptr ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  if (rc < 0) return -1;
  return PyModule_AddObjectRef(module, name, value);
}

// Sets a module attribute that __all__ does not list.
int add_helper(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) {
    if (PyErr_Occurred()) PyErr_Print();
    raise_internal(std::string("cannot create ") + name);
    return -1;
  }
  return PyModule_AddObjectRef(module, name, value);
}

PyObject* init() {
  if (initialised) {
    PyErr_SetString(PyExc_ImportError, "_vellum can be initialised only once per process");
    return nullptr;
  }
  PyObject* module = PyModule_Create2(&module_def, PYTHON_ABI_VERSION);
  if (module == nullptr) return nullptr;
  if (add(module, "Cache", cache_type()) < 0 || add(module, "Server", server_type()) < 0 ||
      add(module, "CacheLockedError", cache_locked_error()) < 0 ||
      add(module, "CorruptDataError", corrupt_data_error()) < 0 ||
      add_helper(module, "CacheBase", cache_base_type()) < 0 || add_helper(module, "Memo", memo_type()) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  initialised = true;
  return module;
}

}  // namespace

}  // namespace vellum::glue

PyMODINIT_FUNC PyInit__vellum(void) {
  return vellum::glue::guarded([] { return vellum::glue::init(); });
}
