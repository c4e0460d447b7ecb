#pragma once
// The Python glue of `_vellum`: what the module, the Cache type and the Server type share.
//
// Every function here runs with the interpreter lock held unless its name or comment says
// otherwise. Conversions return false (or nullptr) with a Python exception set; they never
// throw.
//
// The interpreter lock and the store: a call never holds the interpreter lock while it
// waits for a shard lock, does I/O or does long work, so other Python threads keep running
// whatever the store is doing. Every store operation that can wait runs through
// `without_gil` (or under an `AllowThreads` guard when it opens, closes or serves), with
// nothing but owned copies of its arguments. A short read may instead run at once with
// the interpreter lock held, through the store's non-waiting reads (Store::try_read_string):
// they take the shard lock only if it is free at that moment and copy at most
// kShortValue bytes; when the lock is taken, the entry has expired or the value is longer,
// the call falls back to the released path. Handing the interpreter lock off and back
// costs more than such a read itself. Two calls keep the interpreter lock because they
// never wait long: building an in-memory store and reading persistence statistics, which
// takes only the persistence layer's short statistics locks.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/store.h"
#include "core/store_error.h"
#include "platform/io_error.h"

namespace vellum::glue {

// ---- exception types (created once per process, on first need) ----

PyObject* cache_locked_error();  // _vellum.CacheLockedError, base OSError
PyObject* corrupt_data_error();  // _vellum.CorruptDataError, base ValueError
// The type of internal failures (a key of 4 GiB or more, a type that cannot be built, a
// C++ exception caught at an entry point). It derives from BaseException so that ordinary
// `except Exception` handlers in user code do not swallow a fault of the module itself.
PyObject* internal_error();

// Sets `type` with `message` decoded as UTF-8 (invalid bytes replaced); returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view message);
// Raises the internal failure with `message`; returns nullptr.
PyObject* raise_internal(std::string_view message);
// A result object could not be built: prints the pending error, raises the internal
// failure; returns nullptr.
PyObject* result_failed();

// ---- type objects (created once per process, on first need) ----

PyObject* cache_type();
PyObject* server_type();
// The package's helpers, module attributes outside __all__: the native base of
// vellum.Cache (cache_base_type.cpp) and the memoized-function type (memo_type.cpp).
PyObject* cache_base_type();
PyObject* memo_type();

// ---- argument conversions ----

// bytes, str (strict UTF-8), int or float rendered by str(); bool and everything else are
// refused with TypeError "expected bytes, str, int or float, not {type name}".
bool extract_bytes(PyObject* obj, Bytes& out);
// A non-bool int in the signed 64-bit range and at least 1; every refusal is a ValueError
// that starts with `name`.
bool extract_positive(PyObject* obj, const char* name, int64_t& out);
// The conversions below name the argument in any TypeError they raise
// ("argument 'NAME': ..."); other errors pass through unchanged.
bool extract_int64(PyObject* obj, const char* name, int64_t& out);
bool extract_uint64(PyObject* obj, const char* name, uint64_t& out);
bool extract_text(PyObject* obj, const char* name, std::string& out);
bool extract_flag(PyObject* obj, const char* name, bool& out);
// None gives no path. Otherwise os.fspath(obj) must be a str; `out` receives its
// file-system encoding (surrogates escaped as os.fsencode does) and `display` its text
// with every unpaired surrogate shown as U+FFFD, for messages.
bool extract_path(PyObject* obj, const char* name, std::optional<std::string>& out, std::string& display);
// Converts the `n` objects at `items` in order with extract_bytes.
bool extract_bytes_items(PyObject* const* items, Py_ssize_t n, std::vector<Bytes>& out);

// An owned copy of one argument's bytes. Short values (most keys) stay inline, so a call
// allocates nothing for them; longer ones go to the heap. Not movable: the view may point
// into the object itself.
class ArgBytes {
 public:
  ArgBytes() = default;
  ArgBytes(const ArgBytes&) = delete;
  ArgBytes& operator=(const ArgBytes&) = delete;

  void assign(const char* data, size_t size) {
    size_ = size;
    heap_ = size > sizeof small_;
    if (heap_) {
      big_.assign(data, size);
    } else if (size != 0) {
      std::memcpy(small_, data, size);
    }
  }
  BytesView view() const { return heap_ ? BytesView(big_) : BytesView(small_, size_); }
  operator BytesView() const { return view(); }  // NOLINT: used where the store takes a view

