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

enum class TickerWake {
  kTick,  // the tick's time has come
  kLook,  // time to look at the bars it watches, before the tick
  kStop,
};

// The wait of a ticker's thread: until its next tick, `tickIn` from now;
// until it must look at the bars it watches, `lookIn` from now, or a bar
// has `asked` it to, if that comes first; or until `stopping`. Called with
// `lock` held, which guards both flags.
TickerWake tickerWait(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                      std::chrono::nanoseconds tickIn, std::chrono::nanoseconds lookIn,
                      const bool& stopping, const bool& asked);

}  // namespace System::ProgressBar::detail
