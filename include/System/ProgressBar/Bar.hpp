// The live bar: a shared handle that draws a line on an output stream and
// redraws it in place as updates arrive, at most as often as its refresh rate
// allows, from any number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/Rates.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/detail/BarCore.hpp"
#include "System/ProgressBar/detail/BarSink.hpp"

namespace System::ProgressBar {

template <class Custom>
class ProgressBar;

namespace detail {
// Compiled helpers of this header.
// The process's standard error stream.
std::ostream& standardError() noexcept;
// Columns of the terminal on standard output, or nothing when it is not a
// terminal or the query fails.
std::optional<std::int64_t> terminalColumns() noexcept;

template <class Custom>
class BarShared;
struct BarAccess;
}  // namespace detail

namespace detail {
// A progress in place, or none. std::optional would ask whether the progress
// is default constructible, which instantiates the custom value's default
// initializer, and a custom type needs nothing but to be copyable.
template <class Custom>
class ProgressSlot {
 public:
  ProgressSlot() noexcept {}
  ProgressSlot(const ProgressSlot&) = delete;
  ProgressSlot& operator=(const ProgressSlot&) = delete;
  ~ProgressSlot() { reset(); }
  template <class... Args>
  Progress<Custom>& emplace(Args&&... args) {
    reset();
    ::new (static_cast<void*>(&value_)) Progress<Custom>(std::forward<Args>(args)...);
    full_ = true;
    return value_;
  }
  void reset() noexcept {
    if (full_) value_.~Progress<Custom>();
    full_ = false;
  }
  Progress<Custom>& operator*() noexcept { return value_; }
  const Progress<Custom>& operator*() const noexcept { return value_; }
  Progress<Custom>* operator->() noexcept { return &value_; }
  const Progress<Custom>* operator->() const noexcept { return &value_; }

 private:
  union {
    Progress<Custom> value_;
  };
  bool full_ = false;
};
}  // namespace detail

/// The bar's lock with the state it guards. `read()` is its public face.
template <class Custom = std::monostate>
class LockedState {
 public:
  /// A copy of the current state, taken under the lock: the progress holds
  /// every update that has returned. Throws `std::logic_error` when called from
  /// inside a callable of the same bar while it draws.
  State<Custom> read() const {
    core_.lock("pbStateMv().read()");
    struct Unlock {
      detail::BarCore& core;
      ~Unlock() { core.unlock(); }
    } unlock{core_};
    Progress<Custom> progress = *slots_[current_];
    progress.progressDone = core_.total();
    return State<Custom>{std::move(progress), core_.renderTime()};
  }

 private:
  template <class>
  friend class detail::BarShared;

  LockedState(double delay, TimePoint start, const Progress<Custom>& initial, bool totalKnown)
      : core_(delay, start, initial.progressDone),
        totalKnown_(totalKnown),
        lineEnded_(totalKnown && detail::isComplete(initial)),
        shownDone_(initial.progressDone) {
    slots_[0].emplace(initial);
    history_.record(initial.progressDone, start);
    core_.open(policy());
  }

  Progress<Custom>& stored() noexcept { return *slots_[current_]; }
  detail::ProgressSlot<Custom>& spare() noexcept { return slots_[current_ ^ 1]; }
  bool complete(const Progress<Custom>& p) const noexcept {
    return totalKnown_ && detail::isComplete(p);
  }
  // Under the lock: how cells may count until the lock is taken again.
  detail::CountPolicy policy() const noexcept {
    return {
        .drawsNever = finished_, .totalKnown = totalKnown_, .todo = slots_[current_]->progressTodo};
  }

