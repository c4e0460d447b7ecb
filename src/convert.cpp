// Conversions between Python objects and the store's values, the exception types, and
// the mapping of store and data-directory errors onto Python exceptions.

#include <cstdio>
#include <string>

#include "core/utf8.h"
#include "glue.h"
#include "persist/dir_lock.h"
#include "persist/snapshot_format.h"
#include "persist/wal_reader.h"

namespace vellum::glue {

// ---- exception types ----

namespace {

// Each type is created under the interpreter lock the first time it is needed and kept
// for the life of the process; a failed creation leaves the slot null so that a later need
// tries again.
PyObject* lazy_exception(PyObject*& slot, const char* name, const char* doc, PyObject* base) {
  if (slot == nullptr) slot = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
  return slot;
}

}  // namespace

PyObject* cache_locked_error() {
  static PyObject* type = nullptr;
  return lazy_exception(type, "_vellum.CacheLockedError",
                        "The persistence directory is in use by another live process.", PyExc_OSError);
}

PyObject* corrupt_data_error() {
  static PyObject* type = nullptr;
  return lazy_exception(type, "_vellum.CorruptDataError",
                        "The persisted snapshot failed its checksum or structure check.", PyExc_ValueError);
}

PyObject* internal_error() {
  static PyObject* type = nullptr;
  return lazy_exception(type, "_vellum.InternalError",
                        "A failure inside vellum itself, not caused by the arguments of the call.",
                        PyExc_BaseException);
}

PyObject* raise_text(PyObject* type, std::string_view message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_internal(std::string_view message) {
  PyObject* type = internal_error();
  if (type == nullptr) return nullptr;  // the creation's own error stays set
  return raise_text(type, message);
}

PyObject* result_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  return raise_internal("cannot build the result object");
}

// ---- helpers ----

std::string type_name(PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name, &size);
  std::string out = data != nullptr ? std::string(data, static_cast<size_t>(size)) : std::string("?");
  if (data == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return out;
}

namespace {

// Re-raises a pending TypeError as TypeError "argument 'NAME': {message}". Any other
// pending error is left as it is. Always returns false, for `return name_type_error(..)`.
bool name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  if (text == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': invalid argument", name);
    return false;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
  Py_DECREF(text);
  return false;
}

bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

// The interpreter's own notion of a printable character (str.isprintable).
bool is_printable(uint32_t cp) {
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  PyObject* ch = PyUnicode_FromOrdinal(static_cast<int>(cp));
  if (ch == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyObject* answer = PyObject_CallMethod(ch, "isprintable", nullptr);
  Py_DECREF(ch);
  if (answer == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool printable = answer == Py_True;
  Py_DECREF(answer);
  return printable;
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    const utf8::Sequence seq = utf8::decode_at(text, i);
    const uint32_t cp = seq.code_point;
    i += seq.length;
    switch (cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_printable(cp)) {
          utf8::append(out, cp);
        } else {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        }
    }
  }
  out += '"';
  return out;
}

// ---- argument conversions ----

namespace {

// The conversion shared by both outputs (an owned string, or an inline argument copy):
// anything with assign(const char*, size_t).
template <class Out>
bool extract_bytes_into(PyObject* obj, Out& out) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_Check(obj)) {
    char* raw = nullptr;
    if (PyBytes_AsStringAndSize(obj, &raw, &size) < 0) return false;
    data = raw;
  } else if (PyUnicode_Check(obj)) {
    data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
  } else if (PyBool_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "expected bytes, str, int or float, not bool");
    return false;
  } else if (PyLong_Check(obj) || PyFloat_Check(obj)) {
    // str() of the number: the interpreter's decimal rendering, or a subclass's __str__.
    PyObject* text = PyObject_Str(obj);
    if (text == nullptr) return false;
    data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data != nullptr) out.assign(data, static_cast<size_t>(size));
    Py_DECREF(text);
    return data != nullptr;
  } else {
    PyErr_Format(PyExc_TypeError, "expected bytes, str, int or float, not %s", type_name(obj).c_str());
    return false;
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

}  // namespace

bool extract_bytes(PyObject* obj, Bytes& out) { return extract_bytes_into(obj, out); }

bool extract_bytes(PyObject* obj, ArgBytes& out) { return extract_bytes_into(obj, out); }

bool extract_bytes_items(PyObject* const* items, Py_ssize_t n, std::vector<Bytes>& out) {
  out.reserve(static_cast<size_t>(n > 0 ? n : 0));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Bytes item;
    if (!extract_bytes(items[i], item)) return false;
    out.push_back(std::move(item));
  }
  return true;
}

