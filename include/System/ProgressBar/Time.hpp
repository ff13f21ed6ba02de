// Time labels: durations, the renderers that write them, and the labels that
// show the elapsed, remaining and total time of a bar.
//
//   style.stylePrefix = elapsedTime(humanDuration);                  // "2m05s"
//   style.stylePostfix = remainingTime(renderDuration, "?") + " left"; // "01:30 left"
#pragma once

#include <gmpxx.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ratio>
#include <thread>
#include <type_traits>
#include <utility>

#include "System/ProgressBar/Label.hpp"

namespace System::ProgressBar {

class Duration;

namespace detail {
// Compiled helpers of this header.
mpz_class picosecondsFromSigned(Int128 count, std::intmax_t num, std::intmax_t den);
mpz_class picosecondsFromUnsigned(UInt128 count, std::intmax_t num, std::intmax_t den);
mpz_class picosecondsFromFloat(long double count, std::intmax_t num, std::intmax_t den);
mpz_class mpzFromInt128(Int128 value);
std::optional<Int128> int128FromMpz(const mpz_class& value);
// The elapsed time of a timing, exact to the picosecond.
Duration elapsedDuration(const Timing& timing);
enum class Estimate { kRemaining, kTotal };
// The estimate, or nothing while none can be made (nothing done yet, one
// second or less elapsed, or todo beyond 10^12 times done).
std::optional<Duration> estimateDuration(Estimate kind, std::int64_t done, std::int64_t todo,
                                         const Timing& timing);
}  // namespace detail

/// An exact, signed, unbounded count of picoseconds. Durations that fit 128
/// bits (about 5*10^18 years) are held without GMP; `picoseconds()` builds the
/// GMP value the first time it is asked for.
class Duration {
 public:
  explicit Duration(mpz_class picoseconds) { set(std::move(picoseconds)); }

  /// Converts any chrono duration exactly, rounded toward negative infinity to
  /// whole picoseconds, whatever its count type (64- and 128-bit integers,
  /// signed or not, and floating point). A non-finite floating count throws
  /// `std::domain_error`.
  template <class Rep, class Period>
  Duration(std::chrono::duration<Rep, Period> d) {  // NOLINT(google-explicit-constructor)
    static_assert(std::is_arithmetic_v<Rep>,
                  "Duration: the count of the chrono duration must be an integer or floating type");
    if constexpr (std::is_floating_point_v<Rep>) {
      set(detail::picosecondsFromFloat(d.count(), Period::num, Period::den));
    } else if constexpr (std::is_signed_v<Rep>) {
      set(detail::picosecondsFromSigned(d.count(), Period::num, Period::den));
    } else {
      set(detail::picosecondsFromUnsigned(d.count(), Period::num, Period::den));
    }
  }

  Duration(const Duration& other) : small_(other.small_), isSmall_(other.isSmall_) {
    if (!isSmall_) big_ = other.big_;
  }
  Duration& operator=(const Duration& other) {
    if (this != &other) {
      small_ = other.small_;
      isSmall_ = other.isSmall_;
      big_.reset();
      if (!isSmall_) big_ = other.big_;
      built_.store(kUnbuilt, std::memory_order_relaxed);
    }
    return *this;
  }

  /// The exact count of picoseconds.
  const mpz_class& picoseconds() const {
    if (isSmall_ && built_.load(std::memory_order_acquire) != kBuilt) build();
    return *big_;
  }

  /// The count, when it fits 128 bits.
  std::optional<detail::Int128> smallPicoseconds() const noexcept {
    if (isSmall_) return small_;
    return std::nullopt;
  }

  /// A duration of `picoseconds`, without GMP.
  static Duration fromPicoseconds(detail::Int128 picoseconds) noexcept {
    return Duration(Small{}, picoseconds);
  }

 private:
  struct Small {};
  enum : int { kUnbuilt, kBuilding, kBuilt };

