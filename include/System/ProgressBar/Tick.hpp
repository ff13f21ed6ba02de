// A steady tick: redraws a bar, or a whole display, at a fixed interval while
// no update comes, so that time labels and spinners move while the work
// stalls.
//
//   pb::Ticker tick(bar, std::chrono::milliseconds(200));   // a thread, until destroyed
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "System/ProgressBar/Bar.hpp"
#include "System/ProgressBar/Display.hpp"

namespace System::ProgressBar {

namespace detail {
// Compiled helpers of this header.
// The wait between two ticks: `interval`, or until `stopping` (a clock seam:
// test builds link their own). Called with `lock` held; returns whether to tick.
bool tickerWait(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                std::chrono::nanoseconds interval, const bool& stopping);

// The thread of a ticker.
class TickerThread {
 public:
  TickerThread(std::function<void()> redraw, std::chrono::nanoseconds interval);
  TickerThread(const TickerThread&) = delete;
  TickerThread& operator=(const TickerThread&) = delete;
  ~TickerThread();
  // Stops and joins; afterwards the redraw function is never called again.
  void stop() noexcept;
  std::exception_ptr failure() const noexcept;
  // The failure, which is then gone: it reaches the caller once.
  std::exception_ptr takeFailure() noexcept;

 private:
  void run();

  const std::function<void()> redraw_;
  const std::chrono::nanoseconds interval_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;       // under mutex_
  std::exception_ptr failure_;  // under mutex_
  std::thread thread_;
};
}  // namespace detail

/// Redraws a bar, or every bar of a display, every `interval` with its stored
/// progress at the current time. It runs on a thread of its own, started when
/// it is made: nothing in the library starts a thread otherwise. A tick takes
/// the same lock as an update, so it never races one, and reads the clock
/// once it holds the lock, so it never draws a line older than the last one
/// drawn. It draws nothing for a bar that is complete or finished, and counts
/// as a draw for the bar's throttle. Updating a bar that ticks costs nothing
/// more.
///
/// The first failure of a tick (a label or the stream throwing) stops the
/// ticker; `stop()` rethrows it, or else the destructor does, unless an
/// exception is already on its way.
/// Destroying a ticker stops and joins its thread, after which it never
/// touches the bar or display again. A ticker of a display must not outlive
/// it.
class Ticker {
 public:
  template <class Custom>
  Ticker(const ProgressBar<Custom>& bar, std::chrono::nanoseconds interval)
      : thread_(std::make_unique<detail::TickerThread>(
            [shared = detail::BarAccess::pointer(bar)] {
              shared->redraw(detail::DrawCause::kUpdate);
            },
            interval)) {}
  Ticker(Display& display, std::chrono::nanoseconds interval)
      : thread_(
            std::make_unique<detail::TickerThread>([&display] { display.redraw(); }, interval)) {}
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;
  ~Ticker() noexcept(false) {
    thread_->stop();
    if (std::uncaught_exceptions() != uncaught_) return;
    if (std::exception_ptr e = thread_->takeFailure()) std::rethrow_exception(e);
  }

  /// Stops ticking and joins the thread; rethrows the failure of a tick, once.
  void stop() {
    thread_->stop();
    if (std::exception_ptr e = thread_->takeFailure()) std::rethrow_exception(e);
  }
  /// The failure that stopped the ticker and has not been rethrown yet.
  std::exception_ptr failure() const noexcept { return thread_->failure(); }

 private:
  std::unique_ptr<detail::TickerThread> thread_;
  int uncaught_ = std::uncaught_exceptions();
};

}  // namespace System::ProgressBar
