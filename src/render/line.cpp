// The line renderer: lays out the sixteen pieces of a bar line.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "System/ProgressBar/Style.hpp"
#include "label/arithmetic.hpp"
#include "label/text.hpp"

namespace System::ProgressBar::detail {
namespace {

// One fill character, encoded once, with the spaces that widen it to the
// width of a cell (only in columns, when the three characters differ in width).
struct Cell {
  Cell(char32_t cp, std::size_t cellColumns, Measure how) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
    if (cp < 0x80) {
      bytes[0] = static_cast<char>(cp);
      size = 1;
    } else {
      std::string encoded;  // rare: a character beyond ASCII
      appendCodePoint(encoded, cp);
      size = encoded.size();
      std::memcpy(bytes, encoded.data(), size);
    }
    if (how == Measure::kColumns) {
      const std::size_t own = std::max<std::size_t>(1, columnsOf(cp));
      for (std::size_t pad = own; pad < cellColumns && size < sizeof bytes; ++pad)
        bytes[size++] = ' ';
    }
  }
  char bytes[8];
  std::size_t size;
};

// Writes `count` copies of `cell` at `out`; returns the end.
char* writeRun(char* out, const Cell& cell, std::size_t count) {
  if (count == 0) return out;
  if (cell.size == 1) {
    std::memset(out, cell.bytes[0], count);
    return out + count;
  }
  // Doubling: each copy doubles the run already written.
  const std::size_t total = count * cell.size;
  std::memcpy(out, cell.bytes, cell.size);
  std::size_t have = cell.size;
  while (have < total) {
    const std::size_t more = std::min(have, total - have);
    std::memcpy(out + have, out, more);
    have += more;
  }
  return out + total;
}

char* put(char* out, std::string_view text) {
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// The cells of the bar proper, by kind.
struct Fill {
  Int128 left = 0;    // done cells; todo cells before the mark of a moving mark
  bool mark = false;  // the current mark
  Int128 right = 0;   // todo cells
  bool moving = false;
};

Fill fillFor(const LineParts& p, Int128 cells) {
  Fill fill;
  if (p.indeterminate) {
    fill.moving = true;
    if (cells <= 0) return fill;
    const Int128 period = 2 * (cells - 1);
    Int128 at = 0;
    if (period > 0) {
      const Int128 m = ((Int128{p.phase} % period) + period) % period;
      at = m < cells ? m : period - m;
    }
    fill.left = at;
    fill.mark = true;
    fill.right = cells - at - 1;
    return fill;
  }
  // Done count: the exact floor of done * W / todo, at most W; a negative
  // count is kept at or above -W so the bar proper never exceeds 2W cells.
  Int128 d = 0;
  if (p.progressTodo != 0) {
    d = std::clamp(floorDiv(Int128{p.progressDone} * cells, Int128{p.progressTodo}), -cells, cells);
  }
  const Int128 r = cells - d;
  fill.left = d > 0 ? d : 0;
  fill.mark = d != 0 && r != 0;
  fill.right = std::max<Int128>(0, d != 0 ? r - 1 : r);
  return fill;
}

// The measured texts of a line.
struct Lengths {
  std::size_t prefix, postfix, open, close;
  bool valid;
};

Lengths measureParts(const Text& line, const LineParts& p) {
  const Measured prefix = measure(std::string_view(line.data(), p.prefixBytes), p.measure);
  const Measured postfix =
      measure(std::string_view(line.data() + p.prefixBytes, p.postfixBytes), p.measure);
  const Measured open = measure(p.open, p.measure), close = measure(p.close, p.measure);
  bool valid = prefix.valid && postfix.valid && open.valid && close.valid;
  for (const std::string_view escape : {p.escapePrefix, p.escapeOpen, p.escapeDone, p.escapeCurrent,
                                        p.escapeTodo, p.escapeClose, p.escapePostfix}) {
    valid = valid && (escape.empty() || measure(escape, Measure::kCodePoints).valid);
  }
  return {prefix.length, postfix.length, open.length, close.length, valid};
}

// Lays out a line whose texts are all valid UTF-8.
void layoutValid(Text& line, const LineParts& p, const Lengths& lengths) {
  const std::size_t prefixGap = lengths.prefix != 0 ? 1 : 0;
  const std::size_t postfixGap = lengths.postfix != 0 ? 1 : 0;
  const Int128 counted = Int128(lengths.open) + Int128(lengths.close) + Int128(lengths.prefix) +
                         Int128(lengths.postfix) + Int128(prefixGap) + Int128(postfixGap);
  // Inner width, without wrapping: every width below the fixed texts gives 0.
  const Int128 w = std::max<Int128>(0, Int128{p.width} - counted);
  std::size_t cellColumns = 1;
  if (p.measure == Measure::kColumns) {
    cellColumns =
        std::max({std::size_t{1}, columnsOf(p.done), columnsOf(p.current), columnsOf(p.todo)});
  }
  const Int128 cells = cellColumns == 1 ? w : w / static_cast<Int128>(cellColumns);
  const Int128 padding = w - cells * static_cast<Int128>(cellColumns);
  const Fill fill = fillFor(p, cells);

  const Cell done(p.done, cellColumns, p.measure), current(p.current, cellColumns, p.measure),
      todo(p.todo, cellColumns, p.measure);
  const Cell& leftCell = fill.moving ? todo : done;
  const UInt128 fixedBytes = UInt128(p.escapePrefix.size()) + p.prefixBytes + prefixGap +
                             p.escapeOpen.size() + p.open.size() + p.escapeDone.size() +
                             p.escapeCurrent.size() + p.escapeTodo.size() +
                             (fill.moving ? p.escapeTodo.size() : 0) + p.escapeClose.size() +
                             p.close.size() + p.escapePostfix.size() + postfixGap + p.postfixBytes;
  const UInt128 bytes = fixedBytes + static_cast<UInt128>(fill.left) * leftCell.size +
                        (fill.mark ? current.size : 0) +
                        static_cast<UInt128>(fill.right) * todo.size +
                        static_cast<UInt128>(padding);
  if (bytes > line.max_size()) throw std::length_error("renderProgressBar: line too long");

  // Grow in place: move the postfix to the end and the prefix after its
  // escape, then write the middle.
  const std::size_t total = static_cast<std::size_t>(bytes);
  line.resize(total);
  char* const b = line.data();
  std::memmove(b + total - p.postfixBytes, b + p.prefixBytes, p.postfixBytes);
  std::memmove(b + p.escapePrefix.size(), b, p.prefixBytes);
  char* out = put(b, p.escapePrefix) + p.prefixBytes;
  if (prefixGap != 0) *out++ = ' ';
  out = put(out, p.escapeOpen);
  out = put(out, p.open);
  if (fill.moving) {
    out = put(out, p.escapeDone);
    out = put(out, p.escapeTodo);
  } else {
    out = put(out, p.escapeDone);
  }
  out = writeRun(out, leftCell, static_cast<std::size_t>(fill.left));
  out = put(out, p.escapeCurrent);
  out = writeRun(out, current, fill.mark ? 1 : 0);
  out = put(out, p.escapeTodo);
  out = writeRun(out, todo, static_cast<std::size_t>(fill.right));
  std::memset(out, ' ', static_cast<std::size_t>(padding));
  out += static_cast<std::size_t>(padding);
  out = put(out, p.escapeClose);
  out = put(out, p.close);
  out = put(out, p.escapePostfix);
  if (postfixGap != 0) *out++ = ' ';
}

}  // namespace

void layoutLine(Text& line, const LineParts& parts) {
  const Lengths lengths = measureParts(line, parts);
  if (lengths.valid) {
    layoutValid(line, parts, lengths);
    return;
  }
  // Rare: bytes that are not UTF-8. Write them as they were measured.
  const auto clean = [](std::string_view text) {
    Text out;
    appendValidUtf8(out, text);
    return out;
  };
  const Text escapes[] = {clean(parts.escapePrefix), clean(parts.escapeOpen),
                          clean(parts.escapeDone),   clean(parts.escapeCurrent),
                          clean(parts.escapeTodo),   clean(parts.escapeClose),
                          clean(parts.escapePostfix)};
  const Text open = clean(parts.open), close = clean(parts.close);
  Text texts = clean(std::string_view(line.data(), parts.prefixBytes));
  const std::size_t prefixBytes = texts.size();
  texts += clean(std::string_view(line.data() + parts.prefixBytes, parts.postfixBytes));
  LineParts cleanParts = parts;
  cleanParts.escapePrefix = escapes[0];
  cleanParts.escapeOpen = escapes[1];
  cleanParts.escapeDone = escapes[2];
  cleanParts.escapeCurrent = escapes[3];
  cleanParts.escapeTodo = escapes[4];
  cleanParts.escapeClose = escapes[5];
  cleanParts.escapePostfix = escapes[6];
  cleanParts.open = open;
  cleanParts.close = close;
  cleanParts.prefixBytes = prefixBytes;
  cleanParts.postfixBytes = texts.size() - prefixBytes;
  line = std::move(texts);
  layoutValid(line, cleanParts, measureParts(line, cleanParts));
}

}  // namespace System::ProgressBar::detail
