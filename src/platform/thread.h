#pragma once
// Named OS threads and sleeping. A NamedThread owns one std::thread and joins it in its
// destructor unless it was joined or deliberately detached. spawn() takes the body by
// value and moves it into the new thread, so the body may own move-only resources
// (sockets, threads) that then belong to that thread alone. The name is set at the OS
// level (visible in /proc/<pid>/task/*/comm) before spawn returns, truncated to the
// kernel's 15 characters.

#include <cerrno>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <new>
#include <string>
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
      out.t_ = std::thread(std::move(owned));
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

}  // namespace vellum
