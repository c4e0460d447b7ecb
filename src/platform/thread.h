#pragma once
// Named OS threads and sleeping. A NamedThread owns one std::thread and joins it in its
// destructor unless it was joined or deliberately detached; the name is set at the OS
// level (visible in /proc/<pid>/task/*/comm), truncated to the kernel's 15 characters.

#include <chrono>
#include <functional>
#include <string>
#include <thread>

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

  // Starts `body` on a new thread named `name`. Fails with the OS error when no thread
  // can be created.
  static IoResult<NamedThread> spawn(std::string name, std::function<void()> body);

  bool joinable() const { return t_.joinable(); }
  void join();
  // Lets the thread run on its own; the caller must guarantee it touches nothing owned
  // by this object's owner.
  void detach();

 private:
  std::thread t_;
};

void sleep_ms(uint64_t ms);

}  // namespace vellum
