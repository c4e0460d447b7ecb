// The Server type: serves the Store of a Cache to RESP2 clients over TCP.
//
// In Python terms the class is:
//
//     class Server:
//         def __new__(cls, cache, host="127.0.0.1", port=6380, password=None,
//                     request_budget=None, script_time_limit_ms=5000): ...
//             # cache: a native Cache, or a vellum.Cache (its `native` is served)
//         def start(self) -> None: ...   # OSError "cannot bind {host}:{port}: {reason}"
//         def stop(self) -> None: ...
//         port: int                      # read-only
//         running: bool                  # read-only
//         request_budget: int            # read-only
//         script_time_limit_ms: int      # read-only
//
// The listener and connection threads belong to vellum::server::Server and never take
// the interpreter lock; start and stop release it for their whole work.

#include <cassert>
#include <string>

#include "glue.h"
#include "server/server.h"

namespace vellum::glue {

namespace {

struct ServerPayload {
  std::string host;          // exactly as passed, for messages
  uint16_t configured_port;  // every start() binds this port
  std::unique_ptr<server::Server> server;
  std::atomic<uint32_t> borrows{0};
};

struct ServerObject {
  PyObject_HEAD
  // Built by placement new right after allocation and destroyed in dealloc.
  ServerPayload payload;
};

ServerPayload& payload_of(PyObject* op) { return reinterpret_cast<ServerObject*>(op)->payload; }

char** kw(const char* const* list) { return const_cast<char**>(list); }

// The native Cache to serve for `obj` (a new reference): `obj` itself, or the `native`
// attribute of the package's vellum.Cache. Null with TypeError for anything else, or with
// the error the attribute raised (a wrapper used in a forked child raises ForkedCacheError).
PyObject* served_cache(PyObject* obj) {
  auto* cache_cls = reinterpret_cast<PyTypeObject*>(cache_type());
  if (cache_cls == nullptr) return nullptr;
  if (PyObject_TypeCheck(obj, cache_cls)) return Py_NewRef(obj);
  PyObject* native = PyObject_GetAttrString(obj, "native");
  if (native != nullptr && PyObject_TypeCheck(native, cache_cls)) return native;
  Py_XDECREF(native);
  if (native == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  PyErr_Format(PyExc_TypeError, "argument 'cache': expected vellum.Cache or vellum._vellum.Cache, not %s",
               type_name(obj).c_str());
  return nullptr;
}

PyObject* Server_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"cache", "host", "port", "password", "request_budget", "script_time_limit_ms",
                                        nullptr};
    PyObject* cache_obj = nullptr;
    PyObject* host_obj = nullptr;
    PyObject* port_obj = nullptr;
    PyObject* password_obj = Py_None;
    PyObject* budget_obj = Py_None;
    PyObject* script_limit_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOO:Server", kw(names), &cache_obj, &host_obj, &port_obj,
                                     &password_obj, &budget_obj, &script_limit_obj)) {
      return nullptr;
    }
    PyObject* served = served_cache(cache_obj);
    if (served == nullptr) return nullptr;
    std::shared_ptr<Store> store = cache_store(served);
    Py_DECREF(served);
    std::string host = "127.0.0.1";
    int64_t port = 6380;
    if (host_obj && !extract_text(host_obj, "host", host)) return nullptr;
    if (port_obj && !extract_int64(port_obj, "port", port)) {
      // Beyond 64 bits the range that matters is still the port's own.
      if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_OverflowError, "port must be between 0 and 65535");
      }
      return nullptr;
    }
    if (port < 0 || port > 65535) {
      PyErr_SetString(PyExc_ValueError, "port must be between 0 and 65535");
      return nullptr;
    }
    std::optional<Bytes> password;
    if (password_obj != Py_None) {
      if (!PyUnicode_Check(password_obj)) {
        PyErr_SetString(PyExc_TypeError, "password must be a str");
        return nullptr;
      }
      Bytes text;
      if (!extract_bytes(password_obj, text)) return nullptr;
      if (text.empty()) {
        PyErr_SetString(PyExc_ValueError, "password must not be empty");
        return nullptr;
      }
      password = std::move(text);
    }
    std::optional<uint64_t> request_budget;
    if (budget_obj != Py_None) {
      int64_t budget = 0;
      if (!extract_positive(budget_obj, "request_budget", budget)) return nullptr;
      request_budget = static_cast<uint64_t>(budget);
    }
    int64_t script_time_limit_ms = static_cast<int64_t>(server::kDefaultScriptTimeLimitMs);
    if (script_limit_obj && !extract_positive(script_limit_obj, "script_time_limit_ms", script_time_limit_ms)) {
      return nullptr;
    }

    auto core = std::make_unique<server::Server>(std::move(store), host, static_cast<uint16_t>(port),
                                                 std::move(password), request_budget,
                                                 static_cast<uint64_t>(script_time_limit_ms));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc != nullptr ? alloc(type, 0) : nullptr;
    if (self == nullptr) return nullptr;
    ServerPayload* payload = new (&payload_of(self)) ServerPayload;
    payload->host = std::move(host);
    payload->configured_port = static_cast<uint16_t>(port);
    payload->server = std::move(core);
    return self;
  });
}

