// Progress, timing and state records: the values that travel between a bar
// handle, the renderer and the labels.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

/// Text in UTF-8. The renderer counts every length in Unicode code points;
/// a display counts terminal columns.
using Text = std::string;

/// A wall-clock UTC instant with nanosecond resolution (seconds and
/// nanoseconds since the POSIX epoch, as the real-time clock reports them).
using TimePoint = std::chrono::sys_time<std::chrono::nanoseconds>;

class SpeedHistory;

/// What a caller reports: how much is done, how much there is in all, and a
/// value of the caller's own that the library carries but never looks at.
/// No relation between the counts is enforced; either may be zero or
/// negative. The work is complete when `progressDone >= progressTodo`, so 0 of
/// 0 and 7 of 5 are complete.
template <class Custom = std::monostate>
struct Progress {
  std::int64_t progressDone;
  std::int64_t progressTodo;
  Custom progressCustom{};
};

/// When a bar started and the time stamp of the update being drawn. Labels
/// measure elapsed time as `timingLastUpdate - timingStart`.
struct Timing {
  TimePoint timingStart{};
  TimePoint timingLastUpdate{};
  /// The drawing bar's record of its recent speed, which the recent-rate
  /// labels read (and never write). A bar fills it in; in a `Timing` you
  /// build yourself it is null, and those labels then use the average since
  /// the start.
  const SpeedHistory* timingHistory = nullptr;
  /// The drawing bar's message (`setMessage`), which `message()` shows; null
  /// in a `Timing` you build yourself.
  const Text* timingMessage = nullptr;
};

/// What a bar's lock holds between updates: the latest progress (stored by
/// every update, drawn or not) and the time stamp of the last draw.
template <class Custom = std::monostate>
struct State {
  Progress<Custom> stProgress;
  TimePoint stRenderTime;
};

namespace detail {

// 128-bit integers for exact arithmetic on 64-bit counts.
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

// `to - from` in nanoseconds, exact for any two time points.
constexpr Int128 nanosecondsBetween(TimePoint from, TimePoint to) noexcept {
  return Int128{to.time_since_epoch().count()} - Int128{from.time_since_epoch().count()};
}

// a + b modulo 2^64, as progress counts add.
constexpr std::int64_t wrappingAdd(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
// a - b modulo 2^64: what takes an addition of b back, for any b.
constexpr std::int64_t wrappingSub(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
// -a modulo 2^64: the least count is its own negation.
constexpr std::int64_t wrappingNeg(std::int64_t a) noexcept { return wrappingSub(0, a); }

// The character types, whose values are characters rather than numbers.
template <class T>
inline constexpr bool kCharacter =
    std::is_same_v<std::remove_cv_t<T>, char> || std::is_same_v<std::remove_cv_t<T>, wchar_t> ||
    std::is_same_v<std::remove_cv_t<T>, char8_t> || std::is_same_v<std::remove_cv_t<T>, char16_t> ||
    std::is_same_v<std::remove_cv_t<T>, char32_t>;

// A type a count (a total, an increment, a repetition) may be given in: any
// integer type but bool and the character types, so that a 'x' or a true
// where a number was meant is an error at the call rather than a count.
// signed char and unsigned char (std::int8_t, std::uint8_t) are small
// integers, and count.
template <class T>
concept CountInteger =
    std::is_integral_v<T> && !std::is_same_v<std::remove_cv_t<T>, bool> && !kCharacter<T>;

template <class Custom>
constexpr bool isComplete(const Progress<Custom>& p) noexcept {
  return p.progressDone >= p.progressTodo;
}

}  // namespace detail
}  // namespace System::ProgressBar