bool bind_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname,
               const char* const* names, Py_ssize_t required, std::initializer_list<PyObject**> outs) {
  PyObject** const* slot = outs.begin();
  const auto n = static_cast<Py_ssize_t>(outs.size());
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", fname, n, n == 1 ? "" : "s",
                 nargs);
    return false;
  }
  bool given[8] = {};
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    *slot[i] = args[i];
    given[i] = true;
  }
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* name = PyTuple_GetItem(kwnames, j);
    Py_ssize_t at = 0;
    while (at < n && PyUnicode_CompareWithASCIIString(name, names[at]) != 0) ++at;
    if (at == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, name);
      return false;
    }
    if (given[at]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)", fname, name,
                   at + 1);
      return false;
    }
    *slot[at] = args[nargs + j];
    given[at] = true;
  }
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (!given[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, names[i], i + 1);
      return false;
    }
  }
  return true;
}

bool extract_positive(PyObject* obj, const char* name, int64_t& out) {
  if (PyBool_Check(obj) || !PyLong_Check(obj)) {
    PyErr_Format(PyExc_ValueError, "%s must be a positive integer", name);
    return false;
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) {
    PyErr_Format(PyExc_ValueError, "%s is out of range", name);
    return false;
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 1) {
    PyErr_Format(PyExc_ValueError, "%s must be a positive integer", name);
    return false;
  }
  out = value;
  return true;
}

bool extract_int64(PyObject* obj, const char* name, int64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return name_type_error(name);
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return name_type_error(name);
  if (overflow != 0) {
    PyErr_Format(PyExc_OverflowError, overflow > 0 ? "%s must be at most 2**63-1" : "%s must be at least -2**63",
                 name);
    return false;
  }
  out = value;
  return true;
}

bool extract_uint64(PyObject* obj, const char* name, uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return name_type_error(name);
  // The sign first: the interpreter's own overflow texts name neither the argument nor
  // the range.
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (signed_value == -1 && PyErr_Occurred()) {
    Py_DECREF(index);
    return name_type_error(name);
  }
  if (overflow < 0 || (overflow == 0 && signed_value < 0)) {
    Py_DECREF(index);
    PyErr_Format(PyExc_OverflowError, "%s must not be negative", name);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return name_type_error(name);
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s must be at most 2**64-1", name);
    return false;
  }
  out = value;
  return true;
}

bool extract_text(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected str, not %s", type_name(obj).c_str());
    return name_type_error(name);
  }
  if (!utf8_of(obj, out)) return name_type_error(name);
  return true;
}

