// Internal: laying a bar line out, as each sink of a bar does. Do not include
// from public headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/detail/Line.hpp"
#include "render/fixed_parts.hpp"

namespace System::ProgressBar::detail {

// How a sink fits its lines, beyond the renderer's rules.
struct LineFit {
  // The width a TerminalWidth style takes; none: the width the style carries.
  std::optional<std::int64_t> terminalWidth;
  // The columns of the bar proper between its open and close texts (in the
  // fixed parts' measure) whatever the width and the labels, so that the
  // line takes as many columns as its parts do; negative: what the width
  // leaves it.
  std::int64_t barColumns = -1;
  // The labels padded with spaces to at least these columns (in the fixed
  // parts' measure); the postfix's padding is left out where it would end
  // the line.
  std::size_t prefixColumns = 0, postfixColumns = 0;
};

// Lays `source` out into `out` with the fixed parts `fixed`, fitted as `fit`
// says; the source stays as it is. Throws as layoutLine does.
void layoutSource(Text& out, const LineSource& source, const FixedParts& fixed, const LineFit& fit);
// Lays `source` out at the width its style carries, in its own label buffer,
// which then holds the whole line: a line drawn once, and never again, needs
// no copy of its labels. Throws as layoutLine does.
void layoutInPlace(LineSource& source, const FixedParts& fixed);

}  // namespace System::ProgressBar::detail
