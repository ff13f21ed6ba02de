// The live bar: a shared handle that draws a line on an output stream and
// redraws it in place as updates arrive, at most as often as its refresh rate
// allows, from any number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/Style.hpp"

namespace System::ProgressBar {

namespace detail {

// Reads the real-time clock.
TimePoint readWallClock() noexcept;

// Columns of the terminal on standard output, or nothing when it is not a
// terminal or the query fails.
std::optional<std::int64_t> terminalColumns() noexcept;

// Writes each piece in order (one write each), then flushes once. A write or
// flush that fails throws (the stream's own exception, or
// std::ios_base::failure) after putting the stream's error state back as it was.
void writeDraw(std::ostream& stream, std::initializer_list<std::string_view> pieces);

// Before a line printed above a live bar: carriage return, erase the line.
inline constexpr std::string_view kEraseLine = "\r\x1b[K";

std::string_view terminatorFor(bool complete, OnComplete onComplete) noexcept;

// The refresh delay as an inclusive threshold on whole nanoseconds: an
// elapsed time d (ns) is too soon exactly when the double nearest to d / 1e9
// is <= the delay. NaN and -inf never count as too soon, +inf always does.
class Throttle {
 public:
  explicit Throttle(double delay);
  bool tooSoon(TimePoint now, TimePoint last) const noexcept {
    const Int128 elapsed = Int128{now.time_since_epoch().count()} -
                           Int128{last.time_since_epoch().count()};
    return elapsed <= threshold_;
  }

 private:
  Int128 threshold_;
};

struct BarAccess;

}  // namespace detail

/// The bar's lock with the `State` it guards. Updates take it for the whole of
/// their work; `read()` takes it briefly to copy the state.
template <class Custom = std::monostate>
class alignas(64) LockedState {  // its own cache lines: updaters contend here only
 public:
  /// A copy of the current state, taken under the lock.
  State<Custom> read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
  }

 private:
  friend struct detail::BarAccess;
  template <class>
  friend class ProgressBar;
  explicit LockedState(State<Custom> state) : state_(std::move(state)) {}

  mutable std::mutex mutex_;
  State<Custom> state_;  // written under mutex_
};

/// A live progress bar. A cheap handle: copies share one lock and one state,
/// which live as long as any copy, so copies may be handed to several threads
/// and all update the same bar. Built only by `hNewProgressBar` and
/// `newProgressBar`. The handle refers to the caller's stream, which must
/// outlive it; nothing is written when the last copy is dropped.
template <class Custom = std::monostate>
class ProgressBar {
 public:
  /// The style given at creation, with a `TerminalWidth` resolved then.
  const Style<Custom>& pbStyle() const noexcept { return shared_->style; }
  /// The bar's lock and state.
  LockedState<Custom>& pbStateMv() const noexcept { return shared_->state; }
  /// The least time in seconds between two draws of an incomplete bar:
  /// 1.0 / the maximum refresh rate given at creation.
  double pbRefreshDelay() const noexcept { return shared_->refreshDelay; }
  /// When the bar was created.
  TimePoint pbStartTime() const noexcept { return shared_->startTime; }
  /// The stream the bar writes to.
  std::ostream& pbHandle() const noexcept { return *shared_->stream; }

 private:
  friend struct detail::BarAccess;

  struct Shared {
    Shared(Style<Custom> s, double delay, TimePoint start, std::ostream& out,
           State<Custom> first)
        : style(std::move(s)), refreshDelay(delay), throttle(delay), startTime(start),
          stream(&out), state(std::move(first)) {}
    const Style<Custom> style;
    const double refreshDelay;
    const detail::Throttle throttle;
    const TimePoint startTime;
    std::ostream* const stream;
    LockedState<Custom> state;
  };