bool extract_flag(PyObject* obj, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // numpy's boolean scalar (numpy.bool_, called numpy.bool from numpy 2) is not a bool
  // subclass; it is recognised by its type's module and name and read by truth value,
  // without importing numpy.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyObject* module = PyObject_GetAttrString(type, "__module__");
  if (module == nullptr) {
    PyErr_Clear();
  } else {
    std::string module_name;
    bool is_numpy = PyUnicode_Check(module) && utf8_of(module, module_name) && module_name == "numpy";
    if (PyErr_Occurred()) PyErr_Clear();
    Py_DECREF(module);
    std::string name_text = type_name(obj);
    if (is_numpy && (name_text == "bool_" || name_text == "bool")) {
      int truth = PyObject_IsTrue(obj);
      if (truth < 0) return name_type_error(name);
      out = truth != 0;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "expected bool, not %s", type_name(obj).c_str());
  return name_type_error(name);
}

bool extract_path(PyObject* obj, const char* name, std::optional<std::string>& out, std::string& display) {
  out.reset();
  display.clear();
  if (obj == Py_None) return true;
  PyObject* path = PyOS_FSPath(obj);
  if (path == nullptr) return name_type_error(name);
  if (!PyUnicode_Check(path)) {
    PyErr_Format(PyExc_TypeError, "expected a str path, not %s", type_name(path).c_str());
    Py_DECREF(path);
    return name_type_error(name);
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(path);
  if (encoded == nullptr) {
    Py_DECREF(path);
    return name_type_error(name);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded, &data, &size) < 0) {
    Py_DECREF(encoded);
    Py_DECREF(path);
    return false;
  }
  std::string bytes(data, static_cast<size_t>(size));
  Py_DECREF(encoded);

  Py_ssize_t length = PyUnicode_GetLength(path);
  Py_UCS4* chars = length >= 0 ? PyUnicode_AsUCS4Copy(path) : nullptr;
  Py_DECREF(path);
  if (chars == nullptr) return false;
  // Surrogates (bytes the file-system encoding escaped) show as U+FFFD.
  for (Py_ssize_t i = 0; i < length; ++i) utf8::append(display, chars[i]);
  PyMem_Free(chars);
  out = std::move(bytes);
  return true;
}

// ---- result conversions ----

PyObject* to_py(const Bytes& value) {
  PyObject* obj = PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
  return obj != nullptr ? obj : result_failed();
}

PyObject* to_py(const std::optional<Bytes>& value) {
  if (!value) Py_RETURN_NONE;
  return to_py(*value);
}

PyObject* to_py_bool(bool value) {
  if (value) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

PyObject* to_py_u64(uint64_t value) {
  PyObject* obj = PyLong_FromUnsignedLongLong(value);
  return obj != nullptr ? obj : result_failed();
}

PyObject* to_py_i64(int64_t value) {
  PyObject* obj = PyLong_FromLongLong(value);
  return obj != nullptr ? obj : result_failed();
}

namespace {

template <class Items>
PyObject* build_list(const Items& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return result_failed();
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_py(items[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list;
}

}  // namespace

PyObject* to_py_list(const std::vector<Bytes>& items) { return build_list(items); }
PyObject* to_py_list(const std::vector<std::optional<Bytes>>& items) { return build_list(items); }

PyObject* to_py_dict(const std::vector<std::pair<Bytes, Bytes>>& items) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return result_failed();
  for (const auto& [field, value] : items) {
    PyObject* k = to_py(field);
    if (k == nullptr) {
      Py_DECREF(dict);
      return nullptr;
    }
    PyObject* v = to_py(value);
    if (v == nullptr) {
      Py_DECREF(k);
      Py_DECREF(dict);
      return nullptr;
    }
    int rc = PyDict_SetItem(dict, k, v);
    Py_DECREF(k);
    Py_DECREF(v);
    if (rc < 0) {
      Py_DECREF(dict);
      return result_failed();
    }
  }
  return dict;
}

PyObject* to_py_set(const std::vector<Bytes>& items) {
  PyObject* set = PySet_New(nullptr);
  if (set == nullptr) return result_failed();
  for (const Bytes& member : items) {
    PyObject* m = to_py(member);
    if (m == nullptr) {
      Py_DECREF(set);
      return nullptr;
    }
    int rc = PySet_Add(set, m);
    Py_DECREF(m);
    if (rc < 0) {
      Py_DECREF(set);
      return result_failed();
    }
  }
  return set;
}

// ---- error mapping ----

PyObject* store_error_to_py(const Store& store, StoreError error) {
  std::string_view text = store_error_text(error);
  switch (error) {
    case StoreError::PersistenceFailed:
      return raise_text(PyExc_OSError, store.error_text(error));
    case StoreError::WrongType:
      return raise_text(PyExc_TypeError, text);
    case StoreError::OutOfMemory:
      // The store's text is the wire's reply, worded for its clients; a Python caller
      // reads what happened in the terms of the Cache it built.
      return raise_text(PyExc_MemoryError,
                        "cache is full: the write would take used memory past max_memory and the eviction policy "
                        "has nothing left to evict; raise max_memory, delete keys, or use policy='allkeys-lru'");
    case StoreError::NotAnInteger:
    case StoreError::Overflow:
    case StoreError::NotAFloat:
    case StoreError::NotFinite:
      return raise_text(PyExc_ValueError, text);
    case StoreError::NoSuchKey:
      return raise_text(PyExc_KeyError, text);
    case StoreError::IndexOutOfRange:
      return raise_text(PyExc_IndexError, text);
    case StoreError::KeyTooLong:
      return raise_internal(text);
  }
  return raise_internal(text);
}

PyObject* open_error_to_py(const std::string& path, const IoError& error) {
  switch (error.kind) {
    case IoErrorKind::WouldBlock: {
      PyObject* type = cache_locked_error();
      if (type == nullptr) return nullptr;
      // The core's text ends with the holder's pid, which the message keeps.
      const std::string_view text = error.text;
      if (text.starts_with(persist::kOpenHereText)) {
        return raise_text(type, "data directory " + path + " is already open in this process" +
                                    std::string(text.substr(persist::kOpenHereText.size())) +
                                    "; close the cache that holds it first");
      }
      std::string holder;
      if (text.starts_with(persist::kLockedText)) holder = text.substr(persist::kLockedText.size());
      return raise_text(type, "data directory " + path + " is in use by another live process" + holder);
    }
    case IoErrorKind::InvalidData:
    case IoErrorKind::UnexpectedEof: {
      PyObject* type = corrupt_data_error();
      if (type == nullptr) return nullptr;
      // A log fault's text already names its segment, offset and the check to run. A
      // snapshot fault names only its reason, so the file and the check are added here.
      // Only the snapshot's reader lets an end-of-file error out of an open: a record
      // that runs into the checksum bytes of a file whose checksum holds.
      const bool snapshot = error.kind == IoErrorKind::UnexpectedEof || error.text.starts_with("snapshot: ");
      if (!snapshot) return raise_text(type, "cannot load data from " + path + ": " + error.text);
      const std::string reason = error.kind == IoErrorKind::UnexpectedEof
                                     ? "snapshot: a record runs past the end of the data (" + error.text + ")"
                                     : error.text;
      return raise_text(type, "cannot load data from " + path + ": " + reason + ", in " +
                                  std::string(persist::kSnapshotFile) +
                                  "; the file was left unchanged. Inspect it with `vellum check " +
                                  persist::shell_word(path) + "`");
    }
    default:
      return raise_text(PyExc_OSError, "cannot open data directory " + path + ": " + error.text);
  }
}

}  // namespace vellum::glue
