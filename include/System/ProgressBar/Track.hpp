// Iterating with a bar: a range adaptor that advances a bar by one for each
// element a loop consumes.
//
//   for (const auto& file : track(bar, files)) copy(file);
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "System/ProgressBar/Bar.hpp"
#include "System/ProgressBar/Display.hpp"
#include "System/ProgressBar/Finish.hpp"
#include "System/ProgressBar/Template.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

namespace detail {

// A sized range's size as its bar's total. A size is a count whatever
// integer-like type the range gives it in, a character type or an
// integer-class type wider than 64 bits included; one beyond the signed
// 64-bit range throws std::out_of_range naming `call`.
template <class Size>
std::int64_t sizeAsTotal(Size size, const char* call) {
  if constexpr (kCharacter<Size>) {
    using Value = std::conditional_t<std::is_signed_v<Size>, std::make_signed_t<Size>,
                                     std::make_unsigned_t<Size>>;
    return checkedCount(static_cast<Value>(size), call);
  } else if constexpr (std::is_integral_v<Size>) {
    return checkedCount(size, call);
  } else {
    if (size > static_cast<Size>(std::numeric_limits<std::int64_t>::max())) {
      throwCountOutOfRange(call);
    }
    if constexpr (std::numeric_limits<Size>::is_signed) {
      if (size < static_cast<Size>(std::numeric_limits<std::int64_t>::min())) {
        throwCountOutOfRange(call);
      }
    }
    return static_cast<std::int64_t>(size);
  }
}

// Counts a loop's elements into a bar in small batches. Each element costs an
// increment, a comparison and either a read of the coarse clock and a
// comparison, or, while a ticker watches the bar, a load of its quiet word;
// every batch is added to the bar as one increment, which draws when a draw
// is due and settles anything that needs the lock. Batches are at most
// kMaxBatch elements. Read by the clock, they end once about kBatchTargetNs
// have passed by the coarse clock, so that a batch of elements that turned
// slow ends after the first of them; the precise clock then says how long
// the elements since its last reading took, and the next batches are sized
// from that (batches of cheap elements that end by their count read it no
// more than once a coarse tick). Watched, they end at each of the watcher's
// looks. A batch never runs past the element that could complete the work,
// so the completing element is drawn at once.
template <class Custom>
class TrackCounter {
 public:
  static constexpr std::int64_t kMaxBatch = 64;
  static constexpr std::int64_t kBatchTargetNs = 200'000;

  explicit TrackCounter(ProgressBar<Custom> bar)
      : bar_(std::move(bar)),
        counter_(BarAccess::typed(bar_).counter),
        last_(readWallClock()),
        flushBy_(bySoon(last_)) {}
  TrackCounter(TrackCounter&& other) noexcept
      : bar_(other.bar_),
        counter_(other.counter_),
        pending_(std::exchange(other.pending_, 0)),
        flushAt_(other.flushAt_),
        batch_(other.batch_),
        quiet_(other.quiet_),
        last_(other.last_),
        flushBy_(other.flushBy_),
        sinceLast_(other.sinceLast_) {}
  TrackCounter& operator=(TrackCounter&& other) noexcept {
    if (this != &other) {
      leave();
      bar_ = other.bar_;
      counter_ = other.counter_;
      pending_ = std::exchange(other.pending_, 0);
      flushAt_ = other.flushAt_;
      batch_ = other.batch_;
      quiet_ = other.quiet_;
      flushBy_ = other.flushBy_;
      last_ = other.last_;
      sinceLast_ = other.sinceLast_;
    }
    return *this;
  }
  // A loop left by `break` or an exception: its elements are counted, nothing
  // is drawn and nothing can fail.
  ~TrackCounter() { leave(); }

  void advance() {
    ++pending_;
    if (quiet_ != 0) {
      if (pending_ >= flushAt_ || counter_->quiet() != quiet_) flush(kNoReading);
      return;
    }
    const std::int64_t coarse = coarseClock();
    if (pending_ >= flushAt_ || coarse > flushBy_) flush(coarse);
  }

  // Adds what the batch holds, drawing if due. If that fails, the batch is
  // still to count. `coarse`: the coarse reading the batch ended at, if any.
  void flush(std::int64_t coarse = kNoReading) {
    if (pending_ == 0) return;
    const std::int64_t n = std::exchange(pending_, 0);
    CountAttempt attempt;
    Count result;
    try {
      result = Engine::count(*BarAccess::typed(bar_).engine, *counter_, n, attempt, coarse);
    } catch (...) {
      pending_ = n;
      throw;
    }
    sinceLast_ = wrappingAdd(sinceLast_, n);
    if (result == Count::kCounted && !attempt.haveNow &&
        (attempt.quiet != 0 || (n == flushAt_ && coarse != kNoReading && coarse <= flushBy_))) {
      // On a watcher's word, or ended by its count before the coarse clock
      // passed the batch's time: no precise reading.
      quiet_ = attempt.quiet;
      flushAt_ = attempt.room < batch_ ? attempt.room + 1 : batch_;
      return;
    }
    quiet_ = 0;
    resize(attempt.haveNow ? attempt.now : readWallClock(),
           result == Count::kCounted ? attempt.room : 0);
  }

