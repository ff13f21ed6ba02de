// Internal: the refresh delay as an exact threshold. Do not include from
// public headers.
#pragma once

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

// The refresh delay as an inclusive threshold on whole nanoseconds: an
// elapsed time d (ns) is too soon exactly when the double nearest to d / 1e9
// is <= the delay. NaN and -inf never count as too soon, +inf always does.
class Throttle {
 public:
  explicit Throttle(double delay);
  bool tooSoon(TimePoint now, TimePoint last) const noexcept {
    return nanosecondsBetween(last, now) <= threshold_;
  }
  Int128 threshold() const noexcept { return threshold_; }

 private:
  Int128 threshold_;
};

}  // namespace System::ProgressBar::detail
