// The counting core of a bar: its lock, and the budgets and deadline that let
// updates count without it.
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "System/ProgressBar/detail/BarCore.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
// A budget that nothing exhausts: finished bars and unknown totals.
constexpr std::int64_t kUnlimited = std::int64_t{1} << 62;
// Finite thresholds lie within 2^64 of zero; beyond this they are infinite.
constexpr Int128 kInfiniteThreshold = Int128{1} << 100;
// A lag beyond this is a clock set between two readings, not a lag.
constexpr std::int64_t kLargestLag = 1'000'000'000;

constexpr std::int64_t wrappingSub(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

std::int64_t clampToInt64(Int128 v, std::int64_t low) noexcept {
  if (v > kMax) return kMax;
  if (v < low) return low;
  return static_cast<std::int64_t>(v);
}

}  // namespace

std::int64_t saturatedNanoseconds(std::int64_t seconds, std::int64_t nanoseconds) noexcept {
  return clampToInt64(Int128{seconds} * 1'000'000'000 + nanoseconds, std::numeric_limits<std::int64_t>::min());
}

BarCore::BarCore(double delay, TimePoint start, std::int64_t done)
    : lagBound_(coarseLagBound()), throttle_(delay), base_(done), renderTime_(start) {}

void OwnedMutex::lock(const char* call, const char* what) {
  if (heldByMe()) {
    throw std::logic_error(std::string("progress bar: ") + call + " was called from inside a label, "
                           "escape, update function or stream of the same " + what +
                           " while it draws; such callables must not call back into it");
  }
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void BarCore::fold() noexcept {
  for (Cell& cell : cells_) {
    const std::int64_t left = cell.budget.exchange(kClosedBudget, std::memory_order_seq_cst);
    base_ = wrappingAdd(base_, wrappingSub(cell.assigned, left));
    cell.assigned = kClosedBudget;
  }
}

void BarCore::close() noexcept {
  gate_.seq.fetch_add(1, std::memory_order_seq_cst);  // odd: lock-free updates stay out
  fold();
}

std::int64_t BarCore::total() const noexcept {
  std::int64_t total = base_;
  for (const Cell& cell : cells_) {
    total = wrappingAdd(total, wrappingSub(cell.assigned, cell.budget.load(std::memory_order_seq_cst)));
  }
  return total;
}

void BarCore::open(const CountPolicy& policy) noexcept {
  bool complete = false;
  for (;;) {
    fold();
    // Budgets: what each cell may take without completing the work. The
    // calling thread's cell gets half, the others share the rest.
    std::int64_t budgets[kCells];
    complete = policy.totalKnown && !policy.drawsNever && base_ >= policy.todo;
    if (policy.drawsNever || !policy.totalKnown) {
      std::fill(std::begin(budgets), std::end(budgets), kUnlimited);
    } else if (complete) {
      std::fill(std::begin(budgets), std::end(budgets), kClosedBudget);
    } else {
      const Int128 room = std::min<Int128>(Int128{policy.todo} - base_ - 1, kUnlimited);
      const std::size_t mine = cellIndex();
      const Int128 others = (room / 2) / (kCells - 1);
      for (std::size_t i = 0; i < kCells; ++i) budgets[i] = static_cast<std::int64_t>(others);
      budgets[mine] = static_cast<std::int64_t>(room - others * (kCells - 1));
    }
    // Updates that slipped in after the fold (they saw the gate open before
    // it closed) are folded in and the budgets made again.
    bool strays = false;
    for (std::size_t i = 0; i < kCells; ++i) {
      const std::int64_t left = cells_[i].budget.exchange(budgets[i], std::memory_order_seq_cst);
      if (left != kClosedBudget) {
        base_ = wrappingAdd(base_, wrappingSub(kClosedBudget, left));
        strays = true;
      }
      cells_[i].assigned = budgets[i];
    }
    if (!strays) break;
  }
  // The deadline: precise readings up to it are too soon; coarse readings up
  // to `until` are, whatever their lag.
  std::int64_t until = kClosed, deadline = kClosed;
  if (policy.drawsNever) {
    until = deadline = kMax;
  } else if (!complete) {
    // Thresholds are infinite or within 2^64 of zero, so the sum cannot overflow.
    const Int128 threshold = throttle_.threshold();
    const Int128 due = threshold > kInfiniteThreshold    ? Int128{kMax}
                       : threshold < -kInfiniteThreshold ? Int128{kClosed}
                                                         : renderTime_.time_since_epoch().count() + threshold;
    deadline = clampToInt64(due, kClosed);
    const std::int64_t lag = lagBound_.load(std::memory_order_relaxed);
    until = deadline == kClosed ? kClosed : clampToInt64(due - std::max<std::int64_t>(lag, 0), kClosed + 1);
  }
  gate_.until.store(until, std::memory_order_relaxed);
  gate_.deadline.store(deadline, std::memory_order_relaxed);
  gate_.seq.fetch_add(1, std::memory_order_seq_cst);  // even: open again
}

void BarCore::noteLag(TimePoint now, std::int64_t coarse) noexcept {
  if (coarse == kMax) return;  // no coarse clock
  const Int128 lag = Int128{now.time_since_epoch().count()} - coarse;
  const std::int64_t bound = lagBound_.load(std::memory_order_relaxed);
  if (bound >= 0 && lag > bound && lag <= kLargestLag) {
    lagBound_.store(static_cast<std::int64_t>(2 * lag), std::memory_order_relaxed);
  }
}

}  // namespace System::ProgressBar::detail
