// Internal: the clock seam's steady clock and wait. Do not include from public headers.
//
// Test builds link their own clock seam: readWallClock, readCoarseClock and
// coarseLagBound (declared with the lock-free count that calls them),
// readSteadyCoarseClock and tickerWait, the only wait for time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace System::ProgressBar::detail {

// A monotonic clock as of the kernel's last timer tick, in nanoseconds from
// an unspecified start: cheap enough to time every call of a copy.
std::int64_t readSteadyCoarseClock() noexcept;

// The wait between two ticks: `interval`, or until `stopping`. Called with
// `lock` held; returns whether to tick.
bool tickerWait(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                std::chrono::nanoseconds interval, const bool& stopping);

}  // namespace System::ProgressBar::detail
