// Elapsed time, the fixed-point estimates and the duration text.
#include <cstdint>
#include <optional>

#include "System/ProgressBar/Label.hpp"
#include "label/text.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr std::int64_t kPicosPerSecond = 1'000'000'000'000;
constexpr Int128 kFixedOne = kPicosPerSecond;                          // 10^12
constexpr Int128 kFixedOneSquared = kFixedOne * kFixedOne;             // 10^24
constexpr int kLimbs = (128 + GMP_NUMB_BITS - 1) / GMP_NUMB_BITS;

static_assert(GMP_NAIL_BITS == 0, "limb views assume GMP without nails");

// A read-only mpz over a 128-bit value on the stack: GMP arithmetic on the
// estimate's small operands without allocating for them.
class MpzView {
 public:
  explicit MpzView(Int128 value) noexcept {
    UInt128 magnitude =
        value < 0 ? UInt128{0} - static_cast<UInt128>(value) : static_cast<UInt128>(value);
    mp_size_t size = 0;
    while (magnitude != 0) {
      limbs_[size++] = static_cast<mp_limb_t>(magnitude);
      magnitude >>= GMP_NUMB_BITS - 1;
      magnitude >>= 1;
    }
    mpz_roinit_n(view_, limbs_, value < 0 ? -size : size);
  }
  mpz_srcptr get() const noexcept { return view_; }

 private:
  mp_limb_t limbs_[kLimbs] = {};
  mpz_t view_;
};

// timingLastUpdate - timingStart in picoseconds; exact for any two time points.
Int128 elapsedPicoseconds(const Timing& timing) noexcept {
  const Int128 ns = Int128{timing.timingLastUpdate.time_since_epoch().count()} -
                    Int128{timing.timingStart.time_since_epoch().count()};
  return ns * 1000;
}

}  // namespace

Duration elapsedDuration(const Timing& timing) {
  mpz_class ps;
  mpz_set(ps.get_mpz_t(), MpzView(elapsedPicoseconds(timing)).get());
  return Duration(std::move(ps));
}

std::optional<Duration> estimateDuration(Estimate kind, std::int64_t done, std::int64_t todo,
                                         const Timing& timing) {
  if (done <= 0) return std::nullopt;
  const Int128 dt = elapsedPicoseconds(timing);
  if (dt <= kFixedOne) return std::nullopt;
  // The factor is todo/done in fixed point with 12 decimals, taken as the
  // reciprocal of the truncated fraction done/todo; both fit 128 bits.
  Int128 factor = kFixedOne;
  if (todo > 0) {
    const Int128 fraction = Int128{done} * kFixedOne / todo;  // operands positive: floor
    if (fraction == 0) return std::nullopt;  // todo beyond 10^12 times done
    factor = kFixedOneSquared / fraction;
  }
  const MpzView dtView(dt);
  mpz_class result;
  mpz_mul(result.get_mpz_t(), dtView.get(), MpzView(factor).get());
  mpz_fdiv_q_ui(result.get_mpz_t(), result.get_mpz_t(),
                static_cast<unsigned long>(kPicosPerSecond));
  if (kind == Estimate::kRemaining) mpz_sub(result.get_mpz_t(), result.get_mpz_t(), dtView.get());
  return Duration(std::move(result));
}

namespace {

// Appends the two-digit decimal of `part`.
void appendPart(Text& out, std::int64_t part) {
  char digits[kDecimalBuffer];
  const std::size_t length = formatDecimal(digits, part);
  if (length < 2) out.push_back('0');
  out.append(digits, length);
}

Text renderSeconds(std::int64_t s) {
  const std::int64_t h = s / 3600, r = s % 3600;
  const std::int64_t m = r / 60, sec = r % 60;
  Text out;
  if (h != 0) {
    appendPart(out, h);
    out.push_back(':');
  }
  if (m != 0) {
    appendPart(out, m);
    out.push_back(':');
  }
  appendPart(out, sec);
  return out;
}

}  // namespace

Text renderDecimal(std::int64_t n) {
  Text out;
  appendPart(out, n);
  return out;
}

}  // namespace System::ProgressBar::detail

namespace System::ProgressBar {

Text renderDuration(const Duration& duration) {
  using namespace detail;
  const mpz_class& ps = duration.picoseconds();
  // Whole seconds, ties to even.
  mpz_class seconds;
  const unsigned long remainder = mpz_fdiv_q_ui(seconds.get_mpz_t(), ps.get_mpz_t(),
                                                static_cast<unsigned long>(kPicosPerSecond));
  const unsigned long half = static_cast<unsigned long>(kPicosPerSecond / 2);
  if (remainder > half || (remainder == half && mpz_odd_p(seconds.get_mpz_t()))) {
    seconds += 1;
  }
  if (mpz_fits_slong_p(seconds.get_mpz_t())) return renderSeconds(seconds.get_si());
  // Beyond 64 bits: hours can be any size; minutes and seconds are small.
  mpz_class hours, rest;
  mpz_tdiv_qr_ui(hours.get_mpz_t(), rest.get_mpz_t(), seconds.get_mpz_t(), 3600);
  const long r = rest.get_si();  // keeps the sign of seconds
  Text out = hours.get_str();
  out.push_back(':');
  if (r / 60 != 0) {
    appendPart(out, r / 60);
    out.push_back(':');
  }
  appendPart(out, r % 60);
  return out;
}

}  // namespace System::ProgressBar