 private:
  static std::int64_t bySoon(TimePoint now) noexcept {
    const Int128 by = Int128{now.time_since_epoch().count()} + kBatchTargetNs;
    return by > kNoLimit ? kNoLimit : static_cast<std::int64_t>(by);
  }
  // `room`: how much the bar's cell may still take before the lock must
  // decide; the next batch ends no later than the element that needs it.
  void resize(TimePoint now, std::int64_t room) noexcept {
    const Int128 took = nanosecondsBetween(last_, now);
    const std::int64_t n = std::exchange(sinceLast_, 0);
    last_ = now;
    batch_ = kMaxBatch;
    if (took > 0) {
      const Int128 fit = Int128{kBatchTargetNs} * n / took;
      batch_ = fit < 1 ? 1 : fit > kMaxBatch ? kMaxBatch : static_cast<std::int64_t>(fit);
    }
    flushAt_ = room < batch_ ? room + 1 : batch_;
    flushBy_ = bySoon(now);
  }
  void leave() noexcept {
    if (pending_ != 0) counter_->countOnly(std::exchange(pending_, 0));
  }

  ProgressBar<Custom> bar_;
  Counter* counter_;
  std::int64_t pending_ = 0;
  std::int64_t flushAt_ = 1;
  std::int64_t batch_ = kMaxBatch;  // the batch the elements' cost calls for
  std::uint64_t quiet_ = 0;         // the watcher's word the batch counts under; 0: none
  // The coarse time after which the batch ends, whatever its count.
  static constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();
  TimePoint last_;  // the last precise reading
  std::int64_t flushBy_;
  std::int64_t sinceLast_ = 0;  // elements counted since
};

}  // namespace detail

/// A view whose iteration advances a bar: see `track`. `R` is the wrapped
/// range's type as given: a reference (the view refers to the range) or a
/// value (the view owns it).
//
// It derives from view_base rather than view_interface, and does not go
// through std::views::all, so that clang 14 with libstdc++ 12, which cannot
// compile those, can use it.
template <class R, class Custom>
requires std::ranges::input_range<std::remove_reference_t<R>>
class TrackView : public std::ranges::view_base {
  using Base = std::remove_reference_t<R>;

 public:
  class Sentinel;

  /// A move-only input iterator: the elements it has moved past are counted
  /// once, whatever happens to it.
  class Iterator {
   public:
    using iterator_concept = std::input_iterator_tag;
    using value_type = std::ranges::range_value_t<Base>;
    using difference_type = std::ranges::range_difference_t<Base>;

    Iterator(std::ranges::iterator_t<Base> it, const ProgressBar<Custom>& bar)
        : it_(std::move(it)), counter_(bar) {}
    Iterator(Iterator&&) noexcept = default;
    Iterator& operator=(Iterator&&) noexcept = default;

    decltype(auto) operator*() const { return *it_; }
    /// Moves past the current element and counts it.
    Iterator& operator++() {
      ++it_;
      counter_.advance();
      return *this;
    }
    void operator++(int) { ++*this; }

    /// Reaching the end adds the last batch, so the completing line is drawn.
    friend bool operator==(const Iterator& i, const Sentinel& s) {
      if (!(i.it_ == s.base())) return false;
      i.counter_.flush();
      return true;
    }

   private:
    std::ranges::iterator_t<Base> it_;
    mutable detail::TrackCounter<Custom> counter_;
  };

  class Sentinel {
   public:
    Sentinel() = default;
    explicit Sentinel(std::ranges::sentinel_t<Base> end) : end_(std::move(end)) {}
    /// The wrapped range's sentinel.
    const std::ranges::sentinel_t<Base>& base() const noexcept { return end_; }

   private:
    std::ranges::sentinel_t<Base> end_{};
  };

  TrackView(R&& range, ProgressBar<Custom> bar)
      : range_(hold(std::forward<R>(range))), bar_(std::move(bar)) {}
  // A view that made its own bar finishes it when the view goes.
  TrackView(R&& range, ProgressBar<Custom> bar, bool ownsBar)
      : range_(hold(std::forward<R>(range))), bar_(std::move(bar)), ownsBar_(ownsBar) {}
  TrackView(TrackView&& other) noexcept(std::is_nothrow_move_constructible_v<Holder>)
      : range_(std::move(other.range_)),
        bar_(other.bar_),
        ownsBar_(std::exchange(other.ownsBar_, false)) {}
  TrackView& operator=(TrackView&& other) noexcept(std::is_nothrow_move_assignable_v<Holder>) {
    if (this != &other) {
      leave();
      range_ = std::move(other.range_);
      bar_ = other.bar_;
      ownsBar_ = std::exchange(other.ownsBar_, false);
    }
    return *this;
  }
  ~TrackView() { leave(); }

