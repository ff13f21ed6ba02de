// When pbar starts to show anything: at once, after --delay-start, or once
// the first byte has come (--wait).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace pbar {

class Gate {
 public:
  Gate(double delaySeconds, bool waitForInput)
      : opensAt_(waitForInput ? kNever : start_ + delay(delaySeconds)),
        delay_(delay(delaySeconds)) {}

  // Whether anything may be shown now.
  bool open() const noexcept { return now() >= opensAt_.load(std::memory_order_relaxed); }
  // The first byte is there: the gate opens once the delay is over too.
  void inputCame() noexcept {
    opensAt_.store(std::max(now(), start_ + delay_), std::memory_order_relaxed);
  }

 private:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  static std::int64_t now() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  static std::int64_t delay(double seconds) noexcept {  // seconds: 0 to a day
    return static_cast<std::int64_t>(seconds * 1e9);
  }

  const std::int64_t start_ = now();
  std::atomic<std::int64_t> opensAt_;
  const std::int64_t delay_;
};

}  // namespace pbar
