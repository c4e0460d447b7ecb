#include "platform/thread.h"

#include <pthread.h>

#include <cerrno>
#include <system_error>

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

IoResult<NamedThread> NamedThread::spawn(std::string name, std::function<void()> body) {
  NamedThread out;
  try {
    out.t_ = std::thread(std::move(body));
    // Named from here rather than from inside the thread, so the name is in place before
    // spawn returns and anyone listing the process's threads sees it.
    const std::string n = name.substr(0, 15);
    pthread_setname_np(out.t_.native_handle(), n.c_str());
  } catch (const std::system_error& e) {
    return io_err(IoError::from_errno(e.code().value() ? e.code().value() : EAGAIN));
  } catch (const std::bad_alloc&) {
    return io_err(IoError::from_errno(ENOMEM));
  }
  return out;
}

void NamedThread::join() {
  if (t_.joinable()) t_.join();
}

void NamedThread::detach() {
  if (t_.joinable()) t_.detach();
}

void sleep_ms(uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace vellum
