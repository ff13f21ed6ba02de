// The compiled helpers of labels made from text, and of repetition.
#include "System/ProgressBar/Label.hpp"

#include <stdexcept>
#include <string>

#include "base/arithmetic.hpp"
#include "base/text.hpp"

namespace System::ProgressBar::detail {

Text fromUtf8(std::string_view bytes) {
  Text out;
  out.reserve(bytes.size());
  appendValidUtf8(out, bytes);
  return out;
}

Text fromCodePoints(std::u32string_view codePoints) {
  Text out;
  out.reserve(codePoints.size());
  for (const char32_t cp : codePoints) appendCodePoint(out, cp);
  return out;
}

void throwBadRepeatCount(Int128 count) {
  char digits[kDecimalBuffer];
  const std::size_t n = formatDecimal(digits, count);
  throw std::invalid_argument("stimes: the repetition count must be positive, got " +
                              std::string(digits, n));
}

}  // namespace System::ProgressBar::detail
