#include "support/fake_clock.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "System/ProgressBar/detail/Counter.hpp"
#include "bar/clock.hpp"

namespace {
// 2026-01-01T00:00:00Z, so that tests start from a plausible wall-clock time.
std::atomic<std::int64_t> g_now{1'767'225'600'000'000'000};
std::atomic<std::int64_t> g_lag{0};
std::atomic<std::int64_t> g_bound{4'000'000};
std::atomic<std::int64_t> g_preciseReads{0};
std::atomic<std::int64_t> g_coarseReads{0};
std::atomic<void (*)()> g_readHook{nullptr};
std::atomic<void (*)()> g_coarseHook{nullptr};
std::atomic<void (*)()> g_steadyHook{nullptr};
}  // namespace

namespace testclock {
void set(TimePoint now) { g_now.store(now.time_since_epoch().count()); }
void advance(std::chrono::nanoseconds by) { g_now.fetch_add(by.count()); }
TimePoint now() { return TimePoint(std::chrono::nanoseconds(g_now.load())); }
void setCoarse(std::chrono::nanoseconds lag, std::chrono::nanoseconds bound) {
  g_lag.store(lag.count());
  g_bound.store(bound.count());
}
std::int64_t preciseReads() { return g_preciseReads.load(); }
void onPreciseRead(void (*hook)()) { g_readHook.store(hook); }
void onCoarseRead(void (*hook)()) { g_coarseHook.store(hook); }
void onSteadyRead(void (*hook)()) { g_steadyHook.store(hook); }
std::int64_t coarseReads() { return g_coarseReads.load(); }
}  // namespace testclock

namespace System::ProgressBar::detail {
TimePoint readWallClock() noexcept {
  g_preciseReads.fetch_add(1, std::memory_order_relaxed);
  if (void (*hook)() = g_readHook.load()) hook();
  return testclock::now();
}
std::int64_t readCoarseClock() noexcept {
  g_coarseReads.fetch_add(1, std::memory_order_relaxed);
  if (void (*hook)() = g_coarseHook.load()) hook();
  return g_now.load() - g_lag.load();
}
std::int64_t coarseLagBound() noexcept { return g_bound.load(); }
std::int64_t readSteadyCoarseClock() noexcept {
  if (void (*hook)() = g_steadyHook.load()) hook();
  return g_now.load();
}
// The coarse clock above is the seam's, never the system's.
extern const bool kCoarseClockInline = false;
}  // namespace System::ProgressBar::detail

// Ticks happen when a test lets them: each `testclock::tick()` lets the
// ticker's thread through one wait and returns once that tick has been drawn
// and the thread waits again (or stopped). A look is let through the same
// way, by `testclock::look()`.
namespace {
std::mutex g_tickMutex;
std::condition_variable g_tickChanged;
// Under g_tickMutex:
std::int64_t g_ticksAllowed = 0;
std::int64_t g_ticksTaken = 0;
std::int64_t g_looksAllowed = 0;
std::int64_t g_looksTaken = 0;
std::int64_t g_waits = 0;        // entries into the wait
std::int64_t g_waitsAtTake = 0;  // the entries when the last tick or look was taken
bool g_tickerGone = false;
std::int64_t g_asks = 0;                    // looks a bar asked for
std::chrono::nanoseconds g_lastTickIn{-1};  // what the last wait was given until its tick
std::chrono::nanoseconds g_lastLookIn{-1};  // and until its look

void letThrough(std::int64_t& allowed, bool wait) {
  std::unique_lock<std::mutex> lock(g_tickMutex);
  ++allowed;
  g_tickChanged.notify_all();
  if (!wait) return;
  g_tickChanged.wait(lock, [] {
    return (g_ticksTaken == g_ticksAllowed && g_looksTaken == g_looksAllowed &&
            g_waits > g_waitsAtTake) ||
           g_tickerGone;
  });
}
}  // namespace

namespace testclock {
void releaseTick() { letThrough(g_ticksAllowed, false); }
void tick() { letThrough(g_ticksAllowed, true); }
void look() { letThrough(g_looksAllowed, true); }
std::int64_t asks() {
  std::lock_guard<std::mutex> lock(g_tickMutex);
  return g_asks;
}
std::chrono::nanoseconds lastTickIn() {
  std::lock_guard<std::mutex> lock(g_tickMutex);
  return g_lastTickIn;
}
std::chrono::nanoseconds lastLookIn() {
  std::lock_guard<std::mutex> lock(g_tickMutex);
  return g_lastLookIn;
}
void resetTicks() {
  std::lock_guard<std::mutex> lock(g_tickMutex);
  g_ticksAllowed = g_ticksTaken = g_looksAllowed = g_looksTaken = g_waits = g_waitsAtTake = 0;
  g_asks = 0;
  g_lastTickIn = g_lastLookIn = std::chrono::nanoseconds(-1);
  g_tickerGone = false;
}
}  // namespace testclock

namespace System::ProgressBar::detail {
TickerWake tickerWait(std::condition_variable&, std::unique_lock<std::mutex>& lock,
                      std::chrono::nanoseconds tickIn, std::chrono::nanoseconds lookIn,
                      const bool& stopping, const bool& asked) {
  {
    std::lock_guard<std::mutex> tick(g_tickMutex);
    g_lastTickIn = tickIn;
    g_lastLookIn = lookIn;
    ++g_waits;
    g_tickChanged.notify_all();
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> tick(g_tickMutex);
      // What was let through goes first: a tick, then a look.
      if (g_ticksAllowed > g_ticksTaken) {
        ++g_ticksTaken;
        g_waitsAtTake = g_waits;
        return TickerWake::kTick;
      }
      if (g_looksAllowed > g_looksTaken) {
        ++g_looksTaken;
        g_waitsAtTake = g_waits;
        return TickerWake::kLook;
      }
      if (stopping) {
        g_tickerGone = true;
        g_tickChanged.notify_all();
        return TickerWake::kStop;
      }
      // A bar asked for a look: it is taken as the real wait takes it, at once.
      if (asked) {
        ++g_asks;
        g_tickChanged.notify_all();
        return TickerWake::kLook;
      }
    }
    // Neither: wait for one without holding the ticker's lock, so that
    // stop() can set its flag.
    lock.unlock();
    {
      std::unique_lock<std::mutex> tick(g_tickMutex);
      g_tickChanged.wait_for(tick, std::chrono::milliseconds(1), [] {
        return g_ticksAllowed > g_ticksTaken || g_looksAllowed > g_looksTaken;
      });
    }
    lock.lock();
  }
}
}  // namespace System::ProgressBar::detail
