// percentage and exact: the two count labels.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "System/ProgressBar/Label.hpp"
#include "label/text.hpp"

namespace System::ProgressBar::detail {
namespace {

// Decimal form of a 128-bit value, for percentages that outgrow 64 bits.
std::size_t formatDecimal128(char (&buffer)[48], Int128 value) noexcept {
  if (value >= INT64_MIN && value <= INT64_MAX) {
    char small[kDecimalBuffer];
    const std::size_t n = formatDecimal(small, static_cast<std::int64_t>(value));
    std::memcpy(buffer, small, n);
    return n;
  }
  UInt128 magnitude = value < 0 ? UInt128{0} - static_cast<UInt128>(value)
                                : static_cast<UInt128>(value);
  char digits[48];
  std::size_t n = 0;
  while (magnitude != 0) {
    digits[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  }
  std::size_t out = 0;
  if (value < 0) buffer[out++] = '-';
  while (n != 0) buffer[out++] = digits[--n];
  return out;
}

// The integer nearest to num / den (den > 0), ties to even.
Int128 roundHalfEven(Int128 num, Int128 den) noexcept {
  Int128 q = num / den;
  Int128 r = num % den;
  if (r < 0) {  // floor
    q -= 1;
    r += den;
  }
  const Int128 twice = 2 * r;
  if (twice > den || (twice == den && (q & 1) != 0)) q += 1;
  return q;
}

void padLeft(Text& out, std::size_t length, std::size_t width) {
  if (length < width) out.append(width - length, ' ');
}

}  // namespace

Text percentageText(std::int64_t done, std::int64_t todo) {
  if (todo == 0) return Text("100%");
  Int128 num = Int128{done} * 100;
  Int128 den = todo;
  if (den < 0) {
    num = -num;
    den = -den;
  }
  char digits[48];
  const std::size_t n = formatDecimal128(digits, roundHalfEven(num, den));
  Text out;
  padLeft(out, n + 1, 4);
  out.append(digits, n);
  out.push_back('%');
  return out;
}

Text exactText(std::int64_t done, std::int64_t todo) {
  char d[kDecimalBuffer], t[kDecimalBuffer];
  const std::size_t dn = formatDecimal(d, done);
  const std::size_t tn = formatDecimal(t, todo);
  Text out;
  out.reserve(2 * tn + dn + 1);
  padLeft(out, dn, tn);
  out.append(d, dn);
  out.push_back('/');
  out.append(t, tn);
  return out;
}

}  // namespace System::ProgressBar::detail
