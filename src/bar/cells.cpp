// A bar's counting cells: the budgets and deadline that let updates count
// without the lock, and the cells a thread takes.
#include "bar/cells.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "bar/owned_mutex.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
// A budget that nothing exhausts: finished bars and unknown totals.
constexpr std::int64_t kUnlimited = std::int64_t{1} << 62;
// Finite thresholds lie within 2^64 of zero; beyond this they are infinite.
constexpr Int128 kInfiniteThreshold = Int128{1} << 100;
// A lag beyond this is a clock set between two readings, not a lag.
constexpr std::int64_t kLargestLag = 1'000'000'000;

std::int64_t clampToInt64(Int128 v, std::int64_t low) noexcept {
  if (v > kMax) return kMax;
  if (v < low) return low;
  return static_cast<std::int64_t>(v);
}

}  // namespace

CellKeeper::CellKeeper(double delay, TimePoint start, std::int64_t done)
    : throttle_(delay), base_(done), renderTime_(start) {
  __atomic_store_n(&counter_.lagBound_, coarseLagBound(), __ATOMIC_RELAXED);
}

namespace {

// The cells that living threads hold, process-wide: a bit each. A thread
// that finds them all taken shares one, round robin.
std::atomic<unsigned> g_cellsTaken{0};
std::atomic<unsigned> g_nextShared{0};
static_assert(Counter::kCells <= 32);

// Gives a thread's cell back when the thread ends.
struct CellLease {
  unsigned cell = Counter::kCells;  // kCells: none held
  ~CellLease() {
    if (cell < Counter::kCells) g_cellsTaken.fetch_and(~(1u << cell), std::memory_order_release);
    Counter::threadCell = 0;
    gone = true;
  }
  // Set once the lease is destroyed: a thread that counts again while it
  // ends (from another thread_local's destructor) shares a cell.
  static thread_local bool gone;
};
thread_local bool CellLease::gone = false;

}  // namespace

unsigned char Counter::takeCell() noexcept {
  if (!CellLease::gone) {
    static thread_local CellLease lease;
    unsigned taken = g_cellsTaken.load(std::memory_order_relaxed);
    while (taken != (1u << kCells) - 1) {
      const unsigned cell = static_cast<unsigned>(std::countr_one(taken));
      if (g_cellsTaken.compare_exchange_weak(taken, taken | (1u << cell),
                                             std::memory_order_acquire)) {
        lease.cell = cell;
        return static_cast<unsigned char>(cell + 1);
      }
    }
  }
  return static_cast<unsigned char>(g_nextShared.fetch_add(1, std::memory_order_relaxed) % kCells +
                                    1);
}

