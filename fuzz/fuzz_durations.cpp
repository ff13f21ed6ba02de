// renderDuration on arbitrary durations and the two estimates on arbitrary
// counts and time points, against references in 128-bit and GMP arithmetic.
#include <fuzzer/FuzzedDataProvider.h>
#include <gmpxx.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "System/ProgressBar.hpp"
#include "System/ProgressBar/Gmp.hpp"

namespace pb = System::ProgressBar;

namespace {

__extension__ typedef __int128 I128;

std::string twoDigits(I128 v) {
  std::string s = mpz_class(std::to_string(static_cast<long long>(v))).get_str();
  return s.size() < 2 ? "0" + s : s;
}

// For durations whose seconds fit 64 bits.
std::string referenceText(I128 ps) {
  const I128 unit = 1'000'000'000'000;
  I128 q = ps / unit, r = ps % unit;
  if (r < 0) {
    q -= 1;
    r += unit;
  }
  if (2 * r > unit || (2 * r == unit && q % 2 != 0)) q += 1;
  const I128 h = q / 3600, m = (q % 3600) / 60, s = (q % 3600) % 60;
  std::string out;
  if (h != 0) out += twoDigits(h) + ":";
  if (m != 0) out += twoDigits(m) + ":";
  return out + twoDigits(s);
}

mpz_class big(std::int64_t v) { return mpz_class(std::to_string(v)); }

std::optional<mpz_class> referenceEstimate(bool remaining, std::int64_t done, std::int64_t todo,
                                           const mpz_class& dt) {
  const mpz_class one("1000000000000");
  if (done <= 0 || dt <= one) return std::nullopt;
  mpz_class factor = one;
  if (todo > 0) {
    mpz_class fraction;
    const mpz_class num = big(done) * one * one, den = big(todo) * one;
    mpz_fdiv_q(fraction.get_mpz_t(), num.get_mpz_t(), den.get_mpz_t());
    if (fraction == 0) return std::nullopt;
    const mpz_class oneSquared = one * one;
    mpz_fdiv_q(factor.get_mpz_t(), oneSquared.get_mpz_t(), fraction.get_mpz_t());
  }
  mpz_class total;
  const mpz_class product = dt * factor;
  mpz_fdiv_q(total.get_mpz_t(), product.get_mpz_t(), one.get_mpz_t());
  return remaining ? mpz_class(total - dt) : total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // A duration of up to 96 bits: its seconds always fit 64 bits.
  const auto high = in.ConsumeIntegral<std::int32_t>();
  const auto low = in.ConsumeIntegral<std::uint64_t>();
  const I128 ps = (static_cast<I128>(high) << 64) + static_cast<I128>(low);
  mpz_class psBig = mpz_class(std::to_string(high)) * mpz_class("18446744073709551616") +
                    mpz_class(std::to_string(low));
  if (pb::renderDuration(pb::durationOf(psBig)) != referenceText(ps)) std::abort();

  // Any size at all: no crash, and the text ends in two digits.
  const std::string huge = pb::renderDuration(pb::durationOf(psBig * psBig * psBig));
  if (huge.size() < 2) std::abort();

  const auto done = in.ConsumeIntegral<std::int64_t>();
  const auto todo = in.ConsumeIntegral<std::int64_t>();
  const pb::TimePoint start{std::chrono::nanoseconds(in.ConsumeIntegral<std::int64_t>())};
  const pb::TimePoint last{std::chrono::nanoseconds(in.ConsumeIntegral<std::int64_t>())};
  const mpz_class dt =
      (big(last.time_since_epoch().count()) - big(start.time_since_epoch().count())) * 1000;
  for (const bool remaining : {true, false}) {
    std::optional<mpz_class> seen;
    const pb::DurationRenderer spy = [&](const pb::Duration& d) {
      if (seen) std::abort();  // called at most once
      seen = pb::picosecondsOf(d);
      return std::string("x");
    };
    const pb::Label<> label = remaining ? pb::remainingTime(spy, "alt") : pb::totalTime(spy, "alt");
    const std::string text = label.runLabel(pb::Progress<>{done, todo}, pb::Timing{start, last});
    const std::optional<mpz_class> expected = referenceEstimate(remaining, done, todo, dt);
    if (expected.has_value() != seen.has_value()) std::abort();
    if (expected && *expected != *seen) std::abort();
    if (text != (expected ? "x" : "alt")) std::abort();
  }
  return 0;
}