  mutable detail::BarCore core_;
  // The stored progress and a spare: an update builds the next progress in
  // the spare and switches only once nothing can fail, so a failure leaves
  // the stored progress whole. The done field is refreshed from the core
  // whenever it is used.
  detail::ProgressSlot<Custom> slots_[2];
  std::size_t current_ = 0;
  bool totalKnown_;
  bool finished_ = false;
  bool finishing_ = false;  // the draw under way is the finishing one
  bool lineEnded_;          // the last line drawn ended the bar's line
  // Whether the last line drawn shows the stored progress, with what done:
  // an increment that a draw already showed needs no line of its own.
  bool shown_ = true;
  std::int64_t shownDone_;
  // Reused by every draw, so that a draw allocates nothing once warm.
  Text line_;
  detail::EscapeTexts escapes_;
  SpeedHistory history_;
};

/// A live progress bar. A cheap handle: copies share one lock and one state,
/// which live as long as any copy, so copies may be handed to several threads
/// and all update the same bar. Moving a handle copies it, so a handle that
/// was moved from still refers to its bar. Built by `hNewProgressBar`,
/// `newProgressBar` and `Display::add`. The handle refers to the caller's
/// stream, which must outlive it; nothing is written when the last copy is
/// dropped.
///
/// The callables of a bar's style, the update functions given to it and its
/// stream must not call back into the same bar while it draws: such a call
/// throws `std::logic_error` naming the call.
template <class Custom = std::monostate>
class ProgressBar {
 public:
  ProgressBar(const ProgressBar&) = default;
  ProgressBar& operator=(const ProgressBar&) = default;
  ProgressBar(ProgressBar&& other) noexcept : shared_(other.shared_) {}
  ProgressBar& operator=(ProgressBar&& other) noexcept {
    shared_ = other.shared_;
    return *this;
  }
  ~ProgressBar() = default;

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
  std::ostream& pbHandle() const noexcept { return shared_->sink->stream(); }

 private:
  friend struct detail::BarAccess;
  explicit ProgressBar(std::shared_ptr<detail::BarShared<Custom>> shared)
      : shared_(std::move(shared)) {}

  std::shared_ptr<detail::BarShared<Custom>> shared_;
};

namespace detail {

struct BarAccess {
  template <class Custom>
  static ProgressBar<Custom> make(std::shared_ptr<BarShared<Custom>> shared) {
    return ProgressBar<Custom>(std::move(shared));
  }
  template <class Custom>
  static BarShared<Custom>& shared(const ProgressBar<Custom>& bar) noexcept {
    return *bar.shared_;
  }
  template <class Custom>
  static std::shared_ptr<BarShared<Custom>> pointer(const ProgressBar<Custom>& bar) noexcept {
    return bar.shared_;
  }
};

// The moving mark of a bar whose total is not known advances one cell per step.
inline constexpr std::int64_t kMarkStepNs = 100'000'000;

// Everything a bar is, behind its handles.
template <class Custom>
class BarShared final : public Redrawable {
 public:
  BarShared(Style<Custom> resolved, double delay, TimePoint start, std::unique_ptr<BarSink> output,
            const Progress<Custom>& initial, bool totalKnown)
      : style(std::move(resolved)),
        activeEscapes(detail::activeEscapes(style)),
        refreshDelay(delay),
        startTime(start),
        sink(std::move(output)),
        fixed(style.styleOpen, style.styleClose, style.styleDone, style.styleCurrent,
              style.styleTodo, sink->options().measure),
        state(delay, start, initial, totalKnown) {}

  // Holds the bar's lock for a scope, closed for lock-free counting; lets
  // cells count again when the scope ends, however it ends, on the policy
  // of the state as the holder left it (read under the lock, never before).
  class Held {
   public:
    Held(BarShared& bar, const char* call) : state_(bar.state) {
      state_.core_.lock(call);
      state_.core_.close();
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
      state_.core_.open(state_.policy());
      state_.core_.unlock();
    }
    BarCore& core() noexcept { return state_.core_; }

   private:
    LockedState<Custom>& state_;
  };

  const Style<Custom> style;
  const unsigned activeEscapes;  // of the style: which escapes to call
  const double refreshDelay;
  const TimePoint startTime;
  const std::unique_ptr<BarSink> sink;
  const FixedParts fixed;  // of the style, as the sink measures
  LockedState<Custom> state;

  // Renders the first line without the lock: the bar is not shared yet.
  void drawFirst(const Progress<Custom>& initial) {
    drawLine(initial, startTime, state.complete(initial), DrawCause::kUpdate, nullptr);
  }

  // incProgress: lock-free when provably harmless, else under the lock.
  void increment(std::int64_t n) {
    CountAttempt attempt;
    switch (state.core_.tryCount(n, attempt)) {
      case Count::kCounted:
        return;
      case Count::kSettle:
        settle(n, attempt.haveNow ? attempt.now : readWallClock());
        return;
      case Count::kApply:
        apply(n, attempt.haveNow ? attempt.now : readWallClock());
        return;
    }
  }

  Count tryCount(std::int64_t n, CountAttempt& attempt) noexcept {
    return state.core_.tryCount(n, attempt);
  }

  // Adds n without drawing and without failing (a loop left early).
  void countOnly(std::int64_t n) noexcept { state.core_.countOnly(n); }

