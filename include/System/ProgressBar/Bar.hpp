// The live bar: a shared handle that draws a line on an output stream and
// redraws it in place as updates arrive, at most as often as its refresh rate
// allows, from any number of threads.
//
//   const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 1000});
//   pb::incProgress(bar, 1);            // from any thread
//   pb::updateProgress(bar, [](const pb::Progress<>& p) { return p; });
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/SpeedHistory.hpp"
#include "System/ProgressBar/Style.hpp"
#include "System/ProgressBar/detail/Engine.hpp"

namespace System::ProgressBar {

template <class Custom>
class ProgressBar;

namespace detail {
template <class Custom>
class TypedBar;
struct BarAccess;
template <class Custom>
ProgressBar<Custom> makeBar(Style<Custom> style, double maxRefreshRate,
                            const Progress<Custom>& initialProgress, Own<BarSink> sink,
                            bool totalKnown);
template <class Custom>
Style<Custom> resolveWidth(const Style<Custom>& style);
}  // namespace detail

/// The bar's lock with the state it guards. `read()` is its public face.
template <class Custom = std::monostate>
class LockedState {
 public:
  LockedState(const LockedState&) = delete;
  LockedState& operator=(const LockedState&) = delete;

  /// A copy of the current state, taken under the lock: the progress holds
  /// every update that has returned. Throws `std::logic_error` when called from
  /// inside a callable of the same bar while it draws.
  State<Custom> read() const;

 private:
  friend class detail::TypedBar<Custom>;
  explicit LockedState(detail::TypedBar<Custom>& bar) noexcept : bar_(bar) {}
  detail::TypedBar<Custom>& bar_;
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
  // Declared, so that a move is a copy: a handle moved from keeps its bar.
  ProgressBar(const ProgressBar&) noexcept = default;
  ProgressBar& operator=(const ProgressBar&) noexcept = default;

  /// The style given at creation. A `TerminalWidth` was resolved then for a
  /// bar of its own; a display's bar keeps it as given and follows the
  /// display's width.
  const Style<Custom>& pbStyle() const noexcept { return bar_->style; }
  /// The bar's lock and state.
  LockedState<Custom>& pbStateMv() const noexcept { return bar_->state; }
  /// The least time in seconds between two draws of an incomplete bar:
  /// 1.0 / the maximum refresh rate given at creation.
  double pbRefreshDelay() const noexcept { return bar_->refreshDelay; }
  /// When the bar was created, or last `reset`.
  TimePoint pbStartTime() const noexcept { return detail::Engine::startTime(*engine_); }
  /// The stream the bar writes to.
  std::ostream& pbHandle() const noexcept { return detail::Engine::stream(*engine_); }

 private:
  friend struct detail::BarAccess;
  ProgressBar(detail::Ref<detail::BarEngine> engine, detail::TypedBar<Custom>* bar) noexcept
      : engine_(std::move(engine)), bar_(bar) {}

