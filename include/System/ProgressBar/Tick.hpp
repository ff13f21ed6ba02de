// A steady tick: redraws a bar, or a whole display, at a fixed interval while
// no update comes, so that time labels and spinners move while the work
// stalls.
//
//   pb::Ticker tick(bar, std::chrono::milliseconds(200));   // a thread, until destroyed
#pragma once

#include <exception>

#include "System/ProgressBar/Bar.hpp"
#include "System/ProgressBar/Display.hpp"
#include "System/ProgressBar/detail/Ref.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

namespace detail {
// Compiled helpers of this header: the thread of a ticker.
class TickerThread;
// Destroys a ticker's thread (stopped or not), and lets go of what it ticks.
template <>
struct Delete<TickerThread> {
  void operator()(TickerThread* thread) const noexcept;
};
struct TickerAccess {
  static Own<TickerThread> start(BarEngine& bar, std::chrono::nanoseconds interval);
  static Own<TickerThread> start(Display& display, std::chrono::nanoseconds interval);
  // Stops and joins; afterwards the thread never touches its bar or display.
  // A cancellation of the calling thread while it waits goes on once the
  // thread is joined.
  static void stop(TickerThread& thread);
  static std::exception_ptr failure(const TickerThread& thread) noexcept;
  // The failure, which is then gone: it reaches the caller once.
  static std::exception_ptr takeFailure(TickerThread& thread) noexcept;
  // Stops and joins the thread, for a destructor: a cancellation of the
  // calling thread meanwhile waits until it is done. Gives the failure not
  // taken yet.
  static std::exception_ptr end(TickerThread& thread) noexcept;
};
}  // namespace detail

/// Redraws a bar, or every bar of a display, every `interval` with its stored
/// progress at the current time. It runs on a thread of its own, started when
/// it is made (the library's only other threads are those of a
/// `CaptureOutput`). A tick takes the same lock as an update, so it never
/// races one, and its line's time is never older than the bar's last line (a
/// display's tick reads the clock once for all its bars, and a bar that drew
/// since reads it again under its lock), so it never draws a line older than
/// the last one drawn. It draws nothing for a bar that is complete or
/// finished, and counts as a draw for the bar's throttle. Meanwhile it
/// watches the bar (a display's ticker: every live bar of the display it
/// finds each time it looks):
/// between ticks it wakes by the time a draw could be due, so that until then
/// an update that draws nothing reads no clock and costs one atomic addition,
/// and a loop's `track` reads nothing but the bar's word per element. A
/// ticker of a display's bar draws that display's frames.
///
/// The first failure of a tick (a label or the stream throwing) stops the
/// ticker; `stop()` rethrows it, or else the destructor does, unless an
/// exception is already on its way. Destroying a ticker stops and joins its
/// thread, after which it never touches the bar or display again. A ticker
/// keeps its bar or display alive. A thread cancelled while `stop()` or the
/// destructor waits is cancelled once the ticker's thread is joined: in
/// `stop()`, or at its next cancellation point after the destructor.
class Ticker {
 public:
  template <class Custom>
  Ticker(const ProgressBar<Custom>& bar, std::chrono::nanoseconds interval)
      : thread_(detail::TickerAccess::start(detail::BarAccess::engine(bar), interval)) {}
  Ticker(Display& display, std::chrono::nanoseconds interval)
      : thread_(detail::TickerAccess::start(display, interval)) {}
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;
  ~Ticker() noexcept(false) {
    std::exception_ptr failure = detail::TickerAccess::end(*thread_);
    if (failure && std::uncaught_exceptions() == uncaught_) std::rethrow_exception(failure);
  }

  /// Stops ticking and joins the thread; rethrows the failure of a tick, once.
  void stop() {
    detail::TickerAccess::stop(*thread_);
    if (std::exception_ptr e = detail::TickerAccess::takeFailure(*thread_)) {
      std::rethrow_exception(e);
    }
  }
  /// The failure that stopped the ticker and has not been rethrown yet.
  std::exception_ptr failure() const noexcept { return detail::TickerAccess::failure(*thread_); }

 private:
  detail::Own<detail::TickerThread> thread_;
  int uncaught_ = std::uncaught_exceptions();
};

PROGRESSBAR_EXTERN_TEMPLATE Ticker::Ticker(const ProgressBar<std::monostate>&,
                                           std::chrono::nanoseconds);

}  // namespace System::ProgressBar
