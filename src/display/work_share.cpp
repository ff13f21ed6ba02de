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
  // Totals of 0 are work complete, as their bars are. Sums beyond 2^120
  // (2^57 rows of the largest total) lose their lowest bits first, so that
  // done * 100 fits: the percent is exact below that.
  while (todo >> 120 != 0) {
    done >>= 1;
    todo >>= 1;
  }
  const int percent = todo == 0 ? 100 : static_cast<int>(done * 100 / todo);
  return Indicator{error ? 2 : 1, percent};
}

}  // namespace System::ProgressBar::detail