  detail::Ref<detail::BarEngine> engine_;
  detail::TypedBar<Custom>* bar_;  // owned by the engine
};

namespace detail {
// How the library reaches a handle's engine and typed half.
struct BarAccess {
  template <class Custom>
  static ProgressBar<Custom> make(Ref<BarEngine> engine, TypedBar<Custom>* bar) noexcept {
    return ProgressBar<Custom>(std::move(engine), bar);
  }
  template <class Custom>
  static BarEngine& engine(const ProgressBar<Custom>& bar) noexcept {
    return *bar.engine_;
  }
  template <class Custom>
  static TypedBar<Custom>& typed(const ProgressBar<Custom>& bar) noexcept {
    return *bar.bar_;
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
  detail::drawLine(stream, line, progress.progressDone >= progress.progressTodo,
                   style.styleOnComplete);
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
  return detail::makeBar(detail::resolveWidth(style), maxRefreshRate, initialProgress,
                         detail::streamSink(stream), true);
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
                         detail::streamSink(stream), false);
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
  detail::TypedBar<Custom>& typed = detail::BarAccess::typed(bar);
  detail::Engine::update(*typed.engine, now,
                         [&](std::int64_t done) { return typed.buildSpare(f, done); });
}

/// Adds `n` to `progressDone` (wrapping modulo 2^64; n may be zero or
/// negative), as `updateProgress` does, with the same drawing, throttle and
/// failure behaviour. An increment that can neither complete the work nor make
/// a draw due is counted without taking the bar's lock: it costs about one
/// atomic addition and a read of the coarse clock, and the addition alone
/// while a `Ticker` watches the bar. `n` is of any integer type
/// but bool and the character types (a `char` or `char32_t` increment does
/// not compile); a value beyond the 64-bit range counts modulo 2^64, as the
/// addition does.
template <class Custom, detail::CountInteger N>
void incProgress(const ProgressBar<Custom>& bar, N step) {
  const auto n = static_cast<std::int64_t>(step);  // modulo 2^64
  detail::TypedBar<Custom>& typed = detail::BarAccess::typed(bar);
  detail::CountAttempt attempt;
  detail::Engine::count(*typed.engine, *typed.counter, n, attempt);
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
  detail::Engine::printAbove(detail::BarAccess::engine(bar), text);
}

/// Sets the text that the bar's `message()` labels show (empty until set),
/// from any thread: an update like any other, drawn when a draw is due and
/// otherwise at the next draw, never lost; the last message set is the one
/// shown. Failures behave as an update's: the old message stays.
template <class Custom>
void setMessage(const ProgressBar<Custom>& bar, std::string_view message) {
  detail::Engine::setMessage(detail::BarAccess::engine(bar), message);
}

/// The bar's stored progress, as `pbStateMv().read().stProgress`: every
/// update that has returned is in it.
template <class Custom>
Progress<Custom> progressOf(const ProgressBar<Custom>& bar) {
  return bar.pbStateMv().read().stProgress;
}

// What follows is the machinery behind the functions above.

namespace detail {

// `total` as a progress count, when it is one; else std::out_of_range naming
// `call`.
[[noreturn]] void throwCountOutOfRange(const char* call);
template <CountInteger N>
std::int64_t checkedCount(N total, const char* call) {
  if (!std::in_range<std::int64_t>(total)) throwCountOutOfRange(call);
  return static_cast<std::int64_t>(total);
}

// The typed half of a bar: its style and its stored progress, with a spare
// that an update builds the next progress in, so that a failure leaves the
// stored progress whole. The done field is the engine's and is refreshed
// from it whenever it is used.
template <class Custom>
class TypedBar final : public BarModel {
 public:
  TypedBar(Style<Custom> resolved, double delay, const Progress<Custom>& initial)
      : style(std::move(resolved)), refreshDelay(delay), state(*this) {
    slots_[0].emplace(initial);
  }

  void render(LineSource& line, const RenderRequest& r) override {
    Progress<Custom>& p = r.spare ? spare() : stored();
    p.progressDone = r.done;
    // The labels see the real progress; only the bar proper may be full.
    Slot<Progress<Custom>> full;
    if (r.full) {
      full.emplace(p);
      full->progressDone = 1;
      full->progressTodo = 1;
    }
    detail::renderParts(line, style, p, r.full ? *full : p, *r.timing, r.escapes, r.message);
  }
  void setTodo(std::int64_t todo) noexcept override { stored().progressTodo = todo; }
  void commitSpare() noexcept override { current_ ^= 1; }

  // Builds f(stored) in the spare, with the stored progress's done refreshed.
  template <class F>
  Counts buildSpare(F& f, std::int64_t done) {
    Progress<Custom>& current = stored();
    current.progressDone = done;
    Slot<Progress<Custom>>& next = slots_[current_ ^ 1];
    next.reset();
    next.emplace(f(std::as_const(current)));
    return {next->progressDone, next->progressTodo};
  }
  Progress<Custom>& stored() noexcept { return *slots_[current_]; }

  const Style<Custom> style;
  const double refreshDelay;
  BarEngine* engine = nullptr;
  Counter* counter = nullptr;
  LockedState<Custom> state;

 private:
  Progress<Custom>& spare() noexcept { return *slots_[current_ ^ 1]; }