  // Adds n under the lock, drawing when due.
  void apply(std::int64_t n, TimePoint now, const char* call = "incProgress") {
    Held held(*this, call);
    Progress<Custom>& p = state.stored();
    p.progressDone = wrappingAdd(held.core().total(), n);
    if (drawDue(p, now)) {
      drawLine(p, now, state.complete(p), DrawCause::kUpdate, nullptr);
    } else {
      state.shown_ = false;
    }
    held.core().add(n);
  }

  // Decides about n that lock-free counting has already added.
  void settle(std::int64_t n, TimePoint now) {
    Held held(*this, "incProgress");
    Progress<Custom>& p = state.stored();
    p.progressDone = held.core().total();
    // A line drawn since n was added already shows it: n is not zero and
    // nothing but lock-free additions, which cannot cancel it, changes the
    // count without drawing.
    if (n != 0 && state.shown_ && p.progressDone == state.shownDone_) return;
    if (!drawDue(p, now)) {
      state.shown_ = false;
      return;
    }
    try {
      drawLine(p, now, state.complete(p), DrawCause::kUpdate, nullptr);
    } catch (...) {
      held.core().add(wrappingAdd(0, -n));  // the failed update takes nothing
      throw;
    }
  }

  // updateProgress: f's result is built beside the stored progress and takes
  // its place only once the draw has succeeded.
  template <class F>
  void update(F& f, TimePoint now, const char* call = "updateProgress") {
    Held held(*this, call);
    Progress<Custom>& current = state.stored();
    const std::int64_t before = held.core().total();
    current.progressDone = before;
    detail::ProgressSlot<Custom>& spare = state.spare();
    spare.reset();
    spare.emplace(std::invoke(f, std::as_const(current)));
    const Progress<Custom>& next = *spare;
    if (drawDue(next, now)) {
      drawLine(next, now, state.complete(next), DrawCause::kUpdate, nullptr);
    } else {
      state.shown_ = false;
    }
    held.core().add(wrappingAdd(next.progressDone, wrappingAdd(0, -before)));
    state.current_ ^= 1;
  }

  void printAbove(std::string_view text) {
    const TimePoint now = readWallClock();
    Held held(*this, "printAbove");
    Progress<Custom>& p = state.stored();
    p.progressDone = held.core().total();
    if (state.finished_ || state.complete(p) || !sink->wantsLineAbove()) {
      sink->printAbove(text, nullptr);
      return;
    }
    // Not a draw: the speed history keeps nothing of it.
    renderLine(p, now);
    state.history_.discard();
    sink->printAbove(text, &state.line_);
  }

  // Ends the bar: draws the stored progress once more, with `postfix` in
  // place of the style's postfix when given, and ends its line.
  void finish(const Label<Custom>* postfix) {
    const TimePoint now = readWallClock();
    Held held(*this, "finish");
    if (state.finished_) return;
    Progress<Custom>& p = state.stored();
    p.progressDone = held.core().total();
    // A completed line that ended the bar's line stays as it is, unless a
    // message is to be shown.
    if (!state.lineEnded_ || postfix != nullptr) {
      state.finishing_ = true;
      try {
        drawLine(p, now, true, DrawCause::kUpdate, postfix);
      } catch (...) {
        state.finishing_ = false;
        throw;
      }
    }
    state.finished_ = true;
    state.finishing_ = false;
  }

  // Gives a bar whose total was not known its total; draws at once.
  void setTotal(std::int64_t total) {
    const TimePoint now = readWallClock();
    Held held(*this, "setTotal");
    Progress<Custom>& p = state.stored();
    p.progressDone = held.core().total();
    const std::int64_t oldTodo = p.progressTodo;
    const bool wasKnown = state.totalKnown_;
    p.progressTodo = total;
    state.totalKnown_ = true;
    if (state.finished_) return;
    try {
      drawLine(p, now, state.complete(p), DrawCause::kUpdate, nullptr);
    } catch (...) {
      p.progressTodo = oldTodo;
      state.totalKnown_ = wasKnown;
      throw;
    }
  }

  // A steady tick: the stored progress at the current time, read under the
  // lock so that the line is never older than the last one drawn. `cause`
  // is kTick when a display ticks all its bars and then frames once.
  void redraw(DrawCause cause) override {
    Held held(*this, "a tick");
    const TimePoint now = readWallClock();
    Progress<Custom>& p = state.stored();
    p.progressDone = held.core().total();
    if (state.finished_ || state.complete(p)) return;
    drawLine(p, now, false, cause, nullptr);
  }

