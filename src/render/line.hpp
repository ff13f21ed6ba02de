// Internal: a line as a bar lays it out, beyond the renderer's rules. Do not
// include from public headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

#include "System/ProgressBar/Progress.hpp"
#include "base/text.hpp"
#include "render/fixed_parts.hpp"

namespace System::ProgressBar::detail {

// A line before it is laid out: what a display's row keeps, so that it can
// lay the line out again at another width, or aligned with the other rows,
// without its bar. Its texts are reused from line to line.
struct LineSource {
  Text prefix, postfix;
  Text escapes[7];  // prefix, open, done, current, todo, close, postfix
  std::int64_t width = 0;
  bool followsTerminal = false;
  std::int64_t progressDone = 0, progressTodo = 0;
  bool indeterminate = false;
  std::int64_t phase = 0;

  // Member by member: std::swap would move every text through a temporary.
  friend void swap(LineSource& a, LineSource& b) noexcept {
    a.prefix.swap(b.prefix);
    a.postfix.swap(b.postfix);
    // Most escapes are empty on both sides, where a swap would still move
    // the texts' buffers.
    for (std::size_t i = 0; i < std::size(a.escapes); ++i) {
      if (!a.escapes[i].empty() || !b.escapes[i].empty()) a.escapes[i].swap(b.escapes[i]);
    }
    std::swap(a.width, b.width);
    std::swap(a.followsTerminal, b.followsTerminal);
    std::swap(a.progressDone, b.progressDone);
    std::swap(a.progressTodo, b.progressTodo);
    std::swap(a.indeterminate, b.indeterminate);
    std::swap(a.phase, b.phase);
  }
};

// A bar's own way with its lines, which its engine hands to the layout with
// each one (as LineParts::context): its fixed texts measured as its output
// measures, the width that output gives a TerminalWidth style, and the moving
// mark of a bar whose total is not known. With `capture`, the line is not
// laid out but kept there, for its output to lay out.
struct LineContext {
  const FixedParts* fixed;
  std::optional<std::int64_t> terminalWidth;
  bool indeterminate = false;  // the mark moves across the bar, one cell a step
  std::int64_t phase = 0;
  LineSource* capture = nullptr;
};

// Lays `source` out into `out` with the fixed texts `fixed`: the prefix
// padded with spaces to at least `prefixColumns`, the postfix to at least
// `postfixColumns` (in the fixed texts' measure; the postfix's padding is
// left out where it would end the line), and a TerminalWidth at
// `terminalWidth` when given. Throws as layoutLine does.
void layoutSource(Text& out, const LineSource& source, const FixedParts& fixed,
                  std::optional<std::int64_t> terminalWidth, std::size_t prefixColumns,
                  std::size_t postfixColumns);
// As layoutSource, with the bar proper `barColumns` wide between its open
// and close texts (in the fixed texts' measure) whatever the style's width
// and the labels: the line then takes as many columns as its parts do.
void layoutSourceBar(Text& out, const LineSource& source, const FixedParts& fixed,
                     std::int64_t barColumns, std::size_t prefixColumns,
                     std::size_t postfixColumns);

}  // namespace System::ProgressBar::detail
