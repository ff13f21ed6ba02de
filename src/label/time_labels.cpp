// Elapsed time, the fixed-point estimates and the two duration texts.
#include <cstdint>
#include <optional>

#include "System/ProgressBar/Time.hpp"
#include "base/arithmetic.hpp"
#include "base/big.hpp"
#include "label/duration.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr Int128 kFixedOne = kPicosPerSecond;               // 10^12
constexpr Int128 kFixedOneSquared = kFixedOne * kFixedOne;  // 10^24

Int128 elapsedPicoseconds(const Timing& timing) noexcept {
  return nanosecondsBetween(timing.timingStart, timing.timingLastUpdate) * kPicosPerNano;
}

// Appends `part` in decimal with at least two characters: "07", "59", "-5".
void appendPart(Text& out, Int128 part) {
  char digits[kDecimalBuffer];
  const std::size_t length = formatDecimal(digits, part);
  if (length < 2) out.push_back('0');
  out.append(digits, length);
}

// Whole seconds of a duration, ties to even.
std::optional<Int128> smallSeconds(const Duration& d) {
  if (const std::optional<Int128> ps = d.smallPicoseconds()) {
    return roundHalfEven(*ps, kFixedOne);
  }
  return std::nullopt;
}

mpz_class bigSeconds(const Duration& d) {
  return roundHalfEven(mpzOf(d), mpz_class(static_cast<unsigned long>(kPicosPerSecond)));
}

// A part of at most two digits and its sign, at `at`: "07", "59", "-5".
char* putSmallPart(char* at, std::int64_t part) noexcept {
  if (part < 0) {
    *at++ = '-';
    part = -part;
    if (part < 10) {  // "-5": the sign makes the two characters
      *at++ = static_cast<char>('0' + part);
      return at;
    }
  }
  *at++ = static_cast<char>('0' + part / 10);
  *at++ = static_cast<char>('0' + part % 10);
  return at;
}

void appendColonSeconds(Text& out, Int128 seconds) {
  // 64-bit division where it fits (always, short of 292 billion years).
  const bool small = fitsInt64(seconds);
  const std::int64_t s64 = small ? static_cast<std::int64_t>(seconds) : 0;
  const Int128 h = small ? Int128{s64 / 3600} : seconds / 3600;
  const std::int64_t r = small ? s64 % 3600 : static_cast<std::int64_t>(seconds % 3600);
  const std::int64_t m = r / 60, sec = r % 60;
  if (h != 0) {
    appendPart(out, h);
    out.push_back(':');
  }
  // Minutes and seconds are below 60 in magnitude: written in place.
  char text[8];
  char* end = text;
  if (m != 0) {
    end = putSmallPart(end, m);
    *end++ = ':';
  }
  end = putSmallPart(end, sec);
  out.append(text, static_cast<std::size_t>(end - text));
}

// "45s", "2m05s", "1h02m", "3d04h" for a magnitude `a` in seconds, whose
// days are given apart when they do not fit (`days`).
void appendHuman(Text& out, UInt128 a, const std::string* days) {
  if (days == nullptr && a > UINT64_MAX) {  // beyond 64 bits: the days apart
    char digits[kDecimalBuffer];
    const std::string dayText(digits, formatDecimal(digits, static_cast<Int128>(a / 86400)));
    appendHuman(out, a % 86400, &dayText);
    return;
  }
  const auto v = static_cast<std::uint64_t>(a);  // 64-bit division from here
  const auto number = [&out](std::uint64_t n) {
    char digits[kDecimalBuffer];
    out.append(digits, formatDecimal(digits, static_cast<Int128>(n)));
  };
  const auto two = [&out](std::uint64_t n) {
    out.push_back(static_cast<char>('0' + n / 10));
    out.push_back(static_cast<char>('0' + n % 10));
  };
  if (days != nullptr || v >= 86400) {
    if (days != nullptr) {
      out += *days;
    } else {
      number(v / 86400);
    }
    out.push_back('d');
    two((v % 86400) / 3600);
    out.push_back('h');
  } else if (v >= 3600) {
    number(v / 3600);
    out.push_back('h');
    two((v % 3600) / 60);
    out.push_back('m');
  } else if (v >= 60) {
    number(v / 60);
    out.push_back('m');
    two(v % 60);
    out.push_back('s');
  } else {
    number(v);
    out.push_back('s');
  }
}

}  // namespace

