// The throughput label and padding to a steady width.
#include <cstdint>
#include <optional>

#include "System/ProgressBar/Label.hpp"
#include "label/text.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr const char* kPrefixes[] = {"", "k", "M", "G", "T", "P", "E", "Z", "Y", "R", "Q"};

// num / den rounded to the nearest integer, ties to even (den > 0, num >= 0).
mpz_class roundHalfEven(const mpz_class& num, const mpz_class& den) {
  mpz_class q, r;
  mpz_fdiv_qr(q.get_mpz_t(), r.get_mpz_t(), num.get_mpz_t(), den.get_mpz_t());
  const int half = cmp(r * 2, den);
  if (half > 0 || (half == 0 && mpz_odd_p(q.get_mpz_t()))) q += 1;
  return q;
}

}  // namespace

std::optional<Text> throughputText(std::int64_t done, const Timing& timing,
                                   std::string_view unit) {
  const Int128 ns = Int128{timing.timingLastUpdate.time_since_epoch().count()} -
                    Int128{timing.timingStart.time_since_epoch().count()};
  if (ns <= 0) return std::nullopt;
  // rate = |done| * 10^9 / ns per second. Find the least power k >= -2 of ten
  // for which rate / 10^k rounds below 1000: that gives three significant
  // digits (or two decimals below one).
  mpz_class numerator = mpz_class(static_cast<unsigned long>(done < 0 ? 0 - static_cast<std::uint64_t>(done)
                                                                      : static_cast<std::uint64_t>(done)));
  numerator *= 1'000'000'000UL * 100UL;  // from k = -2
  const UInt128 nsMagnitude = static_cast<UInt128>(ns);
  mpz_class denominator = mpz_class(static_cast<unsigned long>(nsMagnitude >> 64));
  denominator <<= 64;
  denominator += static_cast<unsigned long>(nsMagnitude);
  int k = -2;
  mpz_class q = roundHalfEven(numerator, denominator);
  while (q >= 1000) {
    denominator *= 10;
    ++k;
    q = roundHalfEven(numerator, denominator);
  }
  const std::string digits = q.get_str();
  const int leading = k + static_cast<int>(digits.size()) - 1;  // power of the first digit
  const int prefix = leading > 0 ? leading / 3 : 0;
  const int decimals = 3 * prefix - k;  // digits after the point
  Text out;
  if (done < 0 && q != 0) out.push_back('-');
  if (decimals <= 0) {
    out += digits;
  } else if (static_cast<std::size_t>(decimals) >= digits.size()) {
    out += "0.";
    out.append(static_cast<std::size_t>(decimals) - digits.size(), '0');
    out += digits;
  } else {
    out.append(digits, 0, digits.size() - static_cast<std::size_t>(decimals));
    out.push_back('.');
    out.append(digits, digits.size() - static_cast<std::size_t>(decimals));
  }
  out += kPrefixes[prefix];
  out.push_back(' ');
  out += unit;
  return out;
}

Text padText(Text text, std::int64_t width, bool left) {
  const std::size_t length = codePointCount(text);
  if (width <= 0 || length >= static_cast<std::uint64_t>(width)) return text;
  const std::size_t fill = static_cast<std::size_t>(width) - length;
  if (left) {
    text.insert(0, fill, ' ');
  } else {
    text.append(fill, ' ');
  }
  return text;
}

}  // namespace System::ProgressBar::detail
