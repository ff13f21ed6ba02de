// The count labels: percentage, exact and count.
#include "System/ProgressBar/Counts.hpp"

#include <cstdint>

#include "base/arithmetic.hpp"

namespace System::ProgressBar::detail {
namespace {

void padTo(Text& out, std::size_t length, std::size_t width) {
  if (length < width) out.append(width - length, ' ');
}

}  // namespace

void appendPercentage(Text& out, std::int64_t done, std::int64_t todo, PercentRounding rounding) {
  if (todo == 0) {
    out += "100%";
    return;
  }
  Int128 num = Int128{done} * 100;
  Int128 den = todo;
  if (den < 0) {
    num = -num;
    den = -den;
  }
  const Int128 percent =
      rounding == PercentRounding::kDown ? floorDiv(num, den) : roundHalfEven(num, den);
  char digits[kDecimalBuffer];
  const std::size_t n = formatDecimal(digits, percent);
  padTo(out, n + 1, 4);
  out.append(digits, n);
  out.push_back('%');
}

void appendExact(Text& out, std::int64_t done, std::int64_t todo) {
  char d[kDecimalBuffer], t[kDecimalBuffer];
  const std::size_t dn = formatDecimal(d, done);
  const std::size_t tn = formatDecimal(t, todo);
  padTo(out, dn, tn);
  out.append(d, dn);
  out.push_back('/');
  out.append(t, tn);
}

void appendCount(Text& out, std::int64_t done) {
  char d[kDecimalBuffer];
  out.append(d, formatDecimal(d, done));
}

}  // namespace System::ProgressBar::detail
