// Exact conversion of chrono durations to picoseconds, and between the two
// forms a Duration holds.
#include "label/duration.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "System/ProgressBar/Gmp.hpp"
#include "System/ProgressBar/Time.hpp"
#include "base/arithmetic.hpp"
#include "base/big.hpp"

namespace System::ProgressBar::detail {
namespace {

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

Duration durationOfMpz(mpz_class picoseconds) {
  if (const std::optional<Int128> small = int128FromMpz(picoseconds)) {
    return Duration::fromPicoseconds(*small);
  }
  return Duration::fromBig(new BigInteger(std::move(picoseconds)));
}

mpz_class mpzOf(const Duration& duration) {
  if (const std::optional<Int128> small = duration.smallPicoseconds()) return mpzFromInt128(*small);
  return duration.big()->value;
}

BigInteger* copyBig(const BigInteger& big) { return new BigInteger(big.value); }
void destroyBig(BigInteger* big) noexcept { delete big; }

Duration durationFromSigned(Int128 count, std::intmax_t num, std::intmax_t den) {
  return durationOfMpz(scale(mpzFromInt128(count), num, den));
}

Duration durationFromUnsigned(UInt128 count, std::intmax_t num, std::intmax_t den) {
  return durationOfMpz(scale(mpzFromUnsigned128(count), num, den));
}

Duration durationFromFloat(long double count, std::intmax_t num, std::intmax_t den) {
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
  return durationOfMpz(std::move(q));
}

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

Duration durationOf(const mpz_class& picoseconds) { return detail::durationOfMpz(picoseconds); }

mpz_class picosecondsOf(const Duration& duration) { return detail::mpzOf(duration); }

}  // namespace System::ProgressBar
