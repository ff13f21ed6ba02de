// Internal: the locked side of a bar's lock-free counting. Do not include
// from public headers.
#pragma once

#include <cstdint>

#include "System/ProgressBar/detail/Counter.hpp"
#include "bar/throttle.hpp"

namespace System::ProgressBar::detail {

// What the lock holder knows when it lets cells count again.
struct CountPolicy {
  bool drawsNever;  // a finished bar: updates are stored, never drawn
  bool totalKnown;  // false: the work is never complete
  std::int64_t todo;
};

// A thread that watches bars (a ticker's): asked to look at them again by
// `when`, it looks as soon as it can.
class Watcher {
 public:
  virtual void lookBy(TimePoint when) noexcept = 0;

 protected:
  ~Watcher() = default;
};

// The cells as the lock holder sees them: everything here is under the
// bar's lock. `close` stops counting without the lock and folds every cell's
// count into the total; `open` lets cells count again, with budgets and a
// deadline for the state the bar is in now.
class CellKeeper {
 public:
  CellKeeper(double delay, TimePoint start, std::int64_t done);
  CellKeeper(const CellKeeper&) = delete;
  CellKeeper& operator=(const CellKeeper&) = delete;

  Counter& counter() noexcept { return counter_; }
  void close() noexcept;
  void open(const CountPolicy& policy) noexcept;
  // The done count: every addition made so far.
  std::int64_t total() const noexcept;
  void add(std::int64_t n) noexcept;
  TimePoint renderTime() const noexcept { return renderTime_; }
  // The time of the last draw. When the cells open again, the lag of the
  // coarse clock behind it is noted, so that the bound covers every lag seen
  // at a draw.
  void setRenderTime(TimePoint t) noexcept {
    renderTime_ = t;
    lagUnseen_ = true;
    drawn_ = true;
  }
  bool tooSoon(TimePoint now) const noexcept { return throttle_.tooSoon(now, renderTime_); }

  // A watcher (a ticker's thread) looks at the bar at `now`, and will look
  // again by `tickAt` at the latest. When the cells open, it gives its word
  // until the time it must look next (lookBy()), unless the clocks are due
  // to decide already; another watcher's word is left alone. Each look
  // gives a new quiet word, so that a loop's batch ends at it. A draw that
  // brings the time its word would hold to before its next look asks it to
  // look by then, and the word holds until that time.
  void watch(Watcher* watcher, TimePoint tickAt, TimePoint now) noexcept;
  // The watcher has stopped: its word goes when the cells open.
  void unwatch(const Watcher* watcher) noexcept;
  // When the watcher must look next (for one that is not the bar's: `tickAt`).
  TimePoint lookBy(const Watcher* watcher, TimePoint tickAt) const noexcept {
    return watcher == watcher_ ? lookBy_ : tickAt;
  }

 private:
  // Folds every cell's count into base_ and closes the cells.
  void fold() noexcept;

  Counter counter_;
  const Throttle throttle_;
  std::int64_t base_;  // folded count
  // The cells given budgets: those of the threads that reached the lock. A
  // thread whose cell has none is refused once, takes the lock, and its cell
  // joins.
  unsigned activeCells_ = 0;
  TimePoint renderTime_;
  bool lagUnseen_ = true;  // the coarse clock's lag behind renderTime_ is still to be noted
  bool drawn_ = false;     // a line was drawn since the cells last opened
  // The watcher, if any, and when it looks next; a look not yet answered.
  Watcher* watcher_ = nullptr;
  TimePoint lookBy_{};
  std::uint64_t looks_ = 1;  // the watcher's quiet word: 2 and up (1: a deadline that never comes)
  bool looking_ = false;
  TimePoint lookNow_{}, lookTickAt_{};
};

}  // namespace System::ProgressBar::detail
