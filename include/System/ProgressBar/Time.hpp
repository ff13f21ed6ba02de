// Time labels: durations, the renderers that write them, and the labels that
// show the elapsed, remaining and total time of a bar.
//
//   style.stylePrefix = elapsedTime(humanDuration);                  // "2m05s"
//   style.stylePostfix = remainingTime(renderDuration, "?") + " left"; // "01:30 left"
#pragma once

#include <cstdint>
#include <optional>
#include <ratio>
#include <type_traits>
#include <utility>

#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

class Duration;

namespace detail {
// An integer beyond 128 bits, in compiled code (GMP there).
class BigInteger;
// Compiled helpers of this header.
// count * num / den seconds, exactly, rounded toward negative infinity to
// whole picoseconds; a non-finite float throws std::domain_error.
Duration durationFromSigned(Int128 count, std::intmax_t num, std::intmax_t den);
Duration durationFromUnsigned(UInt128 count, std::intmax_t num, std::intmax_t den);
Duration durationFromFloat(long double count, std::intmax_t num, std::intmax_t den);
BigInteger* copyBig(const BigInteger& big);
void destroyBig(BigInteger* big) noexcept;
// The elapsed time of a timing, exact to the picosecond.
Duration elapsedDuration(const Timing& timing);
enum class Estimate { kRemaining, kTotal };
// The estimate, or nothing while none can be made (nothing done yet, one
// second or less elapsed, or todo beyond 10^12 times done).
std::optional<Duration> estimateDuration(Estimate kind, std::int64_t done, std::int64_t todo,
                                         const Timing& timing);
}  // namespace detail

/// An exact, signed, unbounded count of picoseconds. Durations that fit 128
/// bits (about 5*10^18 years) are held as a plain integer; larger ones in
/// compiled code. For the exact value as GMP's integer, and to make a
/// duration of one, see System/ProgressBar/Gmp.hpp.
class Duration {
 public:
  /// Converts any chrono duration exactly, rounded toward negative infinity to
  /// whole picoseconds, whatever its count type (64- and 128-bit integers,
  /// signed or not, and floating point). A non-finite floating count throws
  /// `std::domain_error`.
  template <class Rep, class Period>
  Duration(std::chrono::duration<Rep, Period> d)  // NOLINT(google-explicit-constructor)
      : Duration(convert(d)) {}

  Duration(const Duration& other)
      : small_(other.small_),
        big_(other.big_ != nullptr ? detail::copyBig(*other.big_) : nullptr) {}
  Duration(Duration&& other) noexcept
      : small_(other.small_), big_(std::exchange(other.big_, nullptr)) {}
  Duration& operator=(Duration other) noexcept {
    small_ = other.small_;
    std::swap(big_, other.big_);
    return *this;
  }
  ~Duration() {
    if (big_ != nullptr) detail::destroyBig(big_);
  }

  /// The count, when it fits 128 bits.
  std::optional<detail::Int128> smallPicoseconds() const noexcept {
    if (big_ == nullptr) return small_;
    return std::nullopt;
  }

  /// A duration of `picoseconds`.
  static Duration fromPicoseconds(detail::Int128 picoseconds) noexcept {
    return Duration(picoseconds, nullptr);
  }

  /// For compiled code: the count beyond 128 bits (null when it fits), and a
  /// duration that takes over such a count.
  const detail::BigInteger* big() const noexcept { return big_; }
  static Duration fromBig(detail::BigInteger* owned) noexcept { return Duration(0, owned); }

 private:
  Duration(detail::Int128 small, detail::BigInteger* big) noexcept : small_(small), big_(big) {}

  template <class Rep, class Period>
  static Duration convert(std::chrono::duration<Rep, Period> d) {
    static_assert(std::is_arithmetic_v<Rep>,
                  "Duration: the count of the chrono duration must be an integer or floating type");
    if constexpr (std::is_floating_point_v<Rep>) {
      return detail::durationFromFloat(d.count(), Period::num, Period::den);
    } else if constexpr (std::is_signed_v<Rep>) {
      return detail::durationFromSigned(d.count(), Period::num, Period::den);
    } else {
      return detail::durationFromUnsigned(d.count(), Period::num, Period::den);
    }
  }

  detail::Int128 small_ = 0;
  detail::BigInteger* big_ = nullptr;  // owned; null when the count fits small_
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
  return Label<Custom>(makeNode<AppendingNode<Custom, F>>(std::move(f)));
}

template <class Custom>
Label<Custom> estimateLabel(Estimate kind, DurationRenderer render, Text alternative) {
  return detail::timingLabel<Custom>(
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

PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> elapsedTime<std::monostate>(DurationRenderer);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> remainingTime<std::monostate>(DurationRenderer,
                                                                                Text);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> totalTime<std::monostate>(DurationRenderer, Text);

}  // namespace System::ProgressBar
