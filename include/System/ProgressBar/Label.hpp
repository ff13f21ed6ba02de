// Labels: the texts shown before and after a bar, recomputed at every draw.
// A label is a small function of (Progress, Timing); labels combine by
// concatenation (`appendLabel`, or `+`), and string literals convert to
// constant labels wherever a label is expected:
//
//   Label<> counts = exact<>() + " " + percentage<>();   // "  5/100   5%"
#pragma once

#include <gmpxx.h>

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ratio>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar {

namespace detail {

// Valid UTF-8 for any bytes: each maximal ill-formed subsequence becomes
// U+FFFD, valid input comes back unchanged.
Text fromUtf8(std::string_view bytes);
// UTF-8 for code points; surrogates and values above U+10FFFF become U+FFFD.
Text fromCodePoints(std::u32string_view codePoints);
Text percentageText(std::int64_t done, std::int64_t todo);
Text exactText(std::int64_t done, std::int64_t todo);
[[noreturn]] void throwBadRepeatCount(const std::string& count);

template <class T>
concept TextLike = std::convertible_to<const T&, std::string_view> ||
                   std::convertible_to<const T&, std::u8string_view> ||
                   std::convertible_to<const T&, std::u32string_view>;

}  // namespace detail

template <class Custom>
class Label;

namespace detail {
template <class Custom>
Label<Custom> constantLabel(Text text);
}

/// A label: a callable from (Progress, Timing) to Text, run afresh at every
/// draw. Labels are immutable values; copies share their callable and any text
/// they hold. Every label this library makes is pure, so one label may be
/// shared between bars and threads.
///
/// A string converts to a constant label implicitly: UTF-8 (`"..."`,
/// `u8"..."`, `std::string`, `std::string_view`) or code points (`U"..."`,
/// `std::u32string_view`). Malformed UTF-8 and surrogate code points become
/// U+FFFD once, when the label is made.
template <class Custom = std::monostate>
class Label {
 public:
  using Function = std::function<Text(const Progress<Custom>&, const Timing&)>;

  /// The label's callable; `label.runLabel(progress, timing)` gives its text.
  Function runLabel;

  /// Wraps any callable `(const Progress<Custom>&, const Timing&) -> Text`.
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, Label> &&
             !detail::TextLike<std::remove_cvref_t<F>> &&
             std::is_invocable_r_v<Text, const std::remove_cvref_t<F>&,
                                   const Progress<Custom>&, const Timing&>)
  Label(F&& f)  // NOLINT(google-explicit-constructor)
      : runLabel(std::forward<F>(f)) {}

  /// Constant labels from UTF-8 text (the implicit `fromString`).
  Label(const char* utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::string_view(utf8)) {}
  Label(const std::string& utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::string_view(utf8)) {}
  Label(std::string_view utf8)  // NOLINT(google-explicit-constructor)
      : Label(detail::constantLabel<Custom>(detail::fromUtf8(utf8))) {}
  Label(const char8_t* utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::u8string_view(utf8)) {}
  Label(std::u8string_view utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::string_view(reinterpret_cast<const char*>(utf8.data()),
                               utf8.size())) {}
  /// Constant labels from code points (the implicit `fromString`).
  Label(const char32_t* codePoints)  // NOLINT(google-explicit-constructor)
      : Label(std::u32string_view(codePoints)) {}
  Label(std::u32string_view codePoints)  // NOLINT(google-explicit-constructor)
      : Label(detail::constantLabel<Custom>(
            detail::fromCodePoints(codePoints))) {}

  /// `a + b` is `appendLabel(a, b)`; either side may be a string literal.
  friend Label operator+(const Label& left, const Label& right) {
    return Label([left, right](const Progress<Custom>& p, const Timing& t) {
      Text text = left.runLabel(p, t);
      text += right.runLabel(p, t);
      return text;
    });
  }
};

namespace detail {
template <class Custom>
Label<Custom> constantLabel(Text text) {
  // Shared, so that copying or combining the label copies no text.
  auto shared = std::make_shared<const Text>(std::move(text));
  return Label<Custom>(
      [shared](const Progress<Custom>&, const Timing&) { return *shared; });
}
}  // namespace detail

/// A label whose text is always `text`, unchanged.
template <class Custom = std::monostate>
Label<Custom> msg(Text text) {
  return detail::constantLabel<Custom>(std::move(text));
}

/// A label whose text is always `codePoints` as UTF-8 (surrogates and values
/// above U+10FFFF become U+FFFD). The conversion happens once, here.
template <class Custom = std::monostate>
Label<Custom> fromString(std::u32string_view codePoints) {
  return Label<Custom>(codePoints);
}

