#include "base/arithmetic.hpp"

#include <cstdint>

namespace System::ProgressBar::detail {

std::int64_t saturatedNanoseconds(std::int64_t seconds, std::int64_t nanoseconds) noexcept {
  const Int128 ns = Int128{seconds} * kNanosPerSecond + nanoseconds;
  if (ns > INT64_MAX) return INT64_MAX;
  if (ns < INT64_MIN) return INT64_MIN;
  return static_cast<std::int64_t>(ns);
}

std::size_t formatDecimal(char (&buffer)[kDecimalBuffer], Int128 value) noexcept {
  if (value >= INT64_MIN && value <= INT64_MAX) {
    return formatDecimal(buffer, static_cast<std::int64_t>(value));
  }
  UInt128 rest = magnitude(value);
  char digits[kDecimalBuffer];
  std::size_t n = 0;
  while (rest != 0) {
    digits[n++] = static_cast<char>('0' + static_cast<int>(rest % 10));
    rest /= 10;
  }
  std::size_t out = 0;
  if (value < 0) buffer[out++] = '-';
  while (n != 0) buffer[out++] = digits[--n];
  return out;
}

}  // namespace System::ProgressBar::detail