  Iterator begin() { return Iterator(std::ranges::begin(base()), bar_); }
  Sentinel end() { return Sentinel(std::ranges::end(base())); }
  auto size() requires std::ranges::sized_range<Base> { return std::ranges::size(base()); }
  /// Only where asking does not consume an element.
  bool empty() requires std::ranges::sized_range<Base> || std::ranges::forward_range<Base> {
    if constexpr (std::ranges::sized_range<Base>) {
      return std::ranges::size(base()) == 0;
    } else {
      return std::ranges::begin(base()) == std::ranges::end(base());
    }
  }
  /// The bar this view advances.
  const ProgressBar<Custom>& bar() const noexcept { return bar_; }

 private:
  static constexpr bool kRefers = std::is_lvalue_reference_v<R>;
  static auto hold(R&& range) {
    if constexpr (kRefers) {
      return &range;
    } else {
      return Base(std::move(range));
    }
  }
  Base& base() {
    if constexpr (kRefers) {
      return *range_;
    } else {
      return range_;
    }
  }

  using Holder = std::conditional_t<kRefers, Base*, Base>;
  // Ends a bar of the view's own; a failure to draw its last line is not
  // reported (a destructor has nowhere to report it), and a cancellation of
  // the thread waits until the line is out.
  void leave() noexcept {
    if (!ownsBar_) return;
    ownsBar_ = false;
    detail::Engine::finishQuietly(detail::BarAccess::engine(bar_));
  }

  Holder range_;
  ProgressBar<Custom> bar_;
  bool ownsBar_ = false;
};

/// Wraps any input range so that iterating it advances `bar` by one per
/// element: `for (auto& item : track(bar, items))`. When the loop is left, by
/// its end, `break` or an exception, the bar holds exactly the elements moved
/// past. During the loop elements are added in batches of at most 64, and of
/// about 0.2 ms of work when elements are slower than a few microseconds
/// (while a `Ticker` watches the bar: ending at each tick, and when a draw
/// comes due), so
/// another thread reading the bar sees it behind by at most one batch, and a
/// redraw comes at most one batch late (after a sudden slowdown, one batch of
/// the slower elements; then batches shrink to one element). The element that
/// completes the work is drawn at once. The result is an input range and a
/// view, sized when `range` is; an lvalue range is referred to, an rvalue one
/// is moved in. Each pass over it counts again.
template <class R, class Custom>
requires std::ranges::input_range<std::remove_reference_t<R>> TrackView<R, Custom> track(
    const ProgressBar<Custom>& bar, R&& range) {
  return TrackView<R, Custom>(std::forward<R>(range), bar);
}

/// `track` with a bar of its own on standard error (while a display draws
/// there, use `display.track(range)` instead): for a sized range, a
/// default-style bar with the range's size as its total; for any other, a
/// bar of unknown total in `spinnerStyle()`. The view finishes its bar when
/// it goes, so a loop left early ends with its true last line:
/// `for (const auto& file : track(files)) copy(file);`. A size beyond the
/// signed 64-bit range throws `std::out_of_range`.
template <class R>
requires std::ranges::input_range<std::remove_reference_t<R>> TrackView<R, std::monostate> track(
    R&& range) {
  if constexpr (std::ranges::sized_range<std::remove_reference_t<R>>) {
    const std::int64_t size = detail::sizeAsTotal(std::ranges::size(range), "track");
    return TrackView<R, std::monostate>(
        std::forward<R>(range),
        ::System::ProgressBar::newProgressBar(defStyle(), 10.0, Progress<>{0, size}), true);
  } else {
    return TrackView<R, std::monostate>(
        std::forward<R>(range),
        ::System::ProgressBar::newProgressBar(spinnerStyle(), 10.0, Progress<>{0, 0}, unknownTotal),
        true);
  }
}

template <class R, class Custom>
TrackView<R, Custom> Display::track(R&& range, const Style<Custom>& style) {
  if constexpr (std::ranges::sized_range<std::remove_reference_t<R>>) {
    const std::int64_t size = detail::sizeAsTotal(std::ranges::size(range), "Display::track");
    return TrackView<R, Custom>(std::forward<R>(range), add(style, Progress<Custom>{0, size}),
                                true);
  } else {
    return TrackView<R, Custom>(std::forward<R>(range),
                                add(style, Progress<Custom>{0, 0}, unknownTotal), true);
  }
}

template <class R>
TrackView<R, std::monostate> Display::track(R&& range) {
  if constexpr (std::ranges::sized_range<std::remove_reference_t<R>>) {
    return track(std::forward<R>(range), defStyle());
  } else {
    return track(std::forward<R>(range), spinnerStyle());
  }
}

}  // namespace System::ProgressBar
