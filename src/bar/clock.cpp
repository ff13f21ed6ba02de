// The one place that reads the real-time clock; test builds link their own.
#include <time.h>

#include "System/ProgressBar/Bar.hpp"

namespace System::ProgressBar::detail {

TimePoint readWallClock() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return TimePoint(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

}  // namespace System::ProgressBar::detail