/// A label whose text is always `utf8`, with each malformed sequence replaced
/// by U+FFFD. The conversion happens once, here.
template <class Custom = std::monostate>
Label<Custom> fromString(std::string_view utf8) {
  return Label<Custom>(utf8);
}

/// The label whose text is always empty; the neutral element of `appendLabel`.
template <class Custom = std::monostate>
Label<Custom> emptyLabel() {
  return Label<Custom>([](const Progress<Custom>&, const Timing&) { return Text(); });
}

/// A label whose text is `left`'s text followed by `right`'s; both are run
/// with the same progress and timing, left first.
template <class Custom>
Label<Custom> appendLabel(const Label<Custom>& left, const Label<Custom>& right) {
  return left + right;
}

/// Concatenates any number of labels, run in order with the same progress and
/// timing; the empty sequence gives empty text.
template <class Custom>
Label<Custom> concatLabels(std::vector<Label<Custom>> labels) {
  if (labels.size() == 1) return labels.front();
  return Label<Custom>([labels = std::move(labels)](const Progress<Custom>& p,
                                                    const Timing& t) {
    Text text;
    for (const Label<Custom>& label : labels) text += label.runLabel(p, t);
    return text;
  });
}

/// As above, from a braced list whose elements may be string literals:
/// `concatLabels({exact(), " ", percentage()})`. For a custom type, name it:
/// `concatLabels<MyType>({...})`.
template <class Custom = std::monostate>
Label<Custom> concatLabels(std::initializer_list<std::type_identity_t<Label<Custom>>> labels) {
  return concatLabels(std::vector<Label<Custom>>(labels));
}

/// Concatenates a non-empty sequence: `first`, then each of `rest`. With no
/// further labels the result is `first` itself.
template <class Custom>
Label<Custom> sconcat(const Label<Custom>& first, std::vector<Label<Custom>> rest) {
  if (rest.empty()) return first;
  rest.insert(rest.begin(), first);
  return concatLabels(std::move(rest));
}

/// A label whose text is `label`'s text `count` times over; running it runs
/// `label` exactly `count` times. Throws `std::invalid_argument` when `count`
/// is zero or less.
template <std::integral N, class Custom>
Label<Custom> stimes(N count, const Label<Custom>& label) {
  if (std::cmp_less_equal(count, 0)) detail::throwBadRepeatCount(std::to_string(count));
  if (std::cmp_equal(count, 1)) return label;
  const auto times = static_cast<std::make_unsigned_t<N>>(count);
  return Label<Custom>([label, times](const Progress<Custom>& p, const Timing& t) {
    Text text;
    for (std::make_unsigned_t<N> i = 0; i < times; ++i) text += label.runLabel(p, t);
    return text;
  });
}

/// The whole percent that done is of todo, rounded to nearest with ties to
/// even, right-aligned to 4 characters: " 30%", "100%", "150%", " -1%".
/// "100%" whenever todo is 0. Exact for every pair of 64-bit counts.
template <class Custom = std::monostate>
Label<Custom> percentage() {
  return Label<Custom>([](const Progress<Custom>& p, const Timing&) {
    return detail::percentageText(p.progressDone, p.progressTodo);
  });
}

/// Done, right-aligned to the width of todo, then "/", then todo: "  5/100".
template <class Custom = std::monostate>
Label<Custom> exact() {
  return Label<Custom>([](const Progress<Custom>& p, const Timing&) {
    return detail::exactText(p.progressDone, p.progressTodo);
  });
}

// ---------------------------------------------------------------------------
// Time labels

namespace detail {
mpz_class picosecondsFromInteger(std::intmax_t count, std::intmax_t num, std::intmax_t den);
mpz_class picosecondsFromUnsigned(std::uintmax_t count, std::intmax_t num, std::intmax_t den);
mpz_class picosecondsFromFloat(long double count, std::intmax_t num, std::intmax_t den);
}  // namespace detail

/// An exact, signed, unbounded count of picoseconds.
class Duration {
 public:
  explicit Duration(mpz_class picoseconds) : picoseconds_(std::move(picoseconds)) {}

  /// Converts any chrono duration exactly, rounded toward negative infinity to
  /// whole picoseconds. A non-finite floating count throws `std::domain_error`.
  template <class Rep, class Period>
  Duration(std::chrono::duration<Rep, Period> d)  // NOLINT(google-explicit-constructor)
      : picoseconds_(convert(d.count(), Period::num, Period::den)) {}

  const mpz_class& picoseconds() const noexcept { return picoseconds_; }

