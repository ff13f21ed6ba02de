// Internal: the counting core of a bar. Do not include this file directly;
// include System/ProgressBar/Bar.hpp.
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
// clock decides, still without the lock. Everything else takes the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/detail/OwnedMutex.hpp"

namespace System::ProgressBar::detail {

// The clock seam: the only functions that read clocks or wait for time. Test
// builds link their own.
//
// The real-time clock, saturated at the ends of the TimePoint range.
TimePoint readWallClock() noexcept;
// The coarse real-time clock in nanoseconds since the epoch; the largest
// value where the system has none.
std::int64_t readCoarseClock() noexcept;
// The most the coarse clock lags the real-time clock, in nanoseconds, as far
// as the system says (two of its ticks); negative where it has no coarse clock.
std::int64_t coarseLagBound() noexcept;
// Seconds and nanoseconds since the epoch as nanoseconds, saturated at the
// ends of the 64-bit range (before 1677, after 2262).
std::int64_t saturatedNanoseconds(std::int64_t seconds, std::int64_t nanoseconds) noexcept;

// The refresh delay as an inclusive threshold on whole nanoseconds: an
// elapsed time d (ns) is too soon exactly when the double nearest to d / 1e9
// is <= the delay. NaN and -inf never count as too soon, +inf always does.
class Throttle {
 public:
  explicit Throttle(double delay);
  bool tooSoon(TimePoint now, TimePoint last) const noexcept {
    return nanosecondsBetween(last, now) <= threshold_;
  }
  Int128 threshold() const noexcept { return threshold_; }

 private:
  Int128 threshold_;
};

enum class Count {
  kCounted,  // added, nothing more to do
  kSettle,   // added, but the lock holder must decide whether to draw
  kApply,    // not added: take the lock and apply it there
};

// What a lock-free attempt learnt on the way.
struct CountAttempt {
  TimePoint now{};  // the precise time, when it was read
  bool haveNow = false;
  std::int64_t room = 0;  // after kCounted: what the cell may still take
};

// What the lock holder knows when it lets cells count again.
struct CountPolicy {
  bool drawsNever;  // a finished bar: updates are stored, never drawn
  bool totalKnown;  // false: the work is never complete
  std::int64_t todo;
};

class BarCore {
 public:
  static constexpr std::size_t kCells = 8;  // threads that count at once on lines of their own
  // Larger or negative increments always take the lock.
  static constexpr std::int64_t kMaxFastStep = std::int64_t{1} << 32;

  BarCore(double delay, TimePoint start, std::int64_t done);
  BarCore(const BarCore&) = delete;
  BarCore& operator=(const BarCore&) = delete;

  // Adds n without the lock when that is provably harmless.
  Count tryCount(std::int64_t n, CountAttempt& attempt) noexcept {
    if (static_cast<std::uint64_t>(n) > static_cast<std::uint64_t>(kMaxFastStep)) {
      return Count::kApply;
    }
    const std::uint64_t seq = gate_.seq.load(std::memory_order_seq_cst);
    if ((seq & 1) != 0) return Count::kApply;
    const std::int64_t until = gate_.until.load(std::memory_order_relaxed);
    if (until == kClosed) return Count::kApply;  // every update may draw: no clock decides here
    const std::int64_t coarse = readCoarseClock();
    if (coarse > until) {
      attempt.now = readWallClock();
      attempt.haveNow = true;
      noteLag(attempt.now, coarse);
      if (attempt.now.time_since_epoch().count() > gate_.deadline.load(std::memory_order_relaxed)) {
        return Count::kApply;
      }
    }
    std::atomic<std::int64_t>& budget = cells_[cellIndex()].budget;
    const std::int64_t before = budget.fetch_sub(n, std::memory_order_seq_cst);
    if (before >= n && gate_.seq.load(std::memory_order_seq_cst) == seq) {
      attempt.room = before - n;
      return Count::kCounted;
    }
    return Count::kSettle;
  }

  // Adds n without the lock and without deciding anything: for counts that
  // must not fail and need no draw (a loop left early). The next update that
  // reaches the lock settles whatever this changed.
  void countOnly(std::int64_t n) noexcept {
    cells_[cellIndex()].budget.fetch_sub(n, std::memory_order_seq_cst);
  }

  // The lock. Throws std::logic_error naming `call` when the calling thread
  // holds it already (a callable of the bar calling back into it).
  void lock(const char* call) { mutex_.lock(call, "bar"); }
  void unlock() noexcept { mutex_.unlock(); }

  // Under the lock. `close` stops counting without the lock and folds every
  // cell's count into the total; `open` lets cells count again, with budgets
  // and a deadline for the state the bar is in now.
  void close() noexcept;
  void open(const CountPolicy& policy) noexcept;
  // The done count: every addition made so far.
  std::int64_t total() const noexcept;
  void add(std::int64_t n) noexcept { base_ = wrappingAdd(base_, n); }
  TimePoint renderTime() const noexcept { return renderTime_; }
  // The time of the last draw. When the cells open again, the lag of the
  // coarse clock behind it is noted, so that the bound covers every lag seen
  // at a draw.
  void setRenderTime(TimePoint t) noexcept {
    renderTime_ = t;
    lagUnseen_ = true;
  }
  bool tooSoon(TimePoint now) const noexcept { return throttle_.tooSoon(now, renderTime_); }

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
  static constexpr std::int64_t kClosed = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kClosedBudget = -1;

  void noteLag(TimePoint now, std::int64_t coarse) noexcept;
  // Folds every cell's count into base_ and closes the cells; returns
  // whether a closed cell had been counted into (by an update that saw the
  // gate open before it closed).
  bool fold() noexcept;

  // Read by every lock-free update, written only under the lock.
  struct alignas(64) Gate {
    std::atomic<std::uint64_t> seq{
        1};  // odd while the lock holder changes things, and until the first open
    std::atomic<std::int64_t> until{kClosed};     // coarse readings up to here are too soon
    std::atomic<std::int64_t> deadline{kClosed};  // precise readings up to here are too soon
  };
  struct alignas(64) Cell {
    std::atomic<std::int64_t> budget{kClosedBudget};
    std::int64_t assigned = kClosedBudget;  // the budget last given, under the lock
  };

  Gate gate_;
  Cell cells_[kCells];
  alignas(64) OwnedMutex mutex_;
  std::atomic<std::int64_t> lagBound_;
  const Throttle throttle_;
  std::int64_t base_;  // folded count, under the lock
  // The cells given budgets: those of the threads that reached the lock. A
  // thread whose cell has none is refused once, takes the lock, and its cell
  // joins. Under the lock.
  unsigned activeCells_ = 0;
  TimePoint renderTime_;
  bool lagUnseen_ = true;  // the coarse clock's lag behind renderTime_ is still to be noted
};

}  // namespace System::ProgressBar::detail
