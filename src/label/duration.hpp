// Internal: durations and GMP's integers. Do not include from public headers.
#pragma once

#include <gmpxx.h>

#include "System/ProgressBar/Time.hpp"

namespace System::ProgressBar::detail {

// A duration of exactly `picoseconds`: held small when it fits 128 bits.
Duration durationOfMpz(mpz_class picoseconds);
// The exact picoseconds of a duration.
mpz_class mpzOf(const Duration& duration);

}  // namespace System::ProgressBar::detail