 private:
  char small_[128];
  size_t size_ = 0;
  bool heap_ = false;
  std::string big_;
};
bool extract_bytes(PyObject* obj, ArgBytes& out);

// The longest value a read copies with the interpreter lock held (see the top of this
// file): about a microsecond of copying.
inline constexpr size_t kShortValue = 16 * 1024;

// A key argument as bytes for a call that keeps the interpreter lock: a view into the
// bytes or str object itself, which the caller's reference keeps alive and unchanged for
// the whole call, or an owned rendering of a number. `owned()` gives an owned copy for a
// store call that releases the interpreter lock.
class KeyArg {
 public:
  // As extract_bytes.
  bool extract(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyBytes_Type)) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
      view_ = BytesView(data, static_cast<size_t>(size));
      return true;
    }
    if (Py_IS_TYPE(obj, &PyUnicode_Type)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
      if (data == nullptr) return false;
      view_ = BytesView(data, static_cast<size_t>(size));
      return true;
    }
    if (!extract_bytes(obj, copy_)) return false;
    view_ = copy_.view();
    return true;
  }
  BytesView view() const { return view_; }
  const ArgBytes& owned() {
    if (view_.data() != copy_.view().data()) copy_.assign(view_.data(), view_.size());
    return copy_;
  }

 private:
  BytesView view_;
  ArgBytes copy_;
};

// Binds the arguments of a vectorcall-convention method to the parameters `names`
// (positional first, then by keyword) as the interpreter does for a Python function:
// each entry of `outs` receives its argument, or keeps its default when none is given.
// The first `required` parameters must be given. False with TypeError set on a call-shape
// error (too many arguments, a missing one, an unknown keyword, one given twice).
bool bind_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname,
               const char* const* names, Py_ssize_t required, std::initializer_list<PyObject**> outs);

// `__name__` of the type of `obj` as UTF-8 text ("?" when it cannot be read).
std::string type_name(PyObject* obj);
// `text` between double quotes with backslash escapes for quotes, backslashes, control
// characters and other non-printable characters (`\u{hex}`). An ill-formed UTF-8
// sequence shows as U+FFFD.
std::string quoted(std::string_view text);

// ---- result conversions (each returns a new reference, or nullptr after result_failed) ----

PyObject* to_py(const Bytes& value);
PyObject* to_py(const std::optional<Bytes>& value);
PyObject* to_py_bool(bool value);
PyObject* to_py_u64(uint64_t value);
PyObject* to_py_i64(int64_t value);
PyObject* to_py_list(const std::vector<Bytes>& items);
PyObject* to_py_list(const std::vector<std::optional<Bytes>>& items);
PyObject* to_py_dict(const std::vector<std::pair<Bytes, Bytes>>& items);
PyObject* to_py_set(const std::vector<Bytes>& items);

// ---- error mapping ----

// TypeError, MemoryError, ValueError or OSError (PersistenceFailed, with its cause from
// `store`) with the kind's text; KeyTooLong is an internal failure. Returns nullptr.
PyObject* store_error_to_py(const Store& store, StoreError error);
// A failed open of the data directory `path` (display text): CacheLockedError,
// CorruptDataError or OSError. Returns nullptr.
PyObject* open_error_to_py(const std::string& path, const IoError& error);

// ---- the interpreter lock and entry points ----

// Releases the interpreter lock for its lifetime. It is the save/restore pair of
// Py_BEGIN_ALLOW_THREADS and Py_END_ALLOW_THREADS, held by a guard so that the lock is
// re-acquired on every exit path, an exception included.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `fn(store)` with the interpreter lock released. `fn` must touch no Python object;
// it captures only owned C++ values. `store` is the fixed payload of an object that the
// caller holds for the whole call, so it stays alive without taking another reference
// (which would make every call contend on one shared counter across threads).
template <class Fn>
auto without_gil(const std::shared_ptr<Store>& store, Fn&& fn) -> decltype(fn(*store)) {
  Store& s = *store;
  AllowThreads unlocked;
  return fn(s);
}

// The body of every Python entry point: no C++ exception escapes into the interpreter.
template <class Fn>
PyObject* guarded(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal(e.what());
  } catch (...) {
    return raise_internal("unexpected C++ exception");
  }
}

// ---- objects ----

// A shared borrow of an object's payload for the duration of one call. Every method takes
// its object this way; none needs exclusive access, so the count only documents (and, in
// debug builds, checks at deallocation) that no call outlives its object.
class Borrow {
 public:
  // Taken and released with the interpreter lock held, which already orders the updates,
  // so plain loads and stores suffice (no read-modify-write on the hot path).
  explicit Borrow(std::atomic<uint32_t>& count) : count_(count) {
    count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  ~Borrow() { count_.store(count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed); }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  std::atomic<uint32_t>& count_;
};

// The native part of a Cache, fixed at construction and never replaced.
struct CachePayload {
  std::optional<std::string> persist_dir;  // the path's file-system bytes, none in memory
  std::string persist_display;             // the path as text, for messages
  std::shared_ptr<Store> store;
  std::atomic<uint32_t> borrows{0};
};

struct CacheObject {
  PyObject_HEAD
  // Built by placement new right after allocation and destroyed in dealloc.
  CachePayload payload;
};

// The Store of a Cache instance. REQUIRES: PyObject_TypeCheck(obj, cache_type()).
std::shared_ptr<Store> cache_store(PyObject* obj);

}  // namespace vellum::glue
