#include "platform/thread.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace vellum {

NamedThread& NamedThread::operator=(NamedThread&& other) noexcept {
  if (this != &other) {
    if (t_.joinable()) t_.join();
    t_ = std::move(other.t_);
  }
  return *this;
}

NamedThread::~NamedThread() {
  if (t_.joinable()) t_.join();
}

void NamedThread::set_name(const std::string& name) {
  // Named from here rather than from inside the thread, so the name is in place before
  // spawn returns and anyone listing the process's threads sees it.
  char n[16] = {};
  std::memcpy(n, name.data(), std::min(name.size(), sizeof n - 1));
  pthread_setname_np(t_.native_handle(), n);
}

void NamedThread::join() {
  if (t_.joinable()) t_.join();
}

void NamedThread::detach() {
  if (t_.joinable()) t_.detach();
}

void sleep_ms(uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace vellum
