// Progress, timing and state records: the values that travel between a bar
// handle, the renderer and the labels.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

namespace System::ProgressBar {

/// Text in UTF-8. Every length and width the library measures is counted in
/// Unicode code points, never in bytes or terminal columns.
using Text = std::string;

/// A wall-clock UTC instant with nanosecond resolution (seconds and
/// nanoseconds since the POSIX epoch, as the real-time clock reports them).
using TimePoint = std::chrono::sys_time<std::chrono::nanoseconds>;

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
  TimePoint timingStart;
  TimePoint timingLastUpdate;
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

// `p` with n added to progressDone, wrapping modulo 2^64.
template <class Custom>
Progress<Custom> addToDone(const Progress<Custom>& p, std::int64_t n) {
  return Progress<Custom>{static_cast<std::int64_t>(static_cast<std::uint64_t>(p.progressDone) +
                                                    static_cast<std::uint64_t>(n)),
                          p.progressTodo, p.progressCustom};
}

template <class Custom>
constexpr bool isComplete(const Progress<Custom>& p) noexcept {
  return p.progressDone >= p.progressTodo;
}

}  // namespace detail
}  // namespace System::ProgressBar
