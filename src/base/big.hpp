// Internal: integers beyond 128 bits, with GMP. Do not include from public
// headers: only compiled code names GMP.
#pragma once

#include <gmpxx.h>

#include <optional>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

// What a Duration holds beyond 128 bits of picoseconds.
class BigInteger {
 public:
  explicit BigInteger(mpz_class value) : value(std::move(value)) {}
  mpz_class value;
};

mpz_class mpzFromInt128(Int128 value);
mpz_class mpzFromUnsigned128(UInt128 value);
// The value, when it fits 127 bits and a sign.
std::optional<Int128> int128FromMpz(const mpz_class& value);

// The integer nearest to num / den (den > 0), ties to the even neighbour.
mpz_class roundHalfEven(const mpz_class& num, const mpz_class& den);

}  // namespace System::ProgressBar::detail
