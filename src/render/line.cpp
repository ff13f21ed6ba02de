// The line renderer: lays out the sixteen pieces of a bar line.
#include "render/line.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

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

// A line as it is laid out: its labels, at the start of the buffer it is
// laid out in (the prefix, then the postfix), the source's other parts, and
// what the sink adds to them.
struct Layout {
  std::size_t prefixBytes, postfixBytes;
  std::string_view escapes[kLineEscapes];
  std::int64_t progressDone, progressTodo;
  bool indeterminate;
  std::int64_t phase;
  const FixedParts& fixed;
  std::int64_t width;
  // The columns of the bar proper between its open and close texts, whatever
  // the width and the labels; negative: what the width leaves them.
  std::int64_t barColumns;

  std::string_view escape(LineEscape which) const noexcept {
    return escapes[static_cast<std::size_t>(which)];
  }
};

Layout layoutOf(const LineSource& source, std::size_t prefixBytes, std::size_t postfixBytes,
                const FixedParts& fixed, std::int64_t width, std::int64_t barColumns) {
  Layout l{.prefixBytes = prefixBytes,
           .postfixBytes = postfixBytes,
           .escapes = {},
           .progressDone = source.progressDone,
           .progressTodo = source.progressTodo,
           .indeterminate = source.indeterminate,
           .phase = source.phase,
           .fixed = fixed,
           .width = width,
           .barColumns = barColumns};
  if (!source.escapeTexts.empty()) {
    for (std::size_t i = 0; i < kLineEscapes; ++i) {
      l.escapes[i] = source.escape(static_cast<LineEscape>(i));
    }
  }
  return l;
}

