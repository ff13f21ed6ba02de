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
#include <thread>

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

TEST(Clock, TheTickersWaitEndsInATickALookAnAskOrAStop) {
  std::mutex mutex;
  std::condition_variable wake;
  std::unique_lock<std::mutex> lock(mutex);
  bool stopping = false, asked = false;
  EXPECT_EQ(detail::tickerWait(wake, lock, 1ms, 1h, stopping, asked), detail::TickerWake::kTick);
  EXPECT_EQ(detail::tickerWait(wake, lock, 1ms, 1ms, stopping, asked), detail::TickerWake::kTick);
  EXPECT_EQ(detail::tickerWait(wake, lock, 1h, 1ms, stopping, asked), detail::TickerWake::kLook);
  asked = true;
  EXPECT_EQ(detail::tickerWait(wake, lock, 1h, 1h, stopping, asked), detail::TickerWake::kLook);
  stopping = true;
  EXPECT_EQ(detail::tickerWait(wake, lock, 1h, 1h, stopping, asked), detail::TickerWake::kStop);
  EXPECT_TRUE(lock.owns_lock());
}

// A wait as long as a duration holds still waits (for an ask here), and
// one that ends by its time without a tick due ends in a look.
TEST(Clock, TheTickersWaitOfTheLongestIntervalWaits) {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false, asked = false;
  std::unique_lock<std::mutex> lock(mutex);
  std::thread asker([&] {
    std::this_thread::sleep_for(20ms);
    {
      const std::lock_guard<std::mutex> held(mutex);
      asked = true;
    }
    wake.notify_all();
  });
  const auto start = std::chrono::steady_clock::now();
  const auto longest = std::chrono::nanoseconds::max();
  const detail::TickerWake woke = detail::tickerWait(wake, lock, longest, longest, stopping, asked);
  const auto waited = std::chrono::steady_clock::now() - start;
  lock.unlock();
  asker.join();
  EXPECT_EQ(woke, detail::TickerWake::kLook);
  EXPECT_GE(waited, 15ms);
}

// The coarse clock read inline is the one the seam reads.
TEST(Clock, TheInlineCoarseReadingIsTheSystemsCoarseClock) {
  EXPECT_TRUE(detail::kCoarseClockInline);
  const std::int64_t before = detail::readCoarseClock();
  const std::int64_t inlined = detail::coarseClock();
  EXPECT_LE(before, inlined);
  EXPECT_LE(inlined, detail::readCoarseClock());
}

}  // namespace
