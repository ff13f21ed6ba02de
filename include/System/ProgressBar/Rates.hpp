// Rate labels: how fast the work goes, on average since the start or
// following the recent speed, and the time left at the recent speed.
//
//   style.stylePostfix = recentByteRate() + " " +
//                        recentRemainingTime(humanDuration, "?") + " left";
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/SpeedHistory.hpp"
#include "System/ProgressBar/Time.hpp"
#include "System/ProgressBar/Units.hpp"

namespace System::ProgressBar {

namespace detail {
// Compiled helpers of this header.
// done per second over the elapsed time of `timing`, or nothing while no time
// has elapsed: SI prefixes glued to the number ("1.25k items/s"), or a byte
// unit ("338 MiB/s").
bool appendAverageRate(Text& out, std::int64_t done, const Timing& timing, std::string_view unit);
bool appendAverageByteRate(Text& out, std::int64_t done, const Timing& timing, ByteUnits units);
void appendRate(Text& out, double perSecond, std::string_view unit);
void appendByteRate(Text& out, double perSecond, ByteUnits units);
// The recent speed from the timing's history, or the average since the start
// when it has none; nothing while no time has passed.
std::optional<double> recentSpeed(std::chrono::nanoseconds halfLife, std::int64_t done,
                                  const Timing& timing);
// (todo - done) at `perSecond`; nothing when the speed is not positive.
std::optional<Duration> timeLeftAt(double perSecond, std::int64_t done, std::int64_t todo);

// A label that reads the recent speed at one half-life: a bar keeps that
// half-life in its history.
template <class Custom, class F>
class RecentNode final : public LabelNode<Custom> {
 public:
  using CustomType = Custom;
  RecentNode(std::chrono::nanoseconds halfLife, F f) : halfLife_(halfLife), f_(std::move(f)) {}
  void appendTo(Text& out, const Progress<Custom>& p, const Timing& t) const override {
    f_(out, p, t, halfLife_);
  }
  void halfLives(std::vector<std::int64_t>& out) const override {
    out.push_back(halfLife_.count());
  }

 private:
  std::chrono::nanoseconds halfLife_;
  F f_;
};

template <class Custom, class F>
Label<Custom> recentLabel(std::chrono::nanoseconds halfLife, F f) {
  return Label<Custom>(makeNode<RecentNode<Custom, F>>(halfLife, std::move(f)));
}
}  // namespace detail

/// Work done per second since the bar started: done divided by the elapsed
/// time, computed exactly and rounded to three significant digits (ties to
/// even) with an SI prefix: "0.50 files/s", "999 items/s", "1.25k items/s",
/// "12.0M B/s" (prefixes k M G T P E Z Y R Q). `unit` follows a space;
/// `alternative` is shown while no time has elapsed.
template <class Custom = std::monostate>
Label<Custom> throughput(Text unit, Text alternative) {
  return detail::timingLabel<Custom>([unit = std::move(unit), alternative = std::move(alternative)](
                                         Text& out, const Progress<Custom>& p, const Timing& t) {
    if (!detail::appendAverageRate(out, p.progressDone, t, unit)) out += alternative;
  });
}

/// Bytes per second since the bar started, with the byte unit's prefix:
/// "338 MiB/s", "12.0 MB/s", "512 B/s", "0.50 B/s"; three significant digits
/// with ties to even from exact arithmetic. `alternative` while no time has
/// elapsed.
template <class Custom = std::monostate>
Label<Custom> byteRate(ByteUnits units = ByteUnits::Iec, Text alternative = "--") {
  return detail::timingLabel<Custom>([units, alternative = std::move(alternative)](
                                         Text& out, const Progress<Custom>& p, const Timing& t) {
    if (!detail::appendAverageByteRate(out, p.progressDone, t, units)) out += alternative;
  });
}

/// Work per second at the recent speed (see `SpeedHistory`): after the speed
/// changes, the estimate moves toward the new speed, half of the way every
/// `halfLife`. Written as `throughput` writes it. Each bar keeps its own
/// estimate, also when several bars share a style. `alternative` until time
/// has passed since the first line.
template <class Custom = std::monostate>
Label<Custom> recentRate(Text unit, Text alternative,
                         std::chrono::nanoseconds halfLife = detail::kDefaultHalfLife) {
  return detail::recentLabel<Custom>(
      halfLife,
      [unit = std::move(unit), alternative = std::move(alternative)](
          Text& out, const Progress<Custom>& p, const Timing& t, std::chrono::nanoseconds h) {
        const std::optional<double> speed = detail::recentSpeed(h, p.progressDone, t);
        if (speed) {
          detail::appendRate(out, *speed, unit);
        } else {
          out += alternative;
        }
      });
}

/// Bytes per second at the recent speed, written as `byteRate` writes it.
template <class Custom = std::monostate>
Label<Custom> recentByteRate(ByteUnits units = ByteUnits::Iec, Text alternative = "--",
                             std::chrono::nanoseconds halfLife = detail::kDefaultHalfLife) {
  return detail::recentLabel<Custom>(halfLife, [units, alternative = std::move(alternative)](
                                                   Text& out, const Progress<Custom>& p,
                                                   const Timing& t, std::chrono::nanoseconds h) {
    const std::optional<double> speed = detail::recentSpeed(h, p.progressDone, t);
    if (speed) {
      detail::appendByteRate(out, *speed, units);
    } else {
      out += alternative;
    }
  });
}

/// The time left at the recent speed, (todo - done) / speed, shown by
/// `render`; `alternative` while there is no speed yet or it is not positive.
template <class Custom = std::monostate>
Label<Custom> recentRemainingTime(DurationRenderer render, Text alternative,
                                  std::chrono::nanoseconds halfLife = detail::kDefaultHalfLife) {
  return detail::recentLabel<Custom>(
      halfLife,
      [render = std::move(render), alternative = std::move(alternative)](
          Text& out, const Progress<Custom>& p, const Timing& t, std::chrono::nanoseconds h) {
        const std::optional<double> speed = detail::recentSpeed(h, p.progressDone, t);
        const std::optional<Duration> left =
            speed ? detail::timeLeftAt(*speed, p.progressDone, p.progressTodo) : std::nullopt;
        out += left ? render(*left) : alternative;
      });
}

PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> throughput<std::monostate>(Text, Text);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> byteRate<std::monostate>(ByteUnits, Text);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> recentRate<std::monostate>(
    Text, Text, std::chrono::nanoseconds);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> recentByteRate<std::monostate>(
    ByteUnits, Text, std::chrono::nanoseconds);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> recentRemainingTime<std::monostate>(
    DurationRenderer, Text, std::chrono::nanoseconds);

}  // namespace System::ProgressBar
