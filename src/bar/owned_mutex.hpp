// Internal: a mutex that knows its owner. Do not include from public headers.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace System::ProgressBar::detail {

// A mutex that turns a thread's second lock into an error instead of a
// deadlock: the library's callables (labels, escapes, update functions, a
// caller's stream) may call back into the bar or display that runs them.
class OwnedMutex {
 public:
  // Throws std::logic_error naming `call` and `what` ("bar", "display") when
  // the calling thread holds the mutex already.
  void lock(const char* call, const char* what);
  void unlock() noexcept {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }
  bool heldByMe() const noexcept {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

// Holds an OwnedMutex for a scope.
class OwnedLock {
 public:
  OwnedLock(OwnedMutex& mutex, const char* call, const char* what) : mutex_(mutex) {
    mutex_.lock(call, what);
  }
  OwnedLock(const OwnedLock&) = delete;
  OwnedLock& operator=(const OwnedLock&) = delete;
  ~OwnedLock() { mutex_.unlock(); }

 private:
  OwnedMutex& mutex_;
};

}  // namespace System::ProgressBar::detail