void OwnedMutex::lock(const char* call, const char* what) {
  if (heldByMe()) {
    throw std::logic_error(std::string("progress bar: ") + call +
                           " was called from inside a label, "
                           "escape, update function or stream of the same " +
                           what + " while it draws; such callables must not call back into it");
  }
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void CellKeeper::fold() noexcept {
  for (std::size_t i = 0; i < Counter::kCells; ++i) {
    Counter::Cell& cell = counter_.cells_[i];
    // A cell without a budget is read first: exchanging it would cost as much
    // as a locked addition, and it has almost always not been touched.
    if (cell.assigned == Counter::kClosedBudget &&
        __atomic_load_n(&cell.budget, __ATOMIC_SEQ_CST) == Counter::kClosedBudget) {
      continue;
    }
    const std::int64_t left =
        __atomic_exchange_n(&cell.budget, Counter::kClosedBudget, __ATOMIC_SEQ_CST);
    base_ = wrappingAdd(base_, wrappingSub(cell.assigned, left));
    cell.assigned = Counter::kClosedBudget;
  }
}

void CellKeeper::close() noexcept {
  // Odd: lock-free updates stay out. Only the lock holder writes the
  // sequence, so a store does. An update that adds to a cell after the fold
  // exchanged its budget reads that exchange, which happened after this
  // store, and so sees the sequence changed; one that added before it is
  // folded; a cell without a budget refuses every addition.
  const std::uint64_t seq = __atomic_load_n(&counter_.gate_.seq, __ATOMIC_RELAXED);
  __atomic_store_n(&counter_.gate_.seq, seq + 1, __ATOMIC_RELEASE);
  fold();
}

std::int64_t CellKeeper::total() const noexcept {
  std::int64_t total = base_;
  for (const Counter::Cell& cell : counter_.cells_) {
    total = wrappingAdd(
        total, wrappingSub(cell.assigned, __atomic_load_n(&cell.budget, __ATOMIC_SEQ_CST)));
  }
  return total;
}

void CellKeeper::add(std::int64_t n) noexcept { base_ = wrappingAdd(base_, n); }

void CellKeeper::open(const CountPolicy& policy) noexcept {
  const bool drew = std::exchange(drawn_, false);
  constexpr std::size_t kCells = Counter::kCells;
  constexpr std::int64_t kClosedBudget = Counter::kClosedBudget;
  constexpr std::int64_t kClosed = Counter::kClosed;
  const std::size_t mine = Counter::cellIndex();
  activeCells_ |= 1u << mine;
  // A bar that draws every update counts nothing without the lock: its
  // cells get no budget, and only what slipped into them is folded.
  const bool alwaysDraws = !policy.drawsNever && throttle_.threshold() < -kInfiniteThreshold;
  bool complete = false;
  for (;;) {
    if (alwaysDraws) {
      bool strays = false;
      for (const Counter::Cell& cell : counter_.cells_) {
        strays = strays || __atomic_load_n(&cell.budget, __ATOMIC_SEQ_CST) != kClosedBudget;
      }
      if (!strays) break;
      fold();
      continue;
    }
    // Budgets: what each active cell may take without completing the work.
    // The calling thread's cell gets half, the other active cells share the
    // rest.
    complete = policy.totalKnown && !policy.drawsNever && base_ >= policy.todo;
    std::int64_t others = 0, own = 0;
    if (policy.drawsNever || !policy.totalKnown) {
      others = own = kUnlimited;
    } else if (complete) {
      others = own = kClosedBudget;
    } else {
      const Int128 room = std::min<Int128>(Int128{policy.todo} - base_ - 1, kUnlimited);
      const int active = std::popcount(activeCells_);
      others = active > 1 ? static_cast<std::int64_t>((room / 2) / (active - 1)) : 0;
      own = static_cast<std::int64_t>(room - Int128{others} * (active - 1));
    }
    // Updates that slipped into a closed cell after the fold (they saw the
    // gate open before it closed) are folded in and the budgets made again.
    bool strays = false;
    for (std::size_t i = 0; i < kCells; ++i) {
      if ((activeCells_ & (1u << i)) == 0) continue;
      const std::int64_t budget = i == mine ? own : others;
      Counter::Cell& cell = counter_.cells_[i];
      const std::int64_t left = __atomic_exchange_n(&cell.budget, budget, __ATOMIC_SEQ_CST);
      if (left != kClosedBudget) {
        base_ = wrappingAdd(base_, wrappingSub(kClosedBudget, left));
        strays = true;
      }
      cell.assigned = budget;
    }
    // An inactive cell counted into meanwhile: fold it, and make the budgets again.
    for (std::size_t i = 0; i < kCells && !strays; ++i) {
      if ((activeCells_ & (1u << i)) == 0 &&
          __atomic_load_n(&counter_.cells_[i].budget, __ATOMIC_SEQ_CST) != kClosedBudget) {
        strays = true;
      }
    }
    if (!strays) break;
    fold();
  }
  // The deadline: precise readings up to it are too soon; coarse readings up
  // to `until` are, whatever their lag.
  std::int64_t until = kClosed, deadline = kClosed;
  if (policy.drawsNever) {
    until = deadline = kMax;
  } else if (!complete) {
    // Thresholds are infinite or within 2^64 of zero, so the sum cannot overflow.
    const Int128 threshold = throttle_.threshold();
    const Int128 due = threshold > kInfiniteThreshold ? Int128{kMax}
                       : threshold < -kInfiniteThreshold
                           ? Int128{kClosed}
                           : renderTime_.time_since_epoch().count() + threshold;
    deadline = clampToInt64(due, kClosed);
    // Only a finite deadline lets the coarse clock decide, so only then does
    // its lag matter: the lag behind a draw's own time is a lower bound of it.
    if (lagUnseen_ && deadline != kClosed && deadline != kMax) {
      counter_.noteLag(renderTime_, readCoarseClock());
      lagUnseen_ = false;
    }
    // A coarse clock whose lag has no known bound proves nothing: every
    // reading goes on to the precise clock.
    const std::int64_t lag = __atomic_load_n(&counter_.lagBound_, __ATOMIC_RELAXED);
    until = deadline == kClosed ? kClosed
            : lag < 0           ? kClosed + 1
                                : clampToInt64(due - lag, kClosed + 1);
  }
  // The quiet word. A watcher's word holds while it has not looked again,
  // so only while it looks no later than the coarse clock would stop
  // proving updates too soon; it is withdrawn at the look that finds that
  // time come.
  std::uint64_t quiet = 0;
  const bool coarseDecides = until != kClosed && until != kClosed + 1;
  if (looking_) {
    looking_ = false;
    const std::int64_t tickAt = lookTickAt_.time_since_epoch().count();
    const bool withdrawn = !coarseDecides || until <= lookNow_.time_since_epoch().count();
    lookBy_ =
        withdrawn || until >= tickAt ? lookTickAt_ : TimePoint(std::chrono::nanoseconds(until));
  } else if (watcher_ != nullptr && drew && coarseDecides &&
             until > renderTime_.time_since_epoch().count() &&
             lookBy_.time_since_epoch().count() > until) {
    // A draw brought the time the word would hold to before the watcher's
    // next look: it is asked to look by then instead.
    lookBy_ = TimePoint(std::chrono::nanoseconds(until));
    watcher_->lookBy(lookBy_);
  }
  if (until == kMax) {
    quiet = watcher_ != nullptr ? looks_ : 1;
  } else if (watcher_ != nullptr && coarseDecides && lookBy_.time_since_epoch().count() <= until) {
    quiet = looks_;
  }
  __atomic_store_n(&counter_.gate_.until, until, __ATOMIC_RELAXED);
  __atomic_store_n(&counter_.gate_.deadline, deadline, __ATOMIC_RELAXED);
  __atomic_store_n(&counter_.gate_.quiet, quiet, __ATOMIC_RELAXED);
  // Even: open again, with everything above seen by whoever sees it.
  const std::uint64_t seq = __atomic_load_n(&counter_.gate_.seq, __ATOMIC_RELAXED);
  __atomic_store_n(&counter_.gate_.seq, seq + 1, __ATOMIC_RELEASE);
}

void CellKeeper::watch(Watcher* watcher, TimePoint tickAt, TimePoint now) noexcept {
  if (watcher_ != nullptr && watcher_ != watcher) return;
  watcher_ = watcher;
  ++looks_;
  looking_ = true;
  lookNow_ = now;
  lookTickAt_ = tickAt;
}

void CellKeeper::unwatch(const Watcher* watcher) noexcept {
  if (watcher_ != watcher) return;
  watcher_ = nullptr;
  looking_ = false;
}

void Counter::noteLag(TimePoint now, std::int64_t coarse) noexcept {
  if (coarse == kMax) return;  // no coarse clock
  const Int128 lag = Int128{now.time_since_epoch().count()} - coarse;
  const std::int64_t bound = __atomic_load_n(&lagBound_, __ATOMIC_RELAXED);
  if (bound >= 0 && lag > bound && lag <= kLargestLag) {
    __atomic_store_n(&lagBound_, static_cast<std::int64_t>(2 * lag), __ATOMIC_RELAXED);
  }
}

}  // namespace System::ProgressBar::detail
