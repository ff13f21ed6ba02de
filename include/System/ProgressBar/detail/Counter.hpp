// Internal: the part of a bar that counts without its lock. Do not include
// this file directly; include System/ProgressBar/Bar.hpp.
//
// A bar's done count lives in a handful of cells that threads add to without
// the bar's lock, as long as the addition can neither complete the work nor
// make a draw due. The lock holder gives each cell a budget: the number of
// units that may still be added to it without completing the work, so that a
// cell whose budget stays non-negative proves its additions harmless. Whether
// a draw can be due is proven with the coarse real-time clock, which costs a
// fraction of the precise one: it lags the precise clock by at most a known
// bound, so a coarse reading that is far enough before the next draw's
// deadline proves the update too soon. Closer to the deadline the precise
// clock decides, still without the lock. Everything else takes the lock, in
// the compiled engine. Only this attempt is inline: it is the cost of every
// update that draws nothing.
//
// While a ticker's thread watches the bar, it vouches instead of the clock:
// it wakes by the time the coarse clock would stop proving updates too soon
// and withdraws its word then, under the lock. Until it does, an update
// reads no clock at all.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

// The clock seam: the only functions that read the clocks (with the
// ticker's wait in compiled code). Test builds link their own.
//
// The real-time clock, saturated at the ends of the TimePoint range.
TimePoint readWallClock() noexcept;
// The coarse real-time clock in nanoseconds since the epoch; the largest
// value where the system has none.
std::int64_t readCoarseClock() noexcept;
// The most the coarse clock lags the real-time clock, in nanoseconds, as far
// as the system says (two of its ticks); negative where it cannot say.
std::int64_t coarseLagBound() noexcept;
// True where readCoarseClock is the system's coarse clock, which the inline
// reading below may then read itself; test builds link their own and say false.
extern const bool kCoarseClockInline;

// readCoarseClock without a call in between where the system has the clock:
// the cost of every element a loop tracks.
inline std::int64_t coarseClock() noexcept {
#ifdef CLOCK_REALTIME_COARSE
  if (kCoarseClockInline) [[likely]] {
    timespec now;
    long long ns;
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 && now.tv_sec >= 0 &&
        !__builtin_mul_overflow(static_cast<long long>(now.tv_sec), 1'000'000'000LL, &ns) &&
        !__builtin_add_overflow(ns, static_cast<long long>(now.tv_nsec), &ns)) {
      return ns;
    }
  }
#endif
  return readCoarseClock();  // the seam, and saturation at the ends of the range
}

// A coarse reading not taken yet.
inline constexpr std::int64_t kNoReading = std::numeric_limits<std::int64_t>::min();

enum class Count {
  kCounted,  // added, nothing more to do
  kSettle,   // added, but the lock holder must decide whether to draw
  kApply,    // not added: take the lock and apply it there
};

// What a lock-free attempt learnt on the way: every attempt sets haveNow,
// and the rest where it says. Only what must be is written before the
// addition, whose locked instruction waits for every store before it.
struct CountAttempt {
  TimePoint now;  // the precise time, when haveNow
  bool haveNow;
  std::int64_t room;    // after kCounted: what the cell may still take
  std::uint64_t quiet;  // after kCounted: the gate's quiet word it was counted under
};

class CellKeeper;

class Counter {
 public:
  static constexpr std::size_t kCells = 8;  // threads that count at once on lines of their own
  // Larger or negative increments always take the lock.
  static constexpr std::int64_t kMaxFastStep = std::int64_t{1} << 32;

  Counter() = default;
  Counter(const Counter&) = delete;
  Counter& operator=(const Counter&) = delete;

