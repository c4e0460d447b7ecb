#pragma once
// Named OS threads and sleeping. A NamedThread owns one std::thread and joins it in its
// destructor unless it was joined or deliberately detached. spawn() takes the body by
// value and moves it into the new thread, so the body may own move-only resources
// (sockets, threads) that then belong to that thread alone. The name is set at the OS
// level (visible in /proc/<pid>/task/*/comm) before spawn returns, truncated to the
// kernel's 15 characters.
//
// No exception ends the process from a thread: each body catches what it can meet and
// deals with it (the server's threads reply or retry, the persistence threads record the
// failure), and spawn() wraps every body in a last catch-all behind those.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/io_error.h"

namespace vellum {

class NamedThread {
 public:
  NamedThread() = default;
  NamedThread(NamedThread&&) noexcept = default;
  NamedThread& operator=(NamedThread&& other) noexcept;
  NamedThread(const NamedThread&) = delete;
  NamedThread& operator=(const NamedThread&) = delete;
  ~NamedThread();

  // Starts `body()` on a new thread named `name`; an rvalue body is moved, never copied.
  // Fails with the OS error when no thread can be created, and the body, with whatever
  // it owns, is then destroyed on the calling thread before spawn returns. No exception
  // leaves spawn.
  template <class Body>
    requires std::invocable<std::decay_t<Body>> && std::move_constructible<std::decay_t<Body>>
  static IoResult<NamedThread> spawn(std::string name, Body&& body) {
    NamedThread out;
    try {
      // Moved into a local first, so a body that never reaches a thread is destroyed
      // here, whichever step failed.
      std::decay_t<Body> owned(std::forward<Body>(body));
      out.t_ = std::thread([run = std::move(owned)]() mutable noexcept {
        try {
          run();
        } catch (...) {
          // The body's own handlers come first; anything past them ends this thread only.
        }
      });
    } catch (const std::system_error& e) {
      return io_err(IoError::from_errno(e.code().value() != 0 ? e.code().value() : EAGAIN));
    } catch (const std::bad_alloc&) {
      return io_err(IoError::from_errno(ENOMEM));
    }
    out.set_name(name);
    return out;
  }

  bool joinable() const { return t_.joinable(); }
  void join();
  // Lets the thread run on its own; the caller must guarantee it touches nothing owned
  // by this object's owner.
  void detach();

 private:
  void set_name(const std::string& name);

  std::thread t_;
};

void sleep_ms(uint64_t ms);

// A test's way to make a long-lived thread fail at a named point of its body. While a
// hook is installed, thread_fault_point(site) calls it, and what it throws (typically
// std::bad_alloc) propagates as if the code at that point had thrown. Nothing but tests
// installs one; the cost otherwise is one relaxed load and a predictable branch. Sites:
// "sweep", "fsync", "save", "request" (a connection, before each dispatch).
using ThreadFaultHook = void (*)(std::string_view site);

inline std::atomic<ThreadFaultHook> g_thread_fault_hook{nullptr};

inline void set_thread_fault_hook(ThreadFaultHook hook) { g_thread_fault_hook.store(hook, std::memory_order_release); }

inline void thread_fault_point(std::string_view site) {
  if (ThreadFaultHook hook = g_thread_fault_hook.load(std::memory_order_relaxed)) [[unlikely]] {
    hook(site);
  }
}

}  // namespace vellum
