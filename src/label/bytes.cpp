// Byte sizes.
#include "System/ProgressBar/Bytes.hpp"

#include <cstdint>

#include "base/arithmetic.hpp"
#include "label/significant.hpp"

namespace System::ProgressBar::detail {

void appendByteSize(Text& out, std::int64_t count, ByteUnits units) {
  const UInt128 size = magnitude(count);
  const unsigned base = byteBase(units);
  if (size < base) {  // plain bytes
    char digits[kDecimalBuffer];
    out.append(digits, formatDecimal(digits, count));
    out += " B";
    return;
  }
  const Significant value = significant(size, 1, base);
  appendSignificant(out, value, count < 0);
  out.push_back(' ');
  out += byteUnit(units, value.prefix);
}

}  // namespace System::ProgressBar::detail
