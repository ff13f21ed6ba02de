#include "label/significant.hpp"

#include "base/arithmetic.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr int kMaxPrefix = 10;  // Q: 10^30, or 2^100 for bytes

}  // namespace

Significant significant(UInt128 num, UInt128 den, unsigned base) {
  // The largest prefix whose unit is at most the value.
  int prefix = 0;
  UInt128 unit = den;  // den * base^prefix, at most num once prefix > 0
  while (prefix < kMaxPrefix && unit <= num / base) {
    unit *= base;
    ++prefix;
  }
  // Digits before the point decide the decimals; rounding up to 1000 drops one.
  int decimals = 2;
  if (num >= unit * 100) {
    decimals = 0;
  } else if (num >= unit * 10) {
    decimals = 1;
  }
  for (;;) {
    UInt128 scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    const UInt128 digits = roundHalfEven(num * scale, unit);
    if (digits < 1000) return {digits, decimals, prefix};
    if (decimals > 0) {
      --decimals;
      continue;
    }
    if (prefix == kMaxPrefix) return {digits, 0, prefix};
    // 999.5 or more of this unit: less than one of the next.
    unit *= base;
    ++prefix;
    decimals = 2;
  }
}

void appendSignificant(Text& out, const Significant& value, bool negative) {
  if (negative && value.digits != 0) out.push_back('-');
  char digits[kDecimalBuffer];
  std::size_t n = formatDecimal(digits, static_cast<Int128>(value.digits));
  const auto decimals = static_cast<std::size_t>(value.decimals);
  if (decimals == 0) {
    out.append(digits, n);
    return;
  }
  if (n <= decimals) {
    out += "0.";
    out.append(decimals - n, '0');
    out.append(digits, n);
    return;
  }
  out.append(digits, n - decimals);
  out.push_back('.');
  out.append(digits + (n - decimals), decimals);
}

std::string_view byteUnit(ByteUnits units, int prefix) noexcept {
  static constexpr std::string_view kIec[] = {"B",   "KiB", "MiB", "GiB", "TiB", "PiB",
                                              "EiB", "ZiB", "YiB", "RiB", "QiB"};
  static constexpr std::string_view kSi[] = {"B",  "kB", "MB", "GB", "TB", "PB",
                                             "EB", "ZB", "YB", "RB", "QB"};
  return units == ByteUnits::Iec ? kIec[prefix] : kSi[prefix];
}

unsigned byteBase(ByteUnits units) noexcept { return units == ByteUnits::Iec ? 1024 : 1000; }

}  // namespace System::ProgressBar::detail
