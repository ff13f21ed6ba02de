#include "support/fake_clock.hpp"

#include <atomic>
#include <cstdint>

#include "System/ProgressBar/Bar.hpp"

namespace {
// 2026-01-01T00:00:00Z, so that tests start from a plausible wall-clock time.
std::atomic<std::int64_t> g_now{1'767'225'600'000'000'000};
}  // namespace

namespace testclock {
void set(TimePoint now) { g_now.store(now.time_since_epoch().count()); }
void advance(std::chrono::nanoseconds by) { g_now.fetch_add(by.count()); }
TimePoint now() { return TimePoint(std::chrono::nanoseconds(g_now.load())); }
}  // namespace testclock

namespace System::ProgressBar::detail {
TimePoint readWallClock() noexcept { return testclock::now(); }
}  // namespace System::ProgressBar::detail
