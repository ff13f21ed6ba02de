// Padding a label's text to a width.
#include "System/ProgressBar/Padding.hpp"

#include <cstdint>

#include "base/text.hpp"

namespace System::ProgressBar::detail {

void padFrom(Text& out, std::size_t start, std::int64_t width, bool left, PadUnit unit) {
  const Measure how = unit == PadUnit::Columns ? Measure::kColumns : Measure::kCodePoints;
  const std::size_t length = measure(std::string_view(out).substr(start), how).length;
  if (width <= 0 || length >= static_cast<std::uint64_t>(width)) return;
  const std::size_t fill = static_cast<std::size_t>(width) - length;
  if (left) {
    out.insert(start, fill, ' ');
  } else {
    out.append(fill, ' ');
  }
}

}  // namespace System::ProgressBar::detail