 private:
  bool drawDue(const Progress<Custom>& p, TimePoint now) const noexcept {
    if (state.finished_) return false;
    return state.complete(p) || !state.core_.tooSoon(now);
  }

  void renderLine(const Progress<Custom>& p, TimePoint now,
                  const Label<Custom>* postfix = nullptr) {
    RenderOptions options = sink->options();
    const bool ended = state.finished_ || state.finishing_;
    if (!state.totalKnown_) {
      options.indeterminate = !ended;
      options.phase = static_cast<std::int64_t>(nanosecondsBetween(startTime, now) / kMarkStepNs);
    }
    const Timing timing{startTime, now, &state.history_};
    if (!state.totalKnown_ && ended) {
      // A finished bar of unknown total shows a full bar.
      Progress<Custom> full = p;
      full.progressTodo = 1;
      full.progressDone = 1;
      renderFull(full, p, timing, options, postfix);
      return;
    }
    detail::renderInto(state.line_, &state.escapes_, style, fixed, activeEscapes, p, timing,
                       options, postfix);
  }

  void renderFull(const Progress<Custom>& full, const Progress<Custom>& real, const Timing& timing,
                  const RenderOptions& options, const Label<Custom>* postfix) {
    // The labels see the real progress; only the bar proper is full.
    Style<Custom> shown = style;
    shown.stylePrefix =
        Label<Custom>([prefix = style.stylePrefix, real](const Progress<Custom>&, const Timing& t) {
          return prefix.runLabel(real, t);
        });
    const Label<Custom>& after = postfix != nullptr ? *postfix : style.stylePostfix;
    shown.stylePostfix = Label<Custom>([after, real](const Progress<Custom>&, const Timing& t) {
      return after.runLabel(real, t);
    });
    detail::renderInto(state.line_, &state.escapes_, shown, fixed, activeEscapes, full, timing,
                       options);
  }