void Server_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  ServerPayload& payload = payload_of(op);
  assert(payload.borrows.load() == 0);
  // Destroying a running server stops it first: the listener closes and every connection
  // thread is joined. Those threads never take the interpreter lock, so joining them
  // while holding it cannot deadlock.
  payload.~ServerPayload();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(op);
  Py_DECREF(type);
}

PyObject* Server_start(PyObject* op, PyObject*) {
  return guarded([&]() -> PyObject* {
    ServerPayload& payload = payload_of(op);
    Borrow borrow(payload.borrows);
    server::Server& core = *payload.server;
    IoResult<void> r = [&] {
      AllowThreads unlocked;
      return core.start();
    }();
    if (!r) {
      return raise_text(PyExc_OSError, "cannot bind " + payload.host + ":" +
                                           std::to_string(payload.configured_port) + ": " + r.error().text);
    }
    Py_RETURN_NONE;
  });
}

PyObject* Server_stop(PyObject* op, PyObject*) {
  return guarded([&]() -> PyObject* {
    ServerPayload& payload = payload_of(op);
    Borrow borrow(payload.borrows);
    server::Server& core = *payload.server;
    {
      AllowThreads unlocked;
      core.stop();
    }
    Py_RETURN_NONE;
  });
}

PyObject* Server_get_port(PyObject* op, void*) {
  return guarded([&]() -> PyObject* {
    ServerPayload& payload = payload_of(op);
    Borrow borrow(payload.borrows);
    return to_py_u64(payload.server->port());
  });
}

PyObject* Server_get_running(PyObject* op, void*) {
  return guarded([&]() -> PyObject* {
    ServerPayload& payload = payload_of(op);
    Borrow borrow(payload.borrows);
    return to_py_bool(payload.server->running());
  });
}

PyObject* Server_get_request_budget(PyObject* op, void*) {
  return guarded([&]() -> PyObject* {
    ServerPayload& payload = payload_of(op);
    Borrow borrow(payload.borrows);
    return to_py_u64(payload.server->request_budget());
  });
}

PyObject* Server_get_script_time_limit_ms(PyObject* op, void*) {
  return guarded([&]() -> PyObject* {
    ServerPayload& payload = payload_of(op);
    Borrow borrow(payload.borrows);
    return to_py_u64(payload.server->script_time_limit_ms());
  });
}

PyCFunction method(PyObject* (*fn)(PyObject*, PyObject*)) { return fn; }

PyMethodDef Server_methods[] = {
    {"start", method(Server_start), METH_NOARGS,
     "start($self)\n--\n\nBinds and starts accepting connections. Calling it on a running server does nothing.\n"
     "Raises OSError if the address cannot be bound."},
    {"stop", method(Server_stop), METH_NOARGS,
     "stop($self)\n--\n\nStops accepting connections and closes open ones. Safe to call more than once."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Server_getset[] = {
    {"port", Server_get_port, nullptr,
     "The bound port. With port=0 this is the port the OS picked after `start()`.", nullptr},
    {"running", Server_get_running, nullptr, "True between a successful `start()` and the next `stop()`.", nullptr},
    {"request_budget", Server_get_request_budget, nullptr,
     "Bytes that all connections together may hold in partly received requests (default 1 GiB, or the "
     "cache's max_memory when smaller); a connection whose request would cross it gets an error reply and is "
     "closed.",
     nullptr},
    {"script_time_limit_ms", Server_get_script_time_limit_ms, nullptr,
     "Milliseconds a script may run before it has written (default 5000); a script past it that has not "
     "written is stopped with an error, one that has written runs to completion.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kServerDoc[] =
    "Server(cache, host=\"127.0.0.1\", port=6380, password=None, request_budget=None, "
    "script_time_limit_ms=5000)\n--\n\n"
    "RESP2 server that serves a `Cache` over TCP.";

PyType_Slot Server_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Server_dealloc)},
    {Py_tp_doc, const_cast<char*>(kServerDoc)},
    {Py_tp_methods, Server_methods},
    {Py_tp_getset, Server_getset},
    {0, nullptr},
};

// Default flags only: not a base type, not tracked by the cyclic collector (a Server holds
// no Python object; it shares the Cache's Store, not the Cache).
PyType_Spec Server_spec = {
    "vellum._vellum.Server",
    static_cast<int>(sizeof(ServerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    Server_slots,
};

}  // namespace

PyObject* server_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&Server_spec);
  return type;
}

}  // namespace vellum::glue
