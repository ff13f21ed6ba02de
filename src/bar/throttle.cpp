// The refresh delay turned into an exact nanosecond threshold, once per bar.
#include "bar/throttle.hpp"

#include <gmpxx.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace System::ProgressBar::detail {
namespace {

constexpr Int128 kInt128Max = static_cast<Int128>(~UInt128{0} >> 1);
constexpr Int128 kInt128Min = -kInt128Max - 1;

// Elapsed times are differences of two 64-bit nanosecond counts, so they lie
// within +-2^64; thresholds beyond that are clamped to it.
const mpz_class& elapsedBound() {
  static const mpz_class bound = mpz_class(1) << 64;
  return bound;
}

Int128 toInt128(const mpz_class& v) {
  // |v| <= 2^64 here.
  const mpz_class magnitude = abs(v);
  const mpz_class high = magnitude >> 64;
  const mpz_class low = magnitude - (high << 64);
  const UInt128 value =
      (UInt128{mpz_get_ui(high.get_mpz_t())} << 64) | UInt128{mpz_get_ui(low.get_mpz_t())};
  return v < 0 ? -static_cast<Int128>(value) : static_cast<Int128>(value);
}

}  // namespace

Throttle::Throttle(double delay) {
  if (std::isnan(delay) || delay == -std::numeric_limits<double>::infinity()) {
    threshold_ = kInt128Min;  // never too soon
    return;
  }
  if (delay == std::numeric_limits<double>::infinity()) {
    threshold_ = kInt128Max;  // always too soon
    return;
  }
  if (std::fabs(delay) > 1e20) {  // beyond any elapsed time (and avoids inf below)
    threshold_ = toInt128(delay > 0 ? elapsedBound() : -elapsedBound());
    return;
  }
  // The double nearest to d/1e9 is <= delay exactly when d/1e9 lies below the
  // midpoint between delay and the next double up, or on it when that tie
  // rounds down to delay (its significand is even).
  const double up = std::nextafter(delay, std::numeric_limits<double>::infinity());
  mpq_class midpoint = (mpq_class(delay) + mpq_class(up)) / 2;
  midpoint *= 1'000'000'000;
  midpoint.canonicalize();
  mpz_class threshold;
  mpz_fdiv_q(threshold.get_mpz_t(), midpoint.get_num_mpz_t(), midpoint.get_den_mpz_t());
  const bool onMidpoint = midpoint.get_den() == 1;
  const bool tieRoundsDown = (std::bit_cast<std::uint64_t>(delay) & 1) == 0;
  if (onMidpoint && !tieRoundsDown) threshold -= 1;
  if (threshold > elapsedBound()) threshold = elapsedBound();
  if (threshold < -elapsedBound()) threshold = -elapsedBound();
  threshold_ = toInt128(threshold);
}

}  // namespace System::ProgressBar::detail
