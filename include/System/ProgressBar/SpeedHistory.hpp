// A bar's record of its recent speed, which the recent-rate labels read.
//
//   pb::SpeedHistory history;                  // the labels' default half-life
//   history.record(0, start);                  // the first line
//   history.advance(done, now);                // after each line shown
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

/// A bar's record of its recent speed: the progress at its last line and,
/// for each half-life it keeps, an exponentially weighted rate over the time
/// between lines. Every bar keeps its own, for the half-lives its style's
/// recent-rate labels read, and moves it on after each line it shows; the
/// labels only read it, through `Timing::timingHistory`. Keep one yourself
/// only to render lines of your own with recent-rate labels: `record` the
/// first line, and `advance` after each line you show.
class SpeedHistory {
 public:
  /// Keeps the default half-life of the recent-rate labels (3 s).
  SpeedHistory();
  /// Keeps just these half-lives.
  explicit SpeedHistory(const std::vector<std::chrono::nanoseconds>& halfLives);

  /// Keeps a half-life too (nothing when it is kept already).
  void track(std::chrono::nanoseconds halfLife);

  /// Starts the history at the first line: `done` at `at`.
  void record(std::int64_t done, TimePoint at) noexcept;

  /// A line showing `done` at `at` was shown: every half-life kept takes in
  /// the interval since the last one. A line with no time since the last
  /// changes nothing.
  void advance(std::int64_t done, TimePoint at) noexcept;

  /// The recent speed in units per second for a line showing `done` at
  /// `now`, weighting each interval between lines by 2^(-age / halfLife): the
  /// sum of the weighted increases over the sum of the weighted times. A
  /// half-life that is not kept counts only the interval since the last
  /// line. Nothing while no time has passed since the first line.
  std::optional<double> recentSpeed(std::chrono::nanoseconds halfLife, std::int64_t done,
                                    TimePoint now) const noexcept;

 private:
  struct Sums {
    double weightedDone = 0;
    double weightedSeconds = 0;
  };
  struct Entry {
    std::int64_t halfLifeNs;
    Sums sums;
  };
  static Sums after(const Sums& sums, std::int64_t halfLifeNs, detail::Int128 elapsed,
                    detail::Int128 increase) noexcept;

  bool started_ = false;
  std::int64_t lastDone_ = 0;
  TimePoint lastAt_{};
  std::vector<Entry> entries_;
};

namespace detail {
// The half-life of the recent-rate labels unless they are given one.
inline constexpr std::chrono::nanoseconds kDefaultHalfLife = std::chrono::seconds(3);
}  // namespace detail

}  // namespace System::ProgressBar
