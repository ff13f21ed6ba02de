// The line renderer: lays out the sixteen pieces of a bar line.
#include "render/line.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "System/ProgressBar/Style.hpp"
#include "base/arithmetic.hpp"
#include "base/text.hpp"

namespace System::ProgressBar::detail {
namespace {

// Writes `count` copies of `cell` at `out`; returns the end.
char* writeRun(char* out, const EncodedCell& cell, std::size_t count) {
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
  // Most pieces are a byte or two (a bracket, an escape left empty): copied
  // here, without a call.
  if (text.size() <= 2) {
    if (!text.empty()) out[0] = text[0];
    if (text.size() == 2) out[1] = text[1];
  } else {
    std::memcpy(out, text.data(), text.size());
  }
  return out + text.size();
}

// The cells of the bar proper, by kind. Counts fit 64 bits: there are never
// more cells than the width.
struct Fill {
  std::int64_t left = 0;  // done cells; todo cells before the mark of a moving mark
  bool mark = false;      // the current mark
  Int128 right = 0;       // todo cells: up to twice the width
  bool moving = false;
};

// The line's parts and what the bar (or the renderer's rules) add to them.
struct Layout {
  const LineParts& parts;
  const FixedParts& fixed;
  std::int64_t width;
  bool indeterminate;
  std::int64_t phase;
  // The columns of the bar proper between its open and close texts, whatever
  // the width and the labels; negative: what the width leaves them.
  std::int64_t barColumns;
};

Fill fillFor(const Layout& l, std::int64_t cells) {
  const LineParts& p = l.parts;
  Fill fill;
  if (l.indeterminate) {
    fill.moving = true;
    if (cells <= 0) return fill;
    const Int128 period = 2 * Int128{cells - 1};
    std::int64_t at = 0;
    if (period > 0) {
      const Int128 m = ((Int128{l.phase} % period) + period) % period;
      at = static_cast<std::int64_t>(m < cells ? m : period - m);
    }
    fill.left = at;
    fill.mark = true;
    fill.right = cells - at - 1;
    return fill;
  }
  // Done count: the exact floor of done * W / todo, at most W; a negative
  // count is kept at or above -W so the bar proper never exceeds 2W cells.
  std::int64_t d = 0;
  if (p.progressTodo > 0 && p.progressDone >= 0 && p.progressDone <= p.progressTodo &&
      p.progressTodo <= 0xFFFFFFFF && cells <= 0xFFFFFFFF) {
    // The usual case, 0 <= done <= todo < 2^32: done * cells fits 64 bits and
    // the quotient, at most cells, 32 bits.
    d = divideFits32(static_cast<std::uint64_t>(p.progressDone) * static_cast<std::uint64_t>(cells),
                     static_cast<std::uint32_t>(p.progressTodo));
  } else if (p.progressTodo != 0) {
    d = static_cast<std::int64_t>(
        std::clamp(floorDiv(Int128{p.progressDone} * cells, Int128{p.progressTodo}), Int128{-cells},
                   Int128{cells}));
  }
  const Int128 r = Int128{cells} - d;  // up to 2 * cells
  fill.left = d > 0 ? d : 0;
  fill.mark = d != 0 && r != 0;
  fill.right = std::max<Int128>(0, d != 0 ? r - 1 : r);
  return fill;
}

// The label texts and the escapes are what change from line to line: they
// are measured and checked at every line.
struct Lengths {
  std::size_t prefix, postfix;
  bool valid;
};

// Short ASCII labels, the usual kind, are counted here without the general
// routine: in code points, one a byte.
Measured measureLabel(std::string_view text, Measure how) noexcept {
  if (how == Measure::kCodePoints && text.size() <= 64 && asciiOnly(text)) {
    return {text.size(), true};
  }
  return measure(text, how);
}

Lengths measureParts(const Text& line, const LineParts& p, Measure how) {
  const Measured prefix = measureLabel(std::string_view(line.data(), p.prefixBytes), how);
  const Measured postfix =
      measureLabel(std::string_view(line.data() + p.prefixBytes, p.postfixBytes), how);
  bool valid = prefix.valid && postfix.valid;
  for (const std::string_view escape : {p.escapePrefix, p.escapeOpen, p.escapeDone, p.escapeCurrent,
                                        p.escapeTodo, p.escapeClose, p.escapePostfix}) {
    valid = valid && (escape.empty() || measure(escape, Measure::kCodePoints).valid);
  }
  return {prefix.length, postfix.length, valid};
}

// Lays out a line whose texts are all valid UTF-8.
void layoutValid(Text& line, const Layout& l, const Lengths& lengths) {
  const LineParts& p = l.parts;
  const FixedParts& f = l.fixed;
  const std::size_t prefixGap = lengths.prefix != 0 ? 1 : 0;
  const std::size_t postfixGap = lengths.postfix != 0 ? 1 : 0;
  // Every length is that of text in memory, so the sum fits; the inner width
  // does not wrap: every width below the counted texts gives 0.
  const auto counted = static_cast<std::int64_t>(f.openLength + f.closeLength + lengths.prefix +
                                                 lengths.postfix + prefixGap + postfixGap);
  const std::int64_t w = l.barColumns >= 0   ? l.barColumns
                         : l.width > counted ? l.width - counted
                                             : 0;
  const auto columns = static_cast<std::int64_t>(f.cellColumns);
  const std::int64_t cells = columns == 1 ? w : w / columns;
  const auto padding = static_cast<std::size_t>(w - cells * columns);
  const Fill fill = fillFor(l, cells);

  const EncodedCell& leftCell = fill.moving ? f.todo : f.done;
  const UInt128 fixedBytes = UInt128(p.escapePrefix.size()) + p.prefixBytes + prefixGap +
                             p.escapeOpen.size() + f.open.size() + p.escapeDone.size() +
                             p.escapeCurrent.size() + p.escapeTodo.size() +
                             (fill.moving ? p.escapeTodo.size() : 0) + p.escapeClose.size() +
                             f.close.size() + p.escapePostfix.size() + postfixGap + p.postfixBytes;
  const UInt128 bytes = fixedBytes + static_cast<UInt128>(fill.left) * leftCell.size +
                        (fill.mark ? f.current.size : 0) +
                        static_cast<UInt128>(fill.right) * f.todo.size + padding;
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
  out = put(out, f.open);
  out = put(out, p.escapeDone);
  if (fill.moving) out = put(out, p.escapeTodo);
  out = writeRun(out, leftCell, static_cast<std::size_t>(fill.left));
  out = put(out, p.escapeCurrent);
  out = writeRun(out, f.current, fill.mark ? 1 : 0);
  out = put(out, p.escapeTodo);
  out = writeRun(out, f.todo, static_cast<std::size_t>(fill.right));
  std::memset(out, ' ', padding);
  out += padding;
  out = put(out, p.escapeClose);
  out = put(out, f.close);
  out = put(out, p.escapePostfix);
  if (postfixGap != 0) *out++ = ' ';
}

}  // namespace

std::size_t lineBytes(std::int64_t width, char32_t done, char32_t current, char32_t todo) noexcept {
  const auto bytesOf = [](char32_t c) -> std::size_t {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  };
  const std::size_t cell = std::max({bytesOf(done), bytesOf(current), bytesOf(todo)});
  return static_cast<std::size_t>(std::clamp<std::int64_t>(width, 0, 4096)) * cell + 64;
}

namespace {

void layoutWith(Text& line, const Layout& layout) {
  const Lengths lengths = measureParts(line, layout.parts, layout.fixed.measure);
  if (lengths.valid) {
    layoutValid(line, layout, lengths);
    return;
  }
  // Rare: bytes that are not UTF-8. Write them as they were measured.
  const LineParts& parts = layout.parts;
  const auto clean = [](std::string_view text) {
    Text out;
    appendValidUtf8(out, text);
    return out;
  };
  const Text escapes[] = {clean(parts.escapePrefix), clean(parts.escapeOpen),
                          clean(parts.escapeDone),   clean(parts.escapeCurrent),
                          clean(parts.escapeTodo),   clean(parts.escapeClose),
                          clean(parts.escapePostfix)};
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
  cleanParts.prefixBytes = prefixBytes;
  cleanParts.postfixBytes = texts.size() - prefixBytes;
  line = std::move(texts);
  const Layout cleaned{cleanParts,           layout.fixed, layout.width,
                       layout.indeterminate, layout.phase, layout.barColumns};
  layoutValid(line, cleaned, measureParts(line, cleanParts, layout.fixed.measure));
}

}  // namespace

namespace {

// Keeps the parts of a line in `source`, reusing its texts.
void capture(LineSource& source, const Text& line, const LineParts& parts, const LineContext& bar) {
  source.prefix.assign(line.data(), parts.prefixBytes);
  source.postfix.assign(line.data() + parts.prefixBytes, parts.postfixBytes);
  const std::string_view escapes[] = {parts.escapePrefix,  parts.escapeOpen, parts.escapeDone,
                                      parts.escapeCurrent, parts.escapeTodo, parts.escapeClose,
                                      parts.escapePostfix};
  for (std::size_t i = 0; i < 7; ++i) source.escapes[i].assign(escapes[i]);
  source.width = parts.width;
  source.followsTerminal = parts.followsTerminal;
  source.progressDone = parts.progressDone;
  source.progressTodo = parts.progressTodo;
  source.indeterminate = bar.indeterminate;
  source.phase = bar.phase;
}

void layoutSourceWith(Text& out, const LineSource& source, const FixedParts& fixed,
                      std::int64_t width, std::int64_t barColumns, std::size_t prefixColumns,
                      std::size_t postfixColumns) {
  const auto padded = [&](const Text& text, std::size_t columns) {
    out += text;
    const std::size_t has = measure(text, fixed.measure).length;
    if (has < columns) out.append(columns - has, ' ');
  };
  out.clear();
  padded(source.prefix, prefixColumns);
  const std::size_t prefixBytes = out.size();
  const std::size_t postfixStart = out.size();
  padded(source.postfix, postfixColumns);
  const std::size_t pad = out.size() - postfixStart - source.postfix.size();
  const LineParts parts{.escapePrefix = source.escapes[0],
                        .escapeOpen = source.escapes[1],
                        .escapeDone = source.escapes[2],
                        .escapeCurrent = source.escapes[3],
                        .escapeTodo = source.escapes[4],
                        .escapeClose = source.escapes[5],
                        .escapePostfix = source.escapes[6],
                        .prefixBytes = prefixBytes,
                        .postfixBytes = out.size() - prefixBytes,
                        .width = source.width,
                        .followsTerminal = source.followsTerminal,
                        .progressDone = source.progressDone,
                        .progressTodo = source.progressTodo};
  layoutWith(out, Layout{parts, fixed, width, source.indeterminate, source.phase, barColumns});
  // The postfix's padding ends the line: it takes its columns, not its bytes.
  if (pad != 0 && out.size() >= pad &&
      out.find_first_not_of(' ', out.size() - pad) == std::string::npos) {
    out.resize(out.size() - pad);
  }
}

}  // namespace

void layoutSource(Text& out, const LineSource& source, const FixedParts& fixed,
                  std::optional<std::int64_t> terminalWidth, std::size_t prefixColumns,
                  std::size_t postfixColumns) {
  const std::int64_t width =
      source.followsTerminal && terminalWidth ? *terminalWidth : source.width;
  layoutSourceWith(out, source, fixed, width, -1, prefixColumns, postfixColumns);
}

void layoutSourceBar(Text& out, const LineSource& source, const FixedParts& fixed,
                     std::int64_t barColumns, std::size_t prefixColumns,
                     std::size_t postfixColumns) {
  layoutSourceWith(out, source, fixed, source.width, std::max<std::int64_t>(barColumns, 0),
                   prefixColumns, postfixColumns);
}

void layoutLine(Text& line, const LineParts& parts) {
  if (parts.context != nullptr) {
    const auto& bar = *static_cast<const LineContext*>(parts.context);
    if (bar.capture != nullptr) {
      capture(*bar.capture, line, parts, bar);
      return;
    }
    const std::int64_t width =
        parts.followsTerminal && bar.terminalWidth ? *bar.terminalWidth : parts.width;
    layoutWith(line, Layout{parts, *bar.fixed, width, bar.indeterminate, bar.phase, -1});
    return;
  }
  const FixedParts fixed(parts.open, parts.close, parts.done, parts.current, parts.todo,
                         Measure::kCodePoints);
  layoutWith(line, Layout{parts, fixed, parts.width, false, 0, -1});
}

}  // namespace System::ProgressBar::detail
