// A wall clock that tests set by hand, linked into the test library in place
// of the real one. The coarse clock reads the precise one minus a lag the test
// chooses, and claims a lag bound the test chooses.
#pragma once

#include <chrono>
#include <cstdint>

#include "System/ProgressBar/Progress.hpp"

namespace testclock {

using System::ProgressBar::TimePoint;

void set(TimePoint now);
void advance(std::chrono::nanoseconds by);
TimePoint now();
// The coarse clock reads `now() - lag`; the bound the library is told.
void setCoarse(std::chrono::nanoseconds lag, std::chrono::nanoseconds bound);
// Called in the reading thread at every precise read, before it returns
// (null: nothing). Set it while no other thread reads the clock.
void onPreciseRead(void (*hook)());
// The same at every coarse read.
void onCoarseRead(void (*hook)());
// The steady coarse clock reads `now()` too; this runs at each of its reads.
void onSteadyRead(void (*hook)());
// How many times the library read each clock.
std::int64_t preciseReads();
std::int64_t coarseReads();

// Lets the ticker's thread tick once and waits until that tick is drawn.
void tick();
// Lets it tick once, without waiting.
void releaseTick();
// Lets it look once at the bars it watches (as at the time it must look by)
// and waits until it has.
void look();
// How many looks a bar asked the ticker for (each taken at once).
std::int64_t asks();
// How long the ticker's last wait was to last until its next tick (the real
// one's time, not this clock's); negative before any wait.
std::chrono::nanoseconds lastTickIn();
// The same until its next look (a time of this clock).
std::chrono::nanoseconds lastLookIn();
// Forgets earlier tickers (call before making one).
void resetTicks();

}  // namespace testclock
