// Iterating with a bar: a range adaptor that advances a bar by one for each
// element a loop consumes.
//
//   for (const auto& file : track(bar, files)) copy(file);
#pragma once

#include <chrono>
#include <cstdint>
#include <iterator>
#include <ranges>
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

/// A view over `Base` whose iteration advances a bar: see `track`.
template <std::ranges::input_range Base, class Custom>
  requires std::ranges::view<Base>
class TrackView : public std::ranges::view_interface<TrackView<Base, Custom>> {
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

  TrackView(Base base, ProgressBar<Custom> bar) : base_(std::move(base)), bar_(std::move(bar)) {}

  Iterator begin() { return Iterator(std::ranges::begin(base_), bar_); }
  Sentinel end() { return Sentinel(std::ranges::end(base_)); }

  auto size()
    requires std::ranges::sized_range<Base>
  {
    return std::ranges::size(base_);
  }

 private:
  Base base_;
  ProgressBar<Custom> bar_;
};

/// Wraps any input range so that iterating it advances `bar` by one per
/// element: `for (auto& item : track(bar, items))`. An element is counted, as
/// `incProgress(bar, 1)` would, when the loop moves past it; so the stored
/// progress is exact at every moment, and a loop left by `break` or an
/// exception in element i has counted the i elements before it. The wall
/// clock is read only every so often (at most about a millisecond apart), so
/// a throttled redraw may come that much late; an element that completes the
/// work is drawn at once. The result is an input range, sized when `range` is:
/// each pass over it counts again.
template <std::ranges::viewable_range R, class Custom>
  requires std::ranges::input_range<R>
TrackView<std::views::all_t<R>, Custom> track(const ProgressBar<Custom>& bar, R&& range) {
  return TrackView<std::views::all_t<R>, Custom>(std::views::all(std::forward<R>(range)), bar);
}

}  // namespace System::ProgressBar
