#include "display/work_share.hpp"

#include <algorithm>

#include "base/arithmetic.hpp"

namespace System::ProgressBar::detail {

void appendIndicator(Text& out, Indicator indicator) {
  char digits[kDecimalBuffer];
  out += "\x1b]9;4;";
  out.append(digits, formatDecimal(digits, std::int64_t{indicator.state}));
  out += ';';
  out.append(digits, formatDecimal(digits, std::int64_t{indicator.percent}));
  out += "\x1b\\";
}

WorkPart partOf(const Row& row) noexcept {
  if (!row.totalKnown) return {};
  // A count beyond the total, or below 0, is the whole total or none of it.
  const std::int64_t todo = std::max<std::int64_t>(row.todo, 0);
  return {std::clamp<std::int64_t>(row.done, 0, todo), todo, true, row.abandoned()};
}

int percentOf(UInt128 done, UInt128 todo) noexcept {
  // Totals of 0 are work complete, as their bars are.
  if (done >= todo) return 100;
  // Two decimal digits of done ÷ todo by long division, each step's rest
  // times ten taken as ten additions modulo todo, so that nothing goes past
  // 128 bits however large the sums are.
  int percent = 0;
  UInt128 rest = done;  // < todo
  for (int digit = 0; digit < 2; ++digit) {
    UInt128 times = 0;
    int carries = 0;
    for (int i = 0; i < 10; ++i) {
      if (times >= todo - rest) {
        times -= todo - rest;
        ++carries;
      } else {
        times += rest;
      }
    }
    percent = percent * 10 + carries;
    rest = times;
  }
  return percent;
}

void WorkShare::retire(const WorkPart& part) noexcept {
  any_ = true;
  error_ = error_ || part.abandoned;
  if (!part.known) return;
  known_ = true;
  done_ += static_cast<UInt128>(part.done);
  todo_ += static_cast<UInt128>(part.todo);
}

std::optional<Indicator> WorkShare::indicator(const Rows& rows) const noexcept {
  UInt128 done = done_, todo = todo_;
  bool known = known_, any = any_, error = error_;
  for (const Row& row : rows) {
    if (!row.hasText) continue;
    any = true;
    error = error || row.abandoned();
    const WorkPart part = partOf(row);
    if (!part.known) continue;
    known = true;
    done += static_cast<UInt128>(part.done);
    todo += static_cast<UInt128>(part.todo);
  }
  if (!any) return std::nullopt;
  if (!known) return Indicator{error ? 2 : 3, 0};
  const int percent = percentOf(done, todo);
  return Indicator{error ? 2 : 1, percent};
}

}  // namespace System::ProgressBar::detail
