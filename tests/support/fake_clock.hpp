// A wall clock that tests set by hand; linked into the test library in place
// of the real one.
#pragma once

#include <chrono>

#include "System/ProgressBar/Progress.hpp"

namespace testclock {

using System::ProgressBar::TimePoint;

void set(TimePoint now);
void advance(std::chrono::nanoseconds by);
TimePoint now();

}  // namespace testclock
