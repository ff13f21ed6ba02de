// Durations and GMP's integers, for a program that uses GMP itself: a
// duration of any number of picoseconds, and a duration's exact count.
//
//   #include <System/ProgressBar/Gmp.hpp>   // and link gmpxx
//   const pb::Duration d = pb::durationOf(mpz_class("1000000000000000000000000000"));
//   mpz_class ps = pb::picosecondsOf(d);
//
// The rest of the library needs neither GMP's headers nor its C++ library.
#pragma once

#include <gmpxx.h>

#include "System/ProgressBar/Time.hpp"

namespace System::ProgressBar {

/// A duration of exactly `picoseconds`, however large.
Duration durationOf(const mpz_class& picoseconds);

/// The exact count of picoseconds of `duration`.
mpz_class picosecondsOf(const Duration& duration);

}  // namespace System::ProgressBar