 private:
  template <class Rep>
  static mpz_class convert(Rep count, std::intmax_t num, std::intmax_t den) {
    if constexpr (std::is_floating_point_v<Rep>) {
      return detail::picosecondsFromFloat(count, num, den);
    } else if constexpr (std::is_signed_v<Rep>) {
      return detail::picosecondsFromInteger(count, num, den);
    } else {
      return detail::picosecondsFromUnsigned(count, num, den);
    }
  }

  mpz_class picoseconds_;
};

/// A callable that turns a duration into text; `renderDuration` is the stock one.
using DurationRenderer = std::function<Text(const Duration&)>;

/// Hours, minutes and seconds joined by ":", rounded to the whole second with
/// ties to even; hours and minutes appear only when non-zero and every part
/// has at least two digits: "00", "59", "01:00", "25:01:01", "-1:-5" (−65 s).
/// Hours are never wrapped or cut, however many digits they take.
Text renderDuration(const Duration& duration);

namespace detail {
// Two-digit decimal: "07", "59", "123", "-5".
Text renderDecimal(std::int64_t n);
Duration elapsedDuration(const Timing& timing);
enum class Estimate { kRemaining, kTotal };
// The estimate, or nothing while none can be made (nothing done yet, one
// second or less elapsed, or todo beyond 10^12 times done).
std::optional<Duration> estimateDuration(Estimate kind, std::int64_t done,
                                         std::int64_t todo, const Timing& timing);

template <class Custom>
Label<Custom> estimateLabel(Estimate kind, DurationRenderer render, Text alternative) {
  return Label<Custom>([kind, render = std::move(render),
                        alternative = std::move(alternative)](
                           const Progress<Custom>& p, const Timing& t) -> Text {
    std::optional<Duration> d = estimateDuration(kind, p.progressDone, p.progressTodo, t);
    return d ? render(*d) : alternative;
  });
}
}  // namespace detail

/// The time since the bar started (`timingLastUpdate - timingStart`, exact to
/// the picosecond; negative if the clock went back), shown by `render`.
template <class Custom = std::monostate>
Label<Custom> elapsedTime(DurationRenderer render) {
  return Label<Custom>([render = std::move(render)](const Progress<Custom>&,
                                                     const Timing& t) {
    return render(detail::elapsedDuration(t));
  });
}

/// The estimated time still needed, shown by `render`; `alternative` while no
/// estimate can be made: nothing done yet, at most one second elapsed, or
/// todo more than 10^12 times done. The estimate scales the elapsed time by
/// todo/done in picosecond fixed point; it is zero when todo <= 0 and negative
/// when done exceeds todo.
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

// ---------------------------------------------------------------------------
// Throughput and steady widths

namespace detail {
// done per second over the timing's elapsed time, with an SI prefix, or
// nothing while no time has elapsed.
std::optional<Text> throughputText(std::int64_t done, const Timing& timing, std::string_view unit);
// `text` with spaces put before (or after) it up to `width` code points.
Text padText(Text text, std::int64_t width, bool left);
}  // namespace detail

/// Work done per second since the bar started: done divided by the elapsed
/// time, computed exactly and rounded to three significant digits (ties to
/// even) with an SI prefix: "0.50 files/s", "999 items/s", "1.25k items/s",
/// "12.0M B/s" (prefixes k M G T P E Z Y R Q). `unit` follows a space;
/// `alternative` is shown while no time has elapsed.
template <class Custom = std::monostate>
Label<Custom> throughput(Text unit, Text alternative) {
  return Label<Custom>([unit = std::move(unit), alternative = std::move(alternative)](
                           const Progress<Custom>& p, const Timing& t) -> Text {
    std::optional<Text> text = detail::throughputText(p.progressDone, t, unit);
    return text ? std::move(*text) : alternative;
  });
}

/// `label`'s text with spaces put in front up to `width` code points, never
/// cut: `padLeft(5, remainingTime(renderDuration, "?"))` keeps the bar from
/// shifting when "59" becomes "01:00".
template <class Custom>
Label<Custom> padLeft(std::int64_t width, const Label<Custom>& label) {
  return Label<Custom>([width, label](const Progress<Custom>& p, const Timing& t) {
    return detail::padText(label.runLabel(p, t), width, true);
  });
}

/// `label`'s text with spaces put after it up to `width` code points, never cut.
template <class Custom>
Label<Custom> padRight(std::int64_t width, const Label<Custom>& label) {
  return Label<Custom>([width, label](const Progress<Custom>& p, const Timing& t) {
    return detail::padText(label.runLabel(p, t), width, false);
  });
}

}  // namespace System::ProgressBar
