// Internal: numbers written with three significant digits and a prefix, as
// the rate and size labels write them. Do not include from public headers.
#pragma once

#include <string_view>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/Units.hpp"

namespace System::ProgressBar::detail {

// num / den rounded to three significant digits with ties to even (two
// decimals below one), scaled by the power of `base` that keeps the digits
// below 1000: `digits` with `decimals` of them after the point, times
// base^prefix. num < 2^120 and 0 < den.
struct Significant {
  UInt128 digits;
  int decimals;
  int prefix;
};
Significant significant(UInt128 num, UInt128 den, unsigned base);

// "1.25", "0.50", "999"; a minus sign in front when `negative` and the
// digits are not all zero.
void appendSignificant(Text& out, const Significant& value, bool negative);

// The byte unit of a prefix power: "B", "KiB", "kB", ...
std::string_view byteUnit(ByteUnits units, int prefix) noexcept;
unsigned byteBase(ByteUnits units) noexcept;

}  // namespace System::ProgressBar::detail
