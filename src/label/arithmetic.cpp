#include "label/arithmetic.hpp"

#include <cstdint>

namespace System::ProgressBar::detail {

mpz_class roundHalfEven(const mpz_class& num, const mpz_class& den) {
  mpz_class q, r;
  mpz_fdiv_qr(q.get_mpz_t(), r.get_mpz_t(), num.get_mpz_t(), den.get_mpz_t());
  const int half = cmp(r * 2, den);
  if (half > 0 || (half == 0 && mpz_odd_p(q.get_mpz_t()))) q += 1;
  return q;
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
