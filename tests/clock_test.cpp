// The real clocks, linked as a program links them: the precise clock is the
// system's, the coarse one never runs ahead of it, and its lag bound is two
// of its ticks.
#include "bar/clock.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

#include "System/ProgressBar/detail/Counter.hpp"

namespace detail = System::ProgressBar::detail;
using namespace std::chrono_literals;

namespace {

std::int64_t systemNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(Clock, ThePreciseClockIsTheSystemsAndTheCoarseOneLagsIt) {
  const std::int64_t before = systemNow();
  const std::int64_t precise = detail::readWallClock().time_since_epoch().count();
  const std::int64_t after = systemNow();
  EXPECT_LE(before, precise);
  EXPECT_LE(precise, after);
  const std::int64_t coarse = detail::readCoarseClock();
  EXPECT_NE(coarse, std::numeric_limits<std::int64_t>::max()) << "Linux has a coarse clock";
  EXPECT_LE(coarse, detail::readWallClock().time_since_epoch().count());
  timespec resolution{};
  ASSERT_EQ(::clock_getres(CLOCK_REALTIME_COARSE, &resolution), 0);
  EXPECT_EQ(detail::coarseLagBound(), 2 * std::int64_t{resolution.tv_nsec});
}

TEST(Clock, TheSteadyCoarseClockIsTheMonotonicOneAsOfItsLastTick) {
  timespec resolution{}, before{}, after{};
  ASSERT_EQ(::clock_getres(CLOCK_MONOTONIC_COARSE, &resolution), 0);
  ::clock_gettime(CLOCK_MONOTONIC, &before);
  const std::int64_t steady = detail::readSteadyCoarseClock();
  ::clock_gettime(CLOCK_MONOTONIC, &after);
  const auto ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  EXPECT_LE(steady, ns(after));
  EXPECT_GE(steady, ns(before) - 2 * std::int64_t{resolution.tv_nsec});
}

TEST(Clock, TheTickersWaitEndsInATickOrAStop) {
  std::mutex mutex;
  std::condition_variable wake;
  std::unique_lock<std::mutex> lock(mutex);
  bool stopping = false;
  EXPECT_TRUE(detail::tickerWait(wake, lock, 1ms, stopping));
  stopping = true;
  EXPECT_FALSE(detail::tickerWait(wake, lock, 1h, stopping));
  EXPECT_TRUE(lock.owns_lock());
}

}  // namespace
