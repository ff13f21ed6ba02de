// Exact conversion of chrono durations to picoseconds.
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "System/ProgressBar/Label.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr unsigned long kPicosPerSecond = 1'000'000'000'000UL;

mpz_class fromIntmax(std::intmax_t v) {
  // gmpxx has no long long overloads; intmax_t is a long on LP64.
  static_assert(sizeof(long) == sizeof(std::intmax_t));
  return mpz_class(static_cast<long>(v));
}

// count * num / den seconds in picoseconds, rounded toward negative infinity.
mpz_class scale(mpz_class count, std::intmax_t num, std::intmax_t den) {
  count *= fromIntmax(num);
  count *= kPicosPerSecond;
  mpz_class q;
  mpz_fdiv_q(q.get_mpz_t(), count.get_mpz_t(), fromIntmax(den).get_mpz_t());
  return q;
}

}  // namespace

mpz_class picosecondsFromInteger(std::intmax_t count, std::intmax_t num, std::intmax_t den) {
  return scale(fromIntmax(count), num, den);
}

mpz_class picosecondsFromUnsigned(std::uintmax_t count, std::intmax_t num, std::intmax_t den) {
  static_assert(sizeof(unsigned long) == sizeof(std::uintmax_t));
  return scale(mpz_class(static_cast<unsigned long>(count)), num, den);
}

mpz_class picosecondsFromFloat(long double count, std::intmax_t num, std::intmax_t den) {
  if (!std::isfinite(count)) {
    throw std::domain_error("Duration: a non-finite count has no picosecond value");
  }
  // count = mantissa * 2^exponent exactly, taking the mantissa 32 bits at a
  // time so that no precision of any long double format is lost.
  int exponent = 0;
  long double fraction = std::frexp(std::fabs(count), &exponent);
  mpz_class mantissa = 0;
  while (fraction != 0) {
    fraction = std::ldexp(fraction, 32);
    const auto chunk = static_cast<unsigned long>(fraction);
    fraction -= static_cast<long double>(chunk);
    mantissa <<= 32;
    mantissa += chunk;
    exponent -= 32;
  }
  if (count < 0) mantissa = -mantissa;
  mantissa *= fromIntmax(num);
  mantissa *= kPicosPerSecond;
  mpz_class denominator = fromIntmax(den);
  if (exponent >= 0) {
    mantissa <<= static_cast<mp_bitcnt_t>(exponent);
  } else {
    denominator <<= static_cast<mp_bitcnt_t>(-exponent);
  }
  mpz_class q;
  mpz_fdiv_q(q.get_mpz_t(), mantissa.get_mpz_t(), denominator.get_mpz_t());
  return q;
}

}  // namespace System::ProgressBar::detail
