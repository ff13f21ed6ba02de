// Internal: the exact arithmetic and the time constants that labels, the
// renderer, the bar and the display share. Do not include from public headers.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
inline constexpr std::int64_t kPicosPerSecond = 1'000'000'000'000;
inline constexpr std::int64_t kPicosPerNano = 1'000;

inline constexpr Int128 kInt64Max = INT64_MAX;
constexpr bool fitsInt64(Int128 v) noexcept { return v >= -kInt64Max && v <= kInt64Max; }

// The integer nearest to num / den (den > 0), ties to the even neighbour.
constexpr Int128 roundHalfEven(Int128 num, Int128 den) noexcept {
  if (fitsInt64(num) && fitsInt64(den)) {  // 64-bit division, much cheaper
    const auto n = static_cast<std::int64_t>(num), d = static_cast<std::int64_t>(den);
    std::int64_t q = n / d, r = n % d;
    if (r < 0) {
      q -= 1;
      r += d;
    }
    const std::int64_t rest = d - r;
    if (r > rest || (r == rest && (q & 1) != 0)) q += 1;
    return q;
  }
  Int128 q = num / den;
  Int128 r = num % den;
  if (r < 0) {  // floor
    q -= 1;
    r += den;
  }
  const Int128 twice = 2 * r;  // r < den <= 2^126 in every use
  if (twice > den || (twice == den && (q & 1) != 0)) q += 1;
  return q;
}
constexpr UInt128 roundHalfEven(UInt128 num, UInt128 den) noexcept {
  UInt128 q = num / den;
  const UInt128 r = num % den;
  const UInt128 rest = den - r;  // compare r with den / 2 without overflow
  if (r > rest || (r == rest && (q & 1) != 0)) q += 1;
  return q;
}

// floor(a / b) for b != 0.
constexpr Int128 floorDiv(Int128 a, Int128 b) noexcept {
  if (fitsInt64(a) && fitsInt64(b)) {
    const auto x = static_cast<std::int64_t>(a), y = static_cast<std::int64_t>(b);
    std::int64_t q = x / y;
    if ((x % y != 0) && ((x < 0) != (y < 0))) q -= 1;
    return q;
  }
  Int128 q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) q -= 1;
  return q;
}

// n / d for a quotient that fits 64 bits (n >> 64 < d): one hardware
// division on x86-64, where the compiler would call a 128-bit routine.
inline UInt128 divideFits64(UInt128 n, std::uint64_t d) noexcept {
#if defined(__x86_64__)
  const auto high = static_cast<std::uint64_t>(n >> 64);
  if (high < d) {
    std::uint64_t quotient, remainder;
    __asm__("divq %4"
            : "=a"(quotient), "=d"(remainder)
            : "a"(static_cast<std::uint64_t>(n)), "d"(high), "rm"(d));
    return quotient;
  }
#endif
  return n / d;
}

// n / d for a quotient that fits 32 bits (n >> 32 < d): the 32-bit hardware
// division on x86-64, several times cheaper than the 64-bit one.
inline std::uint32_t divideFits32(std::uint64_t n, std::uint32_t d) noexcept {
#if defined(__x86_64__)
  std::uint32_t quotient, remainder;
  __asm__("divl %4"
          : "=a"(quotient), "=d"(remainder)
          : "a"(static_cast<std::uint32_t>(n)), "d"(static_cast<std::uint32_t>(n >> 32)), "rm"(d));
  return quotient;
#else
  return static_cast<std::uint32_t>(n / d);
#endif
}

// The magnitude of a signed value, as unsigned.
constexpr UInt128 magnitude(Int128 v) noexcept {
  return v < 0 ? UInt128{0} - static_cast<UInt128>(v) : static_cast<UInt128>(v);
}

// Seconds and nanoseconds since the epoch as nanoseconds, saturated at the
// ends of the 64-bit range (before 1677, after 2262).
std::int64_t saturatedNanoseconds(std::int64_t seconds, std::int64_t nanoseconds) noexcept;

// Decimal form into a caller's buffer; returns the length.
inline constexpr std::size_t kDecimalBuffer = 41;  // a sign and 39 digits of 2^127
inline std::size_t formatDecimal(char (&buffer)[kDecimalBuffer], std::int64_t value) noexcept {
  return static_cast<std::size_t>(std::to_chars(buffer, buffer + kDecimalBuffer, value).ptr -
                                  buffer);
}
std::size_t formatDecimal(char (&buffer)[kDecimalBuffer], Int128 value) noexcept;

}  // namespace System::ProgressBar::detail
