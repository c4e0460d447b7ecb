// Cache.transaction: several commands run as one transaction, through the same queueing
// and EXEC as a server connection's MULTI, so in-process callers get the same guarantee:
// no other thread or connection observes part of it, and the log holds it as one record.
// The commands are data, not Python code, so nothing runs under the shard locks that
// could wait for the interpreter lock.

#include <string_view>

#include "cache_call.h"
#include "server/commands.h"

namespace vellum::glue {

namespace {

// The Python value of one command's reply; an error becomes an exception instance in the
// result list, of the class the Cache methods raise for it.
PyObject* reply_to_py(const server::Reply& r) {
  using Kind = server::Reply::Kind;
  switch (r.kind) {
    case Kind::Simple:
      return PyUnicode_FromStringAndSize(r.text.data(), static_cast<Py_ssize_t>(r.text.size()));
    case Kind::Error: {
      const std::string_view t = r.text;
      PyObject* type = PyExc_ValueError;
      if (t.starts_with("WRONGTYPE")) type = PyExc_TypeError;
      if (t.starts_with("OOM")) type = PyExc_MemoryError;
      if (t.starts_with("ERR persistence")) type = PyExc_OSError;
      return PyObject_CallFunction(type, "s#", r.text.data(), static_cast<Py_ssize_t>(r.text.size()));
    }
    case Kind::Integer:
      return to_py_i64(r.integer);
    // The richer kinds take their second-protocol forms: text as bytes, a map as its flat
    // list of keys and values, a set as a list.
    case Kind::Bulk:
    case Kind::Double:
    case Kind::Verbatim:
      return to_py(r.text);
    case Kind::Null:
    case Kind::NullArray:
      Py_RETURN_NONE;
    case Kind::Array:
    case Kind::Map:
    case Kind::Set: {
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(r.elements.size()));
      if (list == nullptr) return nullptr;
      for (size_t i = 0; i < r.elements.size(); ++i) {
        PyObject* item = reply_to_py(r.elements[i]);
        if (item == nullptr) {
          Py_DECREF(list);
          return nullptr;
        }
        if (PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
          Py_DECREF(list);
          return nullptr;
        }
      }
      return list;
    }
  }
  Py_RETURN_NONE;
}

bool extract_commands(PyObject* obj, std::vector<server::Request>& out) {
  PyObject* it = PyObject_GetIter(obj);
  if (it == nullptr) return false;
  while (PyObject* cmd = PyIter_Next(it)) {
    PyObject* words = PyObject_GetIter(cmd);
    Py_DECREF(cmd);
    if (words == nullptr) break;
    server::Request req;
    bool ok = true;
    while (PyObject* word = PyIter_Next(words)) {
      Bytes b;
      ok = extract_bytes(word, b);
      Py_DECREF(word);
      if (!ok) break;
      req.push_back(std::move(b));
    }
    Py_DECREF(words);
    if (!ok || PyErr_Occurred()) break;
    if (req.empty()) {
      PyErr_SetString(PyExc_ValueError, "a command must name its operation");
      break;
    }
    out.push_back(std::move(req));
  }
  Py_DECREF(it);
  return !PyErr_Occurred();
}

PyObject* Cache_transaction(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"commands", nullptr};
    PyObject* commands_obj = nullptr;
    if (!bind_args(args, nargs, kwnames, "transaction", names, 1, {&commands_obj})) return nullptr;
    std::vector<server::Request> commands;
    if (!extract_commands(commands_obj, commands)) return nullptr;
    CacheCall call(op);
    server::Reply refused;
    bool was_refused = false;
    server::Reply result = without_gil(call.store(), [&](Store&) {
      server::ServerContext ctx;
      ctx.store = call.store();
      server::ConnectionState state = server::initial_connection_state(ctx);
      (void)server::dispatch(ctx, state, {"MULTI"});
      for (const server::Request& req : commands) {
        server::Reply r = server::dispatch(ctx, state, req).reply;
        if (r.kind == server::Reply::Kind::Error && !was_refused) {
          refused = std::move(r);
          was_refused = true;
        }
      }
      return server::dispatch(ctx, state, {"EXEC"}).reply;
    });
    if (was_refused) return raise_text(PyExc_ValueError, "transaction refused, nothing ran: " + refused.text);
    if (result.kind == server::Reply::Kind::Error) {
      return raise_text(result.text.starts_with("ERR persistence") ? PyExc_OSError : PyExc_ValueError, result.text);
    }
    return reply_to_py(result);
  });
}

const PyMethodDef kMethods[] = {
    {"transaction", method(Cache_transaction), kArgs,
     "transaction($self, commands)\n--\n\nRuns `commands` (each a sequence of str or bytes: a command name "
     "and its arguments, as the server takes them) as one transaction and returns their results in order. "
     "No other thread or connection observes part of it. A command refused before running (unknown, wrong "
     "argument count) raises ValueError and nothing runs; a command that fails while running yields its "
     "exception instance in the list while the others run."},
};

}  // namespace

std::span<const PyMethodDef> cache_transaction_methods() { return kMethods; }

}  // namespace vellum::glue
