// The one place that reads the real-time clocks; test builds link their own.
#include "bar/clock.hpp"

#include <time.h>

#include <cstdint>
#include <limits>

#include "System/ProgressBar/detail/Counter.hpp"
#include "base/arithmetic.hpp"

namespace System::ProgressBar::detail {
namespace {

std::int64_t nanoseconds(const timespec& t) noexcept {
  return saturatedNanoseconds(t.tv_sec, t.tv_nsec);
}

}  // namespace

TimePoint readWallClock() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return TimePoint(std::chrono::nanoseconds(nanoseconds(now)));
}

std::int64_t readCoarseClock() noexcept {
#ifdef CLOCK_REALTIME_COARSE
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0) return nanoseconds(now);
#endif
  return std::numeric_limits<std::int64_t>::max();
}

std::int64_t coarseLagBound() noexcept {
#ifdef CLOCK_REALTIME_COARSE
  // The coarse clock is the real-time clock as of the kernel's last timer
  // tick, and clock_getres reports that tick. Two ticks leave room for a tick
  // that is serviced late; a lag seen beyond it widens the bound
  // (Counter::noteLag).
  timespec resolution{};
  if (::clock_getres(CLOCK_REALTIME_COARSE, &resolution) == 0 && resolution.tv_sec == 0 &&
      resolution.tv_nsec > 0) {
    return 2 * std::int64_t{resolution.tv_nsec};
  }
#endif
  return -1;
}

std::int64_t readSteadyCoarseClock() noexcept {
  timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE
  if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0) return nanoseconds(now);
#endif
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return nanoseconds(now);
}

extern const bool kCoarseClockInline = true;

TickerWake tickerWait(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                      std::chrono::nanoseconds tickIn, std::chrono::nanoseconds lookIn,
                      const bool& stopping, const bool& asked) {
  // A wait past a day ends in a look, which costs nothing: the condition
  // variable adds the wait to the clock's time, which must not overflow.
  constexpr std::chrono::nanoseconds kLongest = std::chrono::hours(24);
  const bool looks = lookIn < tickIn;
  const std::chrono::nanoseconds wait = looks ? lookIn : tickIn;
  const bool shortened = wait > kLongest;
  if (wake.wait_for(lock, shortened ? kLongest : wait, [&] { return stopping || asked; })) {
    return stopping ? TickerWake::kStop : TickerWake::kLook;
  }
  return looks || shortened ? TickerWake::kLook : TickerWake::kTick;
}

}  // namespace System::ProgressBar::detail
