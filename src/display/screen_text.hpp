// Internal: a display's rows as a terminal shows them. Do not include from
// public headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

// Appends the part of `row` that fits `width` columns: visible characters up
// to the width, and every escape sequence (so that colour set and reset
// before and after the cut stays balanced); control characters are dropped.
// Returns the columns written.
std::size_t appendCut(Text& out, std::string_view row, std::int64_t width);

// The columns a row takes, and whether it holds nothing to drop (no control
// characters): such a row that fits is written as it is.
struct RowShape {
  std::size_t columns;
  bool clean;
};
RowShape shapeOf(std::string_view row) noexcept;

// Where two rows (cut, so without control characters) stop being alike: the
// bytes and the columns of their longest common start that ends before a
// visible character (not inside an escape sequence or a character, and not
// before a mark that combines with the character before it).
struct RowStart {
  std::size_t bytes;
  std::size_t columns;
};
RowStart commonStart(std::string_view shown, std::string_view next) noexcept;
// Appends the escape sequences of `text`, and nothing else.
void appendEscapes(Text& out, std::string_view text);

// How many rows down the cursor ends after `bytes`, from where it started:
// line feeds and cursor movements up and down (CSI n A, CSI n B), as a
// terminal that does not scroll would count them.
std::int64_t rowsMoved(std::string_view bytes) noexcept;

// Appends `line` as a line printed above a terminal's block of `width`
// columns, in a shape the display can know: tabs as the spaces to the next
// tab stop (every eighth column of the row they fall on), control characters
// and escape sequences that move the cursor or change the screen dropped,
// colour (SGR) and OSC sequences kept when `escapes`. Returns how many rows
// of the terminal it takes, wrapped as a terminal wraps it (a wide
// character that does not fit at a row's end goes to the next row).
std::int64_t appendPrinted(Text& out, std::string_view line, std::int64_t width, bool escapes);

// Appends `line` as a plain log line: no control characters, and escape
// sequences only when `escapes`.
void appendPlain(Text& out, std::string_view line, bool escapes);
// `text` with no control character and no escape sequence.
Text plainText(std::string_view text);

}  // namespace System::ProgressBar::detail