Duration elapsedDuration(const Timing& timing) {
  return Duration::fromPicoseconds(elapsedPicoseconds(timing));
}

std::optional<Duration> estimateDuration(Estimate kind, std::int64_t done, std::int64_t todo,
                                         const Timing& timing) {
  if (done <= 0) return std::nullopt;
  const Int128 dt = elapsedPicoseconds(timing);
  if (dt <= kFixedOne) return std::nullopt;
  // The factor is todo/done in fixed point with 12 decimals, taken as the
  // reciprocal of the truncated fraction done/todo; both fit 128 bits.
  // Every operand is positive here, so each floor is a plain quotient.
  Int128 factor = kFixedOne;
  if (todo > 0) {
    const Int128 fraction = static_cast<Int128>(divideFits64(
        static_cast<UInt128>(Int128{done} * kFixedOne), static_cast<std::uint64_t>(todo)));
    if (fraction == 0) return std::nullopt;  // todo beyond 10^12 times done
    factor = fraction <= INT64_MAX
                 ? static_cast<Int128>(divideFits64(static_cast<UInt128>(kFixedOneSquared),
                                                    static_cast<std::uint64_t>(fraction)))
                 : kFixedOneSquared / fraction;
  }
  Int128 product;
  if (!__builtin_mul_overflow(dt, factor, &product)) {
    const Int128 total =
        static_cast<Int128>(divideFits64(static_cast<UInt128>(product), kPicosPerSecond));
    return Duration::fromPicoseconds(kind == Estimate::kRemaining ? total - dt : total);
  }
  mpz_class total = mpzFromInt128(dt) * mpzFromInt128(factor);
  mpz_fdiv_q_ui(total.get_mpz_t(), total.get_mpz_t(), static_cast<unsigned long>(kPicosPerSecond));
  if (kind == Estimate::kRemaining) total -= mpzFromInt128(dt);
  return durationOfMpz(std::move(total));
}

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

Text renderDuration(const Duration& duration) {
  using namespace detail;
  Text out;
  if (const std::optional<Int128> seconds = smallSeconds(duration)) {
    appendColonSeconds(out, *seconds);
    return out;
  }
  // Beyond 127 bits: hours can be any size; minutes and seconds are small.
  const mpz_class seconds = bigSeconds(duration);
  mpz_class hours, rest;
  mpz_tdiv_qr_ui(hours.get_mpz_t(), rest.get_mpz_t(), seconds.get_mpz_t(), 3600);
  const long r = rest.get_si();  // keeps the sign of seconds
  out = hours.get_str();
  out.push_back(':');
  if (r / 60 != 0) {
    appendPart(out, r / 60);
    out.push_back(':');
  }
  appendPart(out, r % 60);
  return out;
}

Text humanDuration(const Duration& duration) {
  using namespace detail;
  Text out;
  if (const std::optional<Int128> seconds = smallSeconds(duration)) {
    if (*seconds < 0) out.push_back('-');
    appendHuman(out, magnitude(*seconds), nullptr);
    return out;
  }
  const mpz_class seconds = bigSeconds(duration);
  const mpz_class a = abs(seconds);
  mpz_class days, rest;
  mpz_fdiv_qr_ui(days.get_mpz_t(), rest.get_mpz_t(), a.get_mpz_t(), 86400);
  if (seconds < 0) out.push_back('-');
  const std::string dayText = days.get_str();
  appendHuman(out, static_cast<UInt128>(rest.get_ui()), &dayText);
  return out;
}

}  // namespace System::ProgressBar
