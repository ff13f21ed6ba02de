// Exact conversion of chrono durations to picoseconds, and between the two
// forms a Duration holds.
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "System/ProgressBar/Time.hpp"
#include "label/arithmetic.hpp"

namespace System::ProgressBar::detail {
namespace {

mpz_class fromUnsigned128(UInt128 v) {
  mpz_class out = static_cast<unsigned long>(v >> 64);
  out <<= 64;
  out += static_cast<unsigned long>(v);
  return out;
}

mpz_class fromIntmax(std::intmax_t v) {
  // gmpxx has no long long overloads; intmax_t is a long on LP64.
  static_assert(sizeof(long) == sizeof(std::intmax_t));
  return mpz_class(static_cast<long>(v));
}

// count * num / den seconds in picoseconds, rounded toward negative infinity.
mpz_class scale(mpz_class count, std::intmax_t num, std::intmax_t den) {
  count *= fromIntmax(num);
  count *= static_cast<unsigned long>(kPicosPerSecond);
  mpz_class q;
  mpz_fdiv_q(q.get_mpz_t(), count.get_mpz_t(), fromIntmax(den).get_mpz_t());
  return q;
}

}  // namespace

mpz_class mpzFromInt128(Int128 value) {
  mpz_class out = fromUnsigned128(magnitude(value));
  if (value < 0) out = -out;
  return out;
}

std::optional<Int128> int128FromMpz(const mpz_class& value) {
  if (mpz_sizeinbase(value.get_mpz_t(), 2) > 127) return std::nullopt;
  const mpz_class m = abs(value);
  const UInt128 high = mpz_get_ui(mpz_class(m >> 64).get_mpz_t());
  const UInt128 low = mpz_get_ui(mpz_class(m - (mpz_class(m >> 64) << 64)).get_mpz_t());
  const Int128 v = static_cast<Int128>((high << 64) | low);
  return value < 0 ? -v : v;
}

mpz_class picosecondsFromSigned(Int128 count, std::intmax_t num, std::intmax_t den) {
  return scale(mpzFromInt128(count), num, den);
}

mpz_class picosecondsFromUnsigned(UInt128 count, std::intmax_t num, std::intmax_t den) {
  return scale(fromUnsigned128(count), num, den);
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
  mantissa *= static_cast<unsigned long>(kPicosPerSecond);
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
