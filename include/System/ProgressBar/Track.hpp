// Iterating with a bar: a range adaptor that advances a bar by one for each
// element a loop consumes.
//
//   for (const auto& file : track(bar, files)) copy(file);
#pragma once

#include <chrono>
#include <cstdint>
#include <iterator>
#include <ranges>
#include <type_traits>
#include <utility>

#include "System/ProgressBar/Bar.hpp"

namespace System::ProgressBar {

namespace detail {

// Adds one to the stored progress per element, reading the wall clock only
// every `batch_` elements: the batch doubles while a batch takes under a
// millisecond and halves (down to one) when it takes longer, so cheap elements
// pay a lock and not a clock read, and slow ones see the time of each element.
template <class Custom>
class TrackClock {
 public:
  explicit TrackClock(ProgressBar<Custom> bar)
      : bar_(std::move(bar)), now_(readWallClock()), last_(now_) {}

  void advance() {
    if (++sinceRead_ >= batch_) {
      now_ = readWallClock();
      if (now_ - last_ < std::chrono::milliseconds(1)) {
        if (batch_ < kMaxBatch) batch_ *= 2;
      } else if (batch_ > 1) {
        batch_ /= 2;
      }
      last_ = now_;
      sinceRead_ = 0;
    }
    auto addOne = [](const Progress<Custom>& p) { return addToDone(p, 1); };
    updateAt(bar_, now_, addOne);
  }

 private:
  static constexpr std::int64_t kMaxBatch = std::int64_t{1} << 16;
  ProgressBar<Custom> bar_;
  std::int64_t sinceRead_ = 0;
  std::int64_t batch_ = 1;
  TimePoint now_;
  TimePoint last_;
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

  class Iterator {
   public:
    using iterator_concept = std::input_iterator_tag;
    using value_type = std::ranges::range_value_t<Base>;
    using difference_type = std::ranges::range_difference_t<Base>;

    Iterator(std::ranges::iterator_t<Base> it, const ProgressBar<Custom>& bar)
        : it_(std::move(it)), clock_(bar) {}

    decltype(auto) operator*() const { return *it_; }
    /// Moves past the current element and counts it.
    Iterator& operator++() {
      ++it_;
      clock_.advance();
      return *this;
    }
    void operator++(int) { ++*this; }

    friend bool operator==(const Iterator& i, const Sentinel& s) { return i.it_ == s.base(); }

   private:
    std::ranges::iterator_t<Base> it_;
    detail::TrackClock<Custom> clock_;
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

  Iterator begin() { return Iterator(std::ranges::begin(base()), bar_); }
  Sentinel end() { return Sentinel(std::ranges::end(base())); }
  auto size()
    requires std::ranges::sized_range<Base>
  {
    return std::ranges::size(base());
  }
  bool empty() { return std::ranges::begin(base()) == std::ranges::end(base()); }

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

  std::conditional_t<kRefers, Base*, Base> range_;
  ProgressBar<Custom> bar_;
};

/// Wraps any input range so that iterating it advances `bar` by one per
/// element: `for (auto& item : track(bar, items))`. An element is counted, as
/// `incProgress(bar, 1)` would, when the loop moves past it; so the stored
/// progress is exact at every moment, and a loop left by `break` or an
/// exception in element i has counted the i elements before it. The wall
/// clock is read only every so often (at most about a millisecond apart), so
/// a throttled redraw may come that much late; an element that completes the
/// work is drawn at once. The result is an input range and a view, sized when
/// `range` is; an lvalue range is referred to, an rvalue one is moved in. Each
/// pass over it counts again.
template <class R, class Custom>
  requires std::ranges::input_range<std::remove_reference_t<R>>
TrackView<R, Custom> track(const ProgressBar<Custom>& bar, R&& range) {
  return TrackView<R, Custom>(std::forward<R>(range), bar);
}

}  // namespace System::ProgressBar
