#include "base/big.hpp"

namespace System::ProgressBar::detail {

mpz_class mpzFromUnsigned128(UInt128 v) {
  mpz_class out = static_cast<unsigned long>(v >> 64);
  out <<= 64;
  out += static_cast<unsigned long>(v);
  return out;
}

mpz_class mpzFromInt128(Int128 value) {
  const UInt128 magnitude =
      value < 0 ? UInt128{0} - static_cast<UInt128>(value) : static_cast<UInt128>(value);
  mpz_class out = mpzFromUnsigned128(magnitude);
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

mpz_class roundHalfEven(const mpz_class& num, const mpz_class& den) {
  mpz_class q, r;
  mpz_fdiv_qr(q.get_mpz_t(), r.get_mpz_t(), num.get_mpz_t(), den.get_mpz_t());
  const int half = cmp(r * 2, den);
  if (half > 0 || (half == 0 && mpz_odd_p(q.get_mpz_t()))) q += 1;
  return q;
}

}  // namespace System::ProgressBar::detail