  void drawLine(const Progress<Custom>& p, TimePoint now, bool complete, DrawCause cause,
                const Label<Custom>* postfix) {
    try {
      renderLine(p, now, postfix);
      sink->draw(state.line_, complete, style.styleOnComplete, now, cause, p.progressDone,
                 p.progressTodo);
    } catch (...) {
      state.history_.discard();
      throw;
    }
    state.history_.commit();
    state.lineEnded_ = complete;
    state.shown_ = true;
    state.shownDone_ = p.progressDone;
    state.core_.setRenderTime(now);
  }
};

}  // namespace detail

/// One draw: renders the line, writes it, then "\r" while the work is
/// incomplete or the style's completion terminator ("\n" for `WriteNewline`,
/// "\r\x1b[K" for `Clear`), then flushes once. A stream that is not good, or
/// a failing write or flush, throws (`std::ios_base::failure`, or the
/// stream's own exception); the error bits the draw caused are cleared when
/// the stream was good before it.
template <class Custom>
void drawProgressBar(std::ostream& stream, const Style<Custom>& style,
                     const Progress<Custom>& progress, const Timing& timing) {
  const Text line = ::System::ProgressBar::renderProgressBar(style, progress, timing);
  detail::writeDraw(
      stream, {line, detail::terminatorFor(detail::isComplete(progress), style.styleOnComplete)});
}

/// Marks a bar whose total is not known when it is created (reading a stream,
/// walking a tree): `newProgressBar(style, rate, progress, unknownTotal)`.
/// Such a bar shows motion instead of filling (the current mark moves across
/// the bar, one cell every 0.1 s, as it is redrawn), is never complete and so
/// never ends its line by itself: end it with `finish`, or give it its total
/// with `setTotal`. Labels see the progress as stored; use labels that do not
/// need the total (`count`, `bytesDone`, `throughput`, `elapsedTime`,
/// `spinner`), as `spinnerStyle` does.
struct UnknownTotal {
  explicit constexpr UnknownTotal() = default;
};
inline constexpr UnknownTotal unknownTotal{};

namespace detail {
// Creates a bar on `sink` and draws its first line.
template <class Custom>
ProgressBar<Custom> makeBar(Style<Custom> style, double maxRefreshRate,
                            const Progress<Custom>& initialProgress, std::unique_ptr<BarSink> sink,
                            bool totalKnown) {
  const TimePoint start = readWallClock();
  auto shared = std::make_shared<BarShared<Custom>>(std::move(style), 1.0 / maxRefreshRate, start,
                                                    std::move(sink), initialProgress, totalKnown);
  shared->drawFirst(initialProgress);
  return BarAccess::make(std::move(shared));
}

template <class Custom>
Style<Custom> resolveWidth(const Style<Custom>& style) {
  Style<Custom> resolved = style;
  if (auto* terminal = std::get_if<TerminalWidth>(&resolved.styleWidth)) {
    if (const std::optional<std::int64_t> columns = terminalColumns()) terminal->n = *columns;
  }
  return resolved;
}
}  // namespace detail

/// Creates a bar on `stream` and draws its first line before returning.
/// A `TerminalWidth` is resolved once, here, against the terminal on standard
/// output (whatever stream the bar writes to); when standard output is not a
/// terminal its fallback width stands. `maxRefreshRate` is the most draws per
/// second of an incomplete bar: 0 draws only complete progress; NaN draws
/// every update; +inf draws every update made later than the last draw (an
/// update with the same time stamp as the last draw is too soon). If the first
/// draw fails, its failure propagates and no bar is made.
template <class Custom>
ProgressBar<Custom> hNewProgressBar(std::ostream& stream, const Style<Custom>& style,
                                    double maxRefreshRate,
                                    const Progress<Custom>& initialProgress) {
  Style<Custom> resolved = detail::resolveWidth(style);
  const TimePoint start = detail::readWallClock();
  ::System::ProgressBar::drawProgressBar(stream, resolved, initialProgress, Timing{start, start});
  return detail::BarAccess::make(std::make_shared<detail::BarShared<Custom>>(
      std::move(resolved), 1.0 / maxRefreshRate, start,
      std::make_unique<detail::StreamSink>(stream), initialProgress, true));
}

/// `hNewProgressBar` on standard error (the width still follows standard output).
template <class Custom>
ProgressBar<Custom> newProgressBar(const Style<Custom>& style, double maxRefreshRate,
                                   const Progress<Custom>& initialProgress) {
  return ::System::ProgressBar::hNewProgressBar(detail::standardError(), style, maxRefreshRate,
                                                initialProgress);
}

/// A bar whose total is not known yet (see `UnknownTotal`), on `stream`.
template <class Custom>
ProgressBar<Custom> hNewProgressBar(std::ostream& stream, const Style<Custom>& style,
                                    double maxRefreshRate, const Progress<Custom>& initialProgress,
                                    UnknownTotal) {
  return detail::makeBar(detail::resolveWidth(style), maxRefreshRate, initialProgress,
                         std::make_unique<detail::StreamSink>(stream), false);
}

/// A bar whose total is not known yet (see `UnknownTotal`), on standard error.
template <class Custom>
ProgressBar<Custom> newProgressBar(const Style<Custom>& style, double maxRefreshRate,
                                   const Progress<Custom>& initialProgress, UnknownTotal total) {
  return ::System::ProgressBar::hNewProgressBar(detail::standardError(), style, maxRefreshRate,
                                                initialProgress, total);
}

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
requires std::is_invocable_r_v<Progress<Custom>, F&, const Progress<Custom>&> void updateProgress(
    const ProgressBar<Custom>& bar, F&& f) {
  const TimePoint now = detail::readWallClock();
  detail::BarAccess::shared(bar).update(f, now);
}

/// Adds `n` to `progressDone` (wrapping modulo 2^64; n may be zero or
/// negative), as `updateProgress` does, with the same drawing, throttle and
/// failure behaviour. An increment that can neither complete the work nor make
/// a draw due is counted without taking the bar's lock: it costs about one
/// atomic addition and a read of the coarse clock.
template <class Custom>
void incProgress(const ProgressBar<Custom>& bar, std::int64_t n) {
  detail::BarAccess::shared(bar).increment(n);
}

/// Prints `text` and a line feed above a live bar, so that log lines and the
/// bar never tear each other: under the bar's lock, erases the bar's line
/// ("\r\x1b[K"), writes the text and "\n", and draws the bar again below with
/// its stored progress and the current time. Once the stored progress is
/// complete (or the bar finished) its line is final, so only the text and
/// "\n" are written. For a bar of a `Display` the text goes above the whole
/// display. It does not count as a draw for the throttle and changes no
/// state. Failures behave as an update's.
template <class Custom>
void printAbove(const ProgressBar<Custom>& bar, std::string_view text) {
  detail::BarAccess::shared(bar).printAbove(text);
}

}  // namespace System::ProgressBar