Fill fillFor(const Layout& l, std::int64_t cells) {
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
  const std::int64_t done = l.progressDone, todo = l.progressTodo;
  if (todo > 0 && done >= 0 && done <= todo && todo <= 0xFFFFFFFF && cells <= 0xFFFFFFFF) {
    // The usual case, 0 <= done <= todo < 2^32: done * cells fits 64 bits and
    // the quotient, at most cells, 32 bits.
    d = divideFits32(static_cast<std::uint64_t>(done) * static_cast<std::uint64_t>(cells),
                     static_cast<std::uint32_t>(todo));
  } else if (todo != 0) {
    d = static_cast<std::int64_t>(
        std::clamp(floorDiv(Int128{done} * cells, Int128{todo}), Int128{-cells}, Int128{cells}));
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

Lengths measureParts(const Text& line, const Layout& l) {
  const Measure how = l.fixed.measure;
  const Measured prefix = measureLabel(std::string_view(line.data(), l.prefixBytes), how);
  const Measured postfix =
      measureLabel(std::string_view(line.data() + l.prefixBytes, l.postfixBytes), how);
  bool valid = prefix.valid && postfix.valid;
  for (const std::string_view escape : l.escapes) {
    valid = valid && (escape.empty() || measure(escape, Measure::kCodePoints).valid);
  }
  return {prefix.length, postfix.length, valid};
}

// Lays out a line whose texts are all valid UTF-8.
void layoutValid(Text& line, const Layout& l, const Lengths& lengths) {
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

  const std::string_view escapePrefix = l.escape(LineEscape::kPrefix);
  const std::string_view escapeOpen = l.escape(LineEscape::kOpen);
  const std::string_view escapeDone = l.escape(LineEscape::kDone);
  const std::string_view escapeCurrent = l.escape(LineEscape::kCurrent);
  const std::string_view escapeTodo = l.escape(LineEscape::kTodo);
  const std::string_view escapeClose = l.escape(LineEscape::kClose);
  const std::string_view escapePostfix = l.escape(LineEscape::kPostfix);
  const EncodedCell& leftCell = fill.moving ? f.todo : f.done;
  const UInt128 fixedBytes = UInt128(escapePrefix.size()) + l.prefixBytes + prefixGap +
                             escapeOpen.size() + f.open.size() + escapeDone.size() +
                             escapeCurrent.size() + escapeTodo.size() +
                             (fill.moving ? escapeTodo.size() : 0) + escapeClose.size() +
                             f.close.size() + escapePostfix.size() + postfixGap + l.postfixBytes;
  const UInt128 bytes = fixedBytes + static_cast<UInt128>(fill.left) * leftCell.size +
                        (fill.mark ? f.current.size : 0) +
                        static_cast<UInt128>(fill.right) * f.todo.size + padding;
  if (bytes > line.max_size()) throw std::length_error("renderProgressBar: line too long");

  // Grow in place: move the postfix to the end and the prefix after its
  // escape, then write the middle.
  const std::size_t total = static_cast<std::size_t>(bytes);
  line.resize(total);
  char* const b = line.data();
  std::memmove(b + total - l.postfixBytes, b + l.prefixBytes, l.postfixBytes);
  std::memmove(b + escapePrefix.size(), b, l.prefixBytes);
  char* out = put(b, escapePrefix) + l.prefixBytes;
  if (prefixGap != 0) *out++ = ' ';
  out = put(out, escapeOpen);
  out = put(out, f.open);
  out = put(out, escapeDone);
  if (fill.moving) out = put(out, escapeTodo);
  out = writeRun(out, leftCell, static_cast<std::size_t>(fill.left));
  out = put(out, escapeCurrent);
  out = writeRun(out, f.current, fill.mark ? 1 : 0);
  out = put(out, escapeTodo);
  out = writeRun(out, f.todo, static_cast<std::size_t>(fill.right));
  std::memset(out, ' ', padding);
  out += padding;
  out = put(out, escapeClose);
  out = put(out, f.close);
  out = put(out, escapePostfix);
  if (postfixGap != 0) *out++ = ' ';
}

// Lays out `line`, which starts with the labels `layout` names.
void layoutWith(Text& line, const Layout& layout) {
  const Lengths lengths = measureParts(line, layout);
  if (lengths.valid) {
    layoutValid(line, layout, lengths);
    return;
  }
  // Rare: bytes that are not UTF-8. Write them as they were measured.
  const auto clean = [](std::string_view text) {
    Text out;
    appendValidUtf8(out, text);
    return out;
  };
  Text escapes[kLineEscapes];
  Layout cleaned = layout;
  for (std::size_t i = 0; i < kLineEscapes; ++i) {
    escapes[i] = clean(layout.escapes[i]);
    cleaned.escapes[i] = escapes[i];
  }
  Text texts = clean(std::string_view(line.data(), layout.prefixBytes));
  cleaned.prefixBytes = texts.size();
  texts += clean(std::string_view(line.data() + layout.prefixBytes, layout.postfixBytes));
  cleaned.postfixBytes = texts.size() - cleaned.prefixBytes;
  line = std::move(texts);
  layoutValid(line, cleaned, measureParts(line, cleaned));
}

}  // namespace

std::size_t lineBytes(std::int64_t width, char32_t done, char32_t current, char32_t todo) noexcept {
  const auto bytesOf = [](char32_t c) -> std::size_t {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  };
  const std::size_t cell = std::max({bytesOf(done), bytesOf(current), bytesOf(todo)});
  return static_cast<std::size_t>(std::clamp<std::int64_t>(width, 0, 4096)) * cell + 64;
}

void layoutSource(Text& out, const LineSource& source, const FixedParts& fixed,
                  const LineFit& fit) {
  const auto padded = [&](std::string_view text, std::size_t columns) {
    out += text;
    const std::size_t has = measure(text, fixed.measure).length;
    if (has < columns) out.append(columns - has, ' ');
  };
  out.clear();
  padded(source.prefix(), fit.prefixColumns);
  const std::size_t prefixBytes = out.size();
  const std::string_view postfix = source.postfix();
  padded(postfix, fit.postfixColumns);
  const std::size_t pad = out.size() - prefixBytes - postfix.size();
  const std::int64_t width =
      source.followsTerminal && fit.terminalWidth ? *fit.terminalWidth : source.width;
  layoutWith(out,
             layoutOf(source, prefixBytes, out.size() - prefixBytes, fixed, width, fit.barColumns));
  // The postfix's padding ends the line: it takes its columns, not its bytes.
  if (pad != 0 && out.size() >= pad &&
      out.find_first_not_of(' ', out.size() - pad) == std::string::npos) {
    out.resize(out.size() - pad);
  }
}

void layoutInPlace(LineSource& source, const FixedParts& fixed) {
  layoutWith(source.labels,
             layoutOf(source, source.prefixBytes, source.labels.size() - source.prefixBytes, fixed,
                      source.width, -1));
}

Text layoutLine(LineSource& source, const FixedTexts& texts) {
  const FixedParts fixed(texts, Measure::kCodePoints);
  layoutInPlace(source, fixed);
  return std::move(source.labels);
}

}  // namespace System::ProgressBar::detail