  // Adds n without the lock when that is provably harmless. `coarse` is a
  // coarse reading the caller took just before, if any.
  Count tryCount(std::int64_t n, CountAttempt& attempt, std::int64_t coarse = kNoReading) noexcept {
    attempt.haveNow = false;
    if (static_cast<std::uint64_t>(n) > static_cast<std::uint64_t>(kMaxFastStep)) {
      return Count::kApply;
    }
    const std::uint64_t seq = __atomic_load_n(&gate_.seq, __ATOMIC_SEQ_CST);
    if ((seq & 1) != 0) return Count::kApply;
    const std::uint64_t quiet = __atomic_load_n(&gate_.quiet, __ATOMIC_RELAXED);
    if (quiet == 0) {  // no word given: the clocks decide
      const std::int64_t until = __atomic_load_n(&gate_.until, __ATOMIC_RELAXED);
      if (until == kClosed) return Count::kApply;  // every update may draw: no clock decides here
      if (coarse == kNoReading) coarse = coarseClock();
      if (coarse > until) {
        attempt.now = readWallClock();
        attempt.haveNow = true;
        noteLag(attempt.now, coarse);
        if (attempt.now.time_since_epoch().count() >
            __atomic_load_n(&gate_.deadline, __ATOMIC_RELAXED)) {
          return Count::kApply;
        }
      }
    }
    std::int64_t& budget = cells_[cellIndex()].budget;
    const std::int64_t before = __atomic_fetch_sub(&budget, n, __ATOMIC_SEQ_CST);
    if (before >= n && __atomic_load_n(&gate_.seq, __ATOMIC_SEQ_CST) == seq) {
      attempt.room = before - n;
      attempt.quiet = quiet;
      return Count::kCounted;
    }
    return Count::kSettle;
  }

  // The quiet word as it is now, for a loop that counts in batches: a batch
  // counted under one word ends when the word changes.
  std::uint64_t quiet() const noexcept { return __atomic_load_n(&gate_.quiet, __ATOMIC_RELAXED); }

  // Adds n without the lock and without deciding anything: for counts that
  // must not fail and need no draw (a loop left early). The next update that
  // reaches the lock settles whatever this changed.
  void countOnly(std::int64_t n) noexcept {
    __atomic_fetch_sub(&cells_[cellIndex()].budget, n, __ATOMIC_SEQ_CST);
  }

  // The cell of the calling thread. A thread takes a free cell the first
  // time it counts into any bar and gives it back when it ends, so up to
  // kCells threads that are alive at the same time never share one (more
  // share them round robin); a hash of the thread's address would put two
  // threads in eight on one cache line.
  static std::size_t cellIndex() noexcept {
    if (threadCell == 0) [[unlikely]]
      threadCell = takeCell();
    return threadCell - 1U;
  }
  static unsigned char takeCell() noexcept;
  // 0 until the thread first counts, then its cell plus one. Initial-exec
  // keeps the read a single load even in a shared library.
  [[gnu::tls_model("initial-exec")]] static constinit inline thread_local unsigned char threadCell =
      0;

 private:
  friend class CellKeeper;
  static constexpr std::int64_t kClosed = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kClosedBudget = -1;

  // Widens the lag bound when a reading shows more lag than it allows.
  void noteLag(TimePoint now, std::int64_t coarse) noexcept;

  // Read by every lock-free update, written only under the lock. Every
  // access is atomic.
  struct alignas(64) Gate {
    std::uint64_t seq = 1;  // odd while the lock holder changes things, and until the first open
    std::int64_t until = kClosed;     // coarse readings up to here are too soon
    std::int64_t deadline = kClosed;  // precise readings up to here are too soon
    // Not 0: no draw can be due whatever the clocks say, on the word of a
    // watcher (a new value at each of its wakes) or because the deadline
    // never comes. 0: the clocks decide.
    std::uint64_t quiet = 0;
  };
  struct alignas(64) Cell {
    std::int64_t budget = kClosedBudget;    // atomic
    std::int64_t assigned = kClosedBudget;  // the budget last given, under the lock
  };

  Gate gate_;
  Cell cells_[kCells];
  alignas(64) std::int64_t lagBound_ = -1;  // atomic
};

}  // namespace System::ProgressBar::detail