  Duration(Small, detail::Int128 picoseconds) noexcept : small_(picoseconds), isSmall_(true) {}
  void set(mpz_class value) {
    if (const std::optional<detail::Int128> small = detail::int128FromMpz(value)) {
      small_ = *small;
      isSmall_ = true;
    } else {
      big_ = std::move(value);
      isSmall_ = false;
    }
  }
  // Builds the GMP value of a small duration once, also when several threads
  // ask for it at the same time.
  void build() const {
    for (;;) {
      int expected = kUnbuilt;
      if (built_.compare_exchange_strong(expected, kBuilding, std::memory_order_acquire)) {
        try {
          big_.emplace(detail::mpzFromInt128(small_));
        } catch (...) {
          built_.store(kUnbuilt, std::memory_order_release);
          throw;
        }
        built_.store(kBuilt, std::memory_order_release);
        return;
      }
      if (expected == kBuilt) return;
      std::this_thread::yield();
    }
  }

  detail::Int128 small_ = 0;
  bool isSmall_ = true;
  mutable std::atomic<int> built_{kUnbuilt};
  mutable std::optional<mpz_class> big_;  // made only for a duration beyond 128 bits, or asked for
};

/// A callable that turns a duration into text; `renderDuration` and
/// `humanDuration` are the stock ones.
using DurationRenderer = std::function<Text(const Duration&)>;

/// Hours, minutes and seconds joined by ":", rounded to the whole second with
/// ties to even; hours and minutes appear only when non-zero and every part
/// has at least two digits: "00", "59", "01:00", "25:01:01", "-1:-5" (-65 s).
/// Hours are never wrapped or cut, however many digits they take.
Text renderDuration(const Duration& duration);

/// A duration for people, rounded to the whole second with ties to even, in
/// its two largest units: "45s", "2m05s", "1h02m", "3d04h" (the smaller units
/// are dropped, not rounded), "-2m05s", "0s". Days are never wrapped or cut.
Text humanDuration(const Duration& duration);

namespace detail {
template <class Custom, class F>
Label<Custom> timingLabel(F f) {
  return Label<Custom>(
      LabelNodePtr<Custom>(std::make_shared<AppendingNode<Custom, F>>(std::move(f))));
}

template <class Custom>
Label<Custom> estimateLabel(Estimate kind, DurationRenderer render, Text alternative) {
  return timingLabel<Custom>(
      [kind, render = std::move(render), alternative = std::move(alternative)](
          Text& out, const Progress<Custom>& p, const Timing& t) {
        const std::optional<Duration> d = estimateDuration(kind, p.progressDone, p.progressTodo, t);
        out += d ? render(*d) : alternative;
      });
}
}  // namespace detail

/// The time since the bar started (`timingLastUpdate - timingStart`, exact to
/// the picosecond; negative if the clock went back), shown by `render`.
template <class Custom = std::monostate>
Label<Custom> elapsedTime(DurationRenderer render) {
  return detail::timingLabel<Custom>(
      [render = std::move(render)](Text& out, const Progress<Custom>&, const Timing& t) {
        out += render(detail::elapsedDuration(t));
      });
}

/// The estimated time still needed, shown by `render`; `alternative` while no
/// estimate can be made: nothing done yet, at most one second elapsed, or
/// todo more than 10^12 times done. The estimate scales the elapsed time by
/// todo/done in picosecond fixed point; it is zero when todo <= 0 and negative
/// when done exceeds todo. It averages over the whole run; see
/// `recentRemainingTime` for one that follows the recent speed.
template <class Custom = std::monostate>
Label<Custom> remainingTime(DurationRenderer render, Text alternative) {
  return detail::estimateLabel<Custom>(detail::Estimate::kRemaining, std::move(render),
                                       std::move(alternative));
}

/// The estimated time of the whole work, shown by `render`; `alternative`
/// under the same conditions as `remainingTime`.
template <class Custom = std::monostate>
Label<Custom> totalTime(DurationRenderer render, Text alternative) {
  return detail::estimateLabel<Custom>(detail::Estimate::kTotal, std::move(render),
                                       std::move(alternative));
}

}  // namespace System::ProgressBar
