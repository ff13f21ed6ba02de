// The line renderer: lays out the sixteen pieces of a bar line.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "System/ProgressBar/Style.hpp"
#include "label/text.hpp"

namespace System::ProgressBar::detail {
namespace {

// One fill character, encoded once.
struct Cell {
  explicit Cell(char32_t cp) {
    std::string encoded;
    appendCodePoint(encoded, cp);
    size = encoded.size();
    std::memcpy(bytes, encoded.data(), size);
  }
  char bytes[4];
  std::size_t size;
};

// Appends `count` copies of `cell`: one fill for ASCII, otherwise by
// doubling the run already written.
void appendRun(std::string& out, const Cell& cell, std::size_t count) {
  if (count == 0) return;
  if (cell.size == 1) {
    out.append(count, cell.bytes[0]);
    return;
  }
  const std::size_t start = out.size();
  const std::size_t total = count * cell.size;
  out.append(cell.bytes, cell.size);
  while (out.size() - start < total) {
    const std::size_t have = out.size() - start;
    out.append(out.data() + start, std::min(have, total - have));
  }
}

// floor(a / b) for b != 0.
Int128 floorDiv(Int128 a, Int128 b) noexcept {
  Int128 q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) q -= 1;
  return q;
}

}  // namespace

Text renderLine(const LineParts& p) {
  const std::size_t prefixLength = codePointCount(p.prefix);
  const std::size_t postfixLength = codePointCount(p.postfix);
  const std::size_t prefixGap = prefixLength != 0 ? 1 : 0;
  const std::size_t postfixGap = postfixLength != 0 ? 1 : 0;
  const Int128 counted = Int128(codePointCount(p.open)) + Int128(codePointCount(p.close)) +
                         Int128(prefixLength) + Int128(postfixLength) + Int128(prefixGap) +
                         Int128(postfixGap);
  // Inner width, without wrapping: every width below the fixed texts gives 0.
  const Int128 w = std::max<Int128>(0, Int128{p.width} - counted);

  // Done count: the exact floor of done * W / todo, at most W; a negative
  // count is kept at or above -W so the bar proper never exceeds 2W cells.
  Int128 d = 0;
  if (p.progressTodo != 0) {
    d = std::clamp(floorDiv(Int128{p.progressDone} * w, Int128{p.progressTodo}), -w, w);
  }
  const Int128 r = w - d;
  const Int128 doneCells = d > 0 ? d : 0;
  const Int128 markCells = (d != 0 && r != 0) ? 1 : 0;
  const Int128 todoCells = std::max<Int128>(0, d != 0 ? r - 1 : r);

  const Cell done(p.done), current(p.current), todo(p.todo);
  const UInt128 bytes =
      UInt128(p.escapePrefix.size()) + p.prefix.size() + prefixGap + p.escapeOpen.size() +
      p.open.size() + p.escapeDone.size() + p.escapeCurrent.size() + p.escapeTodo.size() +
      p.escapeClose.size() + p.close.size() + p.escapePostfix.size() + postfixGap +
      p.postfix.size() + static_cast<UInt128>(doneCells) * done.size +
      static_cast<UInt128>(markCells) * current.size +
      static_cast<UInt128>(todoCells) * todo.size;
  Text line;
  if (bytes > line.max_size()) throw std::length_error("renderProgressBar: line too long");
  line.reserve(static_cast<std::size_t>(bytes));

  line += p.escapePrefix;
  line += p.prefix;
  if (prefixGap != 0) line.push_back(' ');
  line += p.escapeOpen;
  line += p.open;
  line += p.escapeDone;
  appendRun(line, done, static_cast<std::size_t>(doneCells));
  line += p.escapeCurrent;
  appendRun(line, current, static_cast<std::size_t>(markCells));
  line += p.escapeTodo;
  appendRun(line, todo, static_cast<std::size_t>(todoCells));
  line += p.escapeClose;
  line += p.close;
  line += p.escapePostfix;
  if (postfixGap != 0) line.push_back(' ');
  line += p.postfix;
  return line;
}

}  // namespace System::ProgressBar::detail
