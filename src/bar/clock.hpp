// Internal: the clock seam's wait. Do not include from public headers.
//
// Test builds link their own clock seam: readWallClock, readCoarseClock and
// coarseLagBound (declared with the lock-free count that calls them) and
// tickerWait, the only wait for time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace System::ProgressBar::detail {

// The wait between two ticks: `interval`, or until `stopping`. Called with
// `lock` held; returns whether to tick.
bool tickerWait(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                std::chrono::nanoseconds interval, const bool& stopping);

}  // namespace System::ProgressBar::detail