  explicit ProgressBar(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
};

namespace detail {
struct BarAccess {
  template <class Custom, class... Args>
  static ProgressBar<Custom> make(Args&&... args) {
    using Shared = typename ProgressBar<Custom>::Shared;
    return ProgressBar<Custom>(std::make_shared<Shared>(std::forward<Args>(args)...));
  }
  template <class Custom>
  static auto& shared(const ProgressBar<Custom>& bar) noexcept { return *bar.shared_; }
  template <class Custom>
  static std::mutex& mutex(LockedState<Custom>& s) noexcept { return s.mutex_; }
  template <class Custom>
  static State<Custom>& state(LockedState<Custom>& s) noexcept { return s.state_; }
};
}  // namespace detail

/// One draw: renders the line, writes it, then "\r" while the work is
/// incomplete or the style's completion terminator ("\n" for `WriteNewline`,
/// "\r\x1b[K" for `Clear`), then flushes once. A failing write or flush throws
/// (`std::ios_base::failure`, or the stream's own exception) and leaves the
/// stream's error state as it was before the draw.
template <class Custom>
void drawProgressBar(std::ostream& stream, const Style<Custom>& style,
                     const Progress<Custom>& progress, const Timing& timing) {
  const Text line = renderProgressBar(style, progress, timing);
  detail::writeDraw(stream, {line, detail::terminatorFor(detail::isComplete(progress),
                                                         style.styleOnComplete)});
}

/// Creates a bar on `stream` and draws its first line before returning.
/// A `TerminalWidth` is resolved once, here, against the terminal on standard
/// output (whatever stream the bar writes to); when standard output is not a
/// terminal its fallback width stands. `maxRefreshRate` is the most draws per
/// second of an incomplete bar (0: only complete progress is drawn; NaN or
/// +inf: every update is drawn). If the first draw fails, its failure
/// propagates and no bar is made.
template <class Custom>
ProgressBar<Custom> hNewProgressBar(std::ostream& stream, const Style<Custom>& style,
                                    double maxRefreshRate,
                                    const Progress<Custom>& initialProgress) {
  Style<Custom> resolved = style;
  if (auto* terminal = std::get_if<TerminalWidth>(&resolved.styleWidth)) {
    if (const std::optional<std::int64_t> columns = detail::terminalColumns()) {
      terminal->n = *columns;
    }
  }
  const TimePoint start = detail::readWallClock();
  drawProgressBar(stream, resolved, initialProgress, Timing{start, start});
  return detail::BarAccess::make<Custom>(std::move(resolved), 1.0 / maxRefreshRate, start,
                                         stream, State<Custom>{initialProgress, start});
}

/// `hNewProgressBar` on standard error (the width still follows standard output).
template <class Custom>
ProgressBar<Custom> newProgressBar(const Style<Custom>& style, double maxRefreshRate,
                                   const Progress<Custom>& initialProgress) {
  return hNewProgressBar(std::cerr, style, maxRefreshRate, initialProgress);
}

namespace detail {
template <class Custom, class F>
void updateAt(const ProgressBar<Custom>& bar, TimePoint now, F& f);
}  // namespace detail

/// Applies `f` (a callable from `const Progress<Custom>&` to `Progress<Custom>`)
/// to the stored progress under the bar's lock and stores the result. The line
/// is redrawn when more than `pbRefreshDelay()` seconds have passed since the
/// last draw, and always when the result is complete; otherwise nothing is
/// written. The clock is read before the lock is taken. Safe from any number
/// of threads; updates of one bar never interleave and none is lost.
/// If `f` or the draw throws (or the thread is cancelled while drawing), the
/// bar keeps its previous state, the lock is released and the failure
/// propagates.
template <class Custom, class F>
  requires std::is_invocable_r_v<Progress<Custom>, F&, const Progress<Custom>&>
void updateProgress(const ProgressBar<Custom>& bar, F&& f) {
  detail::updateAt(bar, detail::readWallClock(), f);
}

namespace detail {
// The update with its time stamp already taken.
template <class Custom, class F>
void updateAt(const ProgressBar<Custom>& bar, TimePoint now, F& f) {
  auto& shared = detail::BarAccess::shared(bar);
  std::lock_guard<std::mutex> lock(detail::BarAccess::mutex(shared.state));
  State<Custom>& state = detail::BarAccess::state(shared.state);
  Progress<Custom> next = std::invoke(f, std::as_const(state.stProgress));
  if (!detail::isComplete(next) && shared.throttle.tooSoon(now, state.stRenderTime)) {
    state.stProgress = std::move(next);
    return;
  }
  drawProgressBar(*shared.stream, shared.style, next, Timing{shared.startTime, now});
  state.stProgress = std::move(next);
  state.stRenderTime = now;
}
}  // namespace detail

/// Adds `n` to `progressDone` (wrapping modulo 2^64; n may be zero or
/// negative), as `updateProgress` does.
template <class Custom>
void incProgress(const ProgressBar<Custom>& bar, std::int64_t n) {
  updateProgress(bar, [n](const Progress<Custom>& p) { return detail::addToDone(p, n); });
}

/// Prints `text` and a line feed above a live bar, so that log lines and the
/// bar never tear each other: under the bar's lock, erases the bar's line
/// ("\r\x1b[K"), writes the text and "\n", and draws the bar again below with
/// its stored progress and the current time. Once the stored progress is
/// complete the bar is finished, so only the text and "\n" are written. It does
/// not count as a draw for the throttle and changes no state. Failures behave
/// as an update's: they propagate, and the stream's error state is put back.
template <class Custom>
void printAbove(const ProgressBar<Custom>& bar, std::string_view text) {
  auto& shared = detail::BarAccess::shared(bar);
  const TimePoint now = detail::readWallClock();
  std::lock_guard<std::mutex> lock(detail::BarAccess::mutex(shared.state));
  const Progress<Custom>& progress = detail::BarAccess::state(shared.state).stProgress;
  if (detail::isComplete(progress)) {
    detail::writeDraw(*shared.stream, {text, "\n"});
    return;
  }
  const Text line = renderProgressBar(shared.style, progress, Timing{shared.startTime, now});
  detail::writeDraw(*shared.stream, {detail::kEraseLine, text, "\n", line, "\r"});
}

}  // namespace System::ProgressBar