  Slot<Progress<Custom>> slots_[2];
  std::size_t current_ = 0;
};

}  // namespace detail

template <class Custom>
State<Custom> LockedState<Custom>::read() const {
  detail::Slot<State<Custom>> state;
  detail::Engine::read(*bar_.engine, [&](std::int64_t done, TimePoint renderTime) {
    Progress<Custom> progress = bar_.stored();
    progress.progressDone = done;
    state.emplace(State<Custom>{std::move(progress), renderTime});
  });
  return std::move(*state);
}

namespace detail {

// Creates a bar whose lines go to `sink` and draws its first line; if that
// fails, the sink goes. The one way a bar is made.
template <class Custom>
ProgressBar<Custom> makeBar(Style<Custom> style, double maxRefreshRate,
                            const Progress<Custom>& initialProgress, Own<BarSink> sink,
                            bool totalKnown) {
  const TimePoint start = readWallClock();
  auto* bar = new TypedBar<Custom>(std::move(style), 1.0 / maxRefreshRate, initialProgress);
  Own<BarModel> model(bar);
  std::vector<std::int64_t> halfLives;
  detail::collectHalfLives(bar->style.stylePrefix, halfLives);
  detail::collectHalfLives(bar->style.stylePostfix, halfLives);
  const Style<Custom>& s = bar->style;
  Ref<BarEngine> engine = Engine::start(
      std::move(model), std::move(sink),
      EngineSetup{.delay = bar->refreshDelay,
                  .start = start,
                  .open = s.styleOpen,
                  .close = s.styleClose,
                  .done = s.styleDone,
                  .current = s.styleCurrent,
                  .todo = s.styleTodo,
                  .escapes = detail::activeEscapes(s),
                  .onComplete = s.styleOnComplete,
                  .initial = {initialProgress.progressDone, initialProgress.progressTodo},
                  .totalKnown = totalKnown,
                  .halfLives = halfLives.data(),
                  .halfLifeCount = halfLives.size()});
  bar->engine = engine.get();
  bar->counter = &Engine::counter(*engine);
  return BarAccess::make(std::move(engine), bar);
}

// The style with a `TerminalWidth` resolved against standard output.
template <class Custom>
Style<Custom> resolveWidth(const Style<Custom>& style) {
  Style<Custom> resolved = style;
  if (auto* terminal = std::get_if<TerminalWidth>(&resolved.styleWidth)) {
    if (const std::optional<std::int64_t> columns = terminalColumns()) terminal->n = *columns;
  }
  return resolved;
}

}  // namespace detail

PROGRESSBAR_EXTERN_TEMPLATE class LockedState<std::monostate>;
PROGRESSBAR_EXTERN_TEMPLATE class ProgressBar<std::monostate>;
PROGRESSBAR_EXTERN_TEMPLATE void drawProgressBar<std::monostate>(std::ostream&,
                                                                 const Style<std::monostate>&,
                                                                 const Progress<std::monostate>&,
                                                                 const Timing&);
PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate> hNewProgressBar<std::monostate>(
    std::ostream&, const Style<std::monostate>&, double, const Progress<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate> newProgressBar<std::monostate>(
    const Style<std::monostate>&, double, const Progress<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate> hNewProgressBar<std::monostate>(
    std::ostream&, const Style<std::monostate>&, double, const Progress<std::monostate>&,
    UnknownTotal);
PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate> newProgressBar<std::monostate>(
    const Style<std::monostate>&, double, const Progress<std::monostate>&, UnknownTotal);
PROGRESSBAR_EXTERN_TEMPLATE void printAbove<std::monostate>(const ProgressBar<std::monostate>&,
                                                            std::string_view);
PROGRESSBAR_EXTERN_TEMPLATE void setMessage<std::monostate>(const ProgressBar<std::monostate>&,
                                                            std::string_view);
PROGRESSBAR_EXTERN_TEMPLATE Progress<std::monostate> progressOf<std::monostate>(
    const ProgressBar<std::monostate>&);
namespace detail {
PROGRESSBAR_EXTERN_TEMPLATE class TypedBar<std::monostate>;
PROGRESSBAR_EXTERN_TEMPLATE ProgressBar<std::monostate> makeBar<std::monostate>(
    Style<std::monostate>, double, const Progress<std::monostate>&, Own<BarSink>, bool);
PROGRESSBAR_EXTERN_TEMPLATE Style<std::monostate> resolveWidth<std::monostate>(
    const Style<std::monostate>&);
}  // namespace detail

}  // namespace System::ProgressBar
