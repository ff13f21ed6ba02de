// The thread of a steady tick.
#include <utility>

#include "System/ProgressBar/Tick.hpp"

namespace System::ProgressBar::detail {

TickerThread::TickerThread(std::function<void()> redraw, std::chrono::nanoseconds interval)
    : redraw_(std::move(redraw)), interval_(interval), thread_([this] { run(); }) {}

TickerThread::~TickerThread() { stop(); }

void TickerThread::stop() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::exception_ptr TickerThread::failure() const noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

std::exception_ptr TickerThread::takeFailure() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(failure_, nullptr);
}

void TickerThread::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (tickerWait(wake_, lock, interval_, stopping_)) {
    lock.unlock();
    std::exception_ptr failed;
    try {
      redraw_();
    } catch (...) {
      failed = std::current_exception();
    }
    lock.lock();
    if (failed) {
      failure_ = failed;
      return;
    }
  }
}

}  // namespace System::ProgressBar::detail
