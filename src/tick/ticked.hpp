// Internal: what a ticker ticks, as its thread sees it. Do not include from
// public headers.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "System/ProgressBar/detail/Engine.hpp"

namespace System::ProgressBar::detail {

class TickerThread;

// What a ticker's thread ticks: one bar, or a display's bars. The thread
// owns it and lets go of it once joined, which lets go of what it holds.
class Ticked {
 public:
  Ticked() = default;
  Ticked(const Ticked&) = delete;
  Ticked& operator=(const Ticked&) = delete;
  virtual ~Ticked() = default;
  // A steady tick: redraws what is ticked.
  virtual void tick() = 0;
  // The bars to watch until the next look.
  virtual std::vector<Ref<BarEngine>> bars() = 0;
};

// Starts a ticker's thread on `ticked`.
Own<TickerThread> startTicker(std::unique_ptr<Ticked> ticked, std::chrono::nanoseconds interval);

}  // namespace System::ProgressBar::detail
