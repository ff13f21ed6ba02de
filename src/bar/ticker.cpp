// The thread of a steady tick.
#include <cxxabi.h>

#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "System/ProgressBar/Tick.hpp"
#include "bar/clock.hpp"
#include "bar/engine.hpp"
#include "base/cancel.hpp"
#include "display/display_core.hpp"

namespace System::ProgressBar::detail {

class TickerThread {
 public:
  // `redraw` ticks; `release` lets go of what it ticks once the thread is done.
  TickerThread(std::function<void()> redraw, std::function<void()> release,
               std::chrono::nanoseconds interval)
      : redraw_(std::move(redraw)),
        release_(std::move(release)),
        interval_(interval),
        thread_([this] { run(); }) {}
  TickerThread(const TickerThread&) = delete;
  TickerThread& operator=(const TickerThread&) = delete;
  // Joins the thread, however long its last tick takes: a cancellation of
  // the calling thread meanwhile waits until it is done.
  ~TickerThread() {
    {
      const DeferCancellation deferred;
      stop();
    }
    release_();
  }

  // A cancellation of the calling thread goes on once the thread is joined,
  // from here: a join cut short would leave a thread that only the system
  // could join again. (Under a DeferCancellation it waits on.)
  void stop() {
    {
      const DeferCancellation deferred;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
      }
      wake_.notify_all();
      if (thread_.joinable()) thread_.join();
    }
    ::pthread_testcancel();
  }
  std::exception_ptr failure() const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }
  std::exception_ptr takeFailure() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(failure_, nullptr);
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (tickerWait(wake_, lock, interval_, stopping_)) {
      lock.unlock();
      std::exception_ptr failed;
      try {
        redraw_();
      } catch (const abi::__forced_unwind&) {
        throw;
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

  const std::function<void()> redraw_;
  const std::function<void()> release_;
  const std::chrono::nanoseconds interval_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;       // under mutex_
  std::exception_ptr failure_;  // under mutex_
  std::thread thread_;
};

TickerThread* TickerAccess::start(BarEngine& bar, std::chrono::nanoseconds interval) {
  bar.retain();
  try {
    return new TickerThread([&bar] { bar.redraw(DrawCause::kUpdate); }, [&bar] { bar.release(); },
                            interval);
  } catch (...) {
    bar.release();
    throw;
  }
}

TickerThread* TickerAccess::start(Display& display, std::chrono::nanoseconds interval) {
  DisplayCore& core = DisplayAccess::core(display);
  core.retain();
  try {
    return new TickerThread([&core] { core.tick(); }, [&core] { core.release(); }, interval);
  } catch (...) {
    core.release();
    throw;
  }
}

void TickerAccess::stop(TickerThread& thread) { thread.stop(); }
std::exception_ptr TickerAccess::failure(const TickerThread& thread) noexcept {
  return thread.failure();
}
std::exception_ptr TickerAccess::takeFailure(TickerThread& thread) noexcept {
  return thread.takeFailure();
}
std::exception_ptr TickerAccess::end(TickerThread* thread) noexcept {
  {
    const DeferCancellation deferred;  // and stop() lets nothing out
    thread->stop();
  }
  std::exception_ptr failure = thread->takeFailure();
  delete thread;
  return failure;
}

}  // namespace System::ProgressBar::detail
