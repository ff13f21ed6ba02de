// A bar's record of its recent speed: exponentially weighted sums, one for
// each half-life kept.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "System/ProgressBar/SpeedHistory.hpp"
#include "base/arithmetic.hpp"

namespace System::ProgressBar {

SpeedHistory::SpeedHistory() { track(detail::kDefaultHalfLife); }

SpeedHistory::SpeedHistory(const std::vector<std::chrono::nanoseconds>& halfLives) {
  for (const std::chrono::nanoseconds h : halfLives) track(h);
}

void SpeedHistory::track(std::chrono::nanoseconds halfLife) {
  for (const Entry& e : entries_) {
    if (e.halfLifeNs == halfLife.count()) return;
  }
  entries_.push_back(Entry{halfLife.count(), {}});
}

void SpeedHistory::record(std::int64_t done, TimePoint at) noexcept {
  started_ = true;
  lastDone_ = done;
  lastAt_ = at;
  for (Entry& e : entries_) e.sums = {};
}

SpeedHistory::Sums SpeedHistory::after(const Sums& sums, std::int64_t halfLifeNs,
                                       detail::Int128 elapsed, detail::Int128 increase) noexcept {
  const double seconds = static_cast<double>(elapsed) / detail::kNanosPerSecond;
  const double halfLives =
      static_cast<double>(elapsed) / static_cast<double>(std::max<std::int64_t>(halfLifeNs, 1));
  const double weight = std::exp2(-halfLives);
  return {sums.weightedDone * weight + static_cast<double>(increase),
          sums.weightedSeconds * weight + seconds};
}

void SpeedHistory::advance(std::int64_t done, TimePoint at) noexcept {
  if (!started_) return;
  const detail::Int128 elapsed = detail::nanosecondsBetween(lastAt_, at);
  if (elapsed <= 0) return;
  const detail::Int128 increase = detail::Int128{done} - detail::Int128{lastDone_};
  for (Entry& e : entries_) e.sums = after(e.sums, e.halfLifeNs, elapsed, increase);
  lastDone_ = done;
  lastAt_ = at;
}

std::optional<double> SpeedHistory::recentSpeed(std::chrono::nanoseconds halfLife,
                                                std::int64_t done, TimePoint now) const noexcept {
  if (!started_) return std::nullopt;
  Sums sums;
  for (const Entry& e : entries_) {
    if (e.halfLifeNs == halfLife.count()) sums = e.sums;
  }
  const detail::Int128 elapsed = detail::nanosecondsBetween(lastAt_, now);
  if (elapsed > 0) {
    sums = after(sums, halfLife.count(), elapsed, detail::Int128{done} - detail::Int128{lastDone_});
  }
  if (!(sums.weightedSeconds > 0)) return std::nullopt;
  return sums.weightedDone / sums.weightedSeconds;
}

}  // namespace System::ProgressBar
