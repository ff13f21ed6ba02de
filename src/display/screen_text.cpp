#include "display/screen_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "base/text.hpp"

namespace System::ProgressBar::detail {

RowShape shapeOf(std::string_view row) noexcept {
  RowShape shape{0, true};
  while (!row.empty()) {
    const std::size_t run = printableAsciiPrefix(row);
    shape.columns += run;
    row.remove_prefix(run);
    if (row.empty()) break;
    const auto c = static_cast<unsigned char>(row[0]);
    if (c == 0x1B) {
      row.remove_prefix(escapeSequenceLength(row));
    } else if (c < 0x20 || c == 0x7F) {
      shape.clean = false;
      row.remove_prefix(1);
    } else {
      char32_t cp;
      row.remove_prefix(decode(row, cp));
      shape.columns += columnsOf(cp);
    }
  }
  return shape;
}

namespace {

// The length of the unit `text` starts with: an escape sequence, a
// character, or a byte that is neither.
std::size_t unitLength(std::string_view text, char32_t& cp, bool& escape) noexcept {
  escape = text[0] == '\x1b';
  if (escape) return escapeSequenceLength(text);
  return decode(text, cp);
}

}  // namespace

namespace {

// The index of the first byte where `a` and `b` differ, or the length of the
// shorter when one starts the other: a word at a time.
std::size_t firstDifference(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + static_cast<std::size_t>(std::countr_zero(x ^ y) / 8);
      }
      break;
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

RowStart commonStart(std::string_view shown, std::string_view next) noexcept {
  // The rows are alike up to `alike` bytes; a unit of `next` is common when
  // it ends there or before.
  const std::size_t alike = firstDifference(shown, next);
  RowStart same{0, 0};  // the start before the last visible character seen
  RowStart at{0, 0};    // how far the rows are alike, in whole units
  while (at.bytes < alike) {
    // Printable ASCII in bulk: a unit and a column each byte.
    const std::size_t run = printableAsciiPrefix(next.substr(at.bytes, alike - at.bytes));
    if (run != 0) {
      at.bytes += run;
      at.columns += run;
      same = {at.bytes - 1, at.columns - 1};
      continue;
    }
    char32_t cp = 0;
    bool escape = false;
    const std::size_t n = unitLength(next.substr(at.bytes), cp, escape);
    if (at.bytes + n > alike) break;
    const std::size_t columns = escape ? 0 : columnsOf(cp);
    if (columns != 0) same = at;  // a boundary before a character that takes columns
    at.bytes += n;
    at.columns += columns;
  }
  // The rows differ here: a boundary as it is, unless what follows in
  // either is a mark that combines with the character before it.
  const auto startsFree = [](std::string_view rest) {
    if (rest.empty()) return true;
    char32_t cp = 0;
    bool escape = false;
    unitLength(rest, cp, escape);
    return escape || columnsOf(cp) != 0;
  };
  if (startsFree(next.substr(at.bytes)) && startsFree(shown.substr(at.bytes))) return at;
  return same;
}

void appendEscapes(Text& out, std::string_view text) {
  for (std::size_t i = text.find('\x1b'); i != std::string_view::npos; i = text.find('\x1b', i)) {
    const std::size_t n = escapeSequenceLength(text.substr(i));
    out.append(text.data() + i, n);
    i += n;
  }
}

std::size_t appendCut(Text& out, std::string_view row, std::int64_t width) {
  std::size_t columns = 0;
  bool full = false;
  while (!row.empty()) {
    if (!full) {  // printable ASCII in bulk, as much as fits
      const std::size_t run = printableAsciiPrefix(row);
      const std::int64_t room = width - static_cast<std::int64_t>(columns);
      const std::size_t take =
          room <= 0 ? 0 : std::min<std::size_t>(run, static_cast<std::size_t>(room));
      out.append(row.data(), take);
      columns += take;
      if (take < run) full = true;
      row.remove_prefix(run);
      if (row.empty()) break;
    }
    const auto c = static_cast<unsigned char>(row[0]);
    if (c == 0x1B) {
      const std::size_t n = escapeSequenceLength(row);
      out.append(row.data(), n);
      row.remove_prefix(n);
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      row.remove_prefix(1);
      continue;
    }
    char32_t cp;
    const std::size_t n = decode(row, cp);
    const std::size_t w = columnsOf(cp);
    if (!full && static_cast<std::int64_t>(columns + w) <= width) {
      out.append(row.data(), n);
      columns += w;
    } else {
      full = true;  // nothing visible after the first character that did not fit
    }
    row.remove_prefix(n);
  }
  return columns;
}

std::int64_t rowsMoved(std::string_view bytes) noexcept {
  std::int64_t rows = 0;
  while (!bytes.empty()) {
    const std::size_t next = bytes.find_first_of("\n\x1b");
    if (next == std::string_view::npos) break;
    bytes.remove_prefix(next);
    if (bytes[0] == '\n') {
      ++rows;
      bytes.remove_prefix(1);
      continue;
    }
    const std::size_t n = escapeSequenceLength(bytes);
    const std::string_view sequence = bytes.substr(0, n);
    bytes.remove_prefix(n);
    if (sequence.size() < 3 || sequence[1] != '[') continue;
    const char final = sequence.back();
    if (final != 'A' && final != 'B') continue;
    const std::string_view digits = sequence.substr(2, sequence.size() - 3);
    if (digits.find_first_not_of("0123456789") != std::string_view::npos) continue;
    std::int64_t count = 0;
    for (const char c : digits) count = std::min<std::int64_t>(count * 10 + (c - '0'), 1 << 20);
    if (count == 0) count = 1;
    rows += final == 'A' ? -count : count;
  }
  return rows;
}

std::int64_t appendPrinted(Text& out, std::string_view line, std::int64_t width, bool escapes) {
  width = std::max<std::int64_t>(width, 1);
  std::int64_t rows = 1, column = 0;
  const auto take = [&](std::int64_t columns) {
    if (column + columns > width) {
      ++rows;
      column = 0;
    }
    column += columns;
  };
  while (!line.empty()) {
    const std::size_t run = printableAsciiPrefix(line);
    for (std::size_t i = 0; i < run; ++i) take(1);
    out.append(line.data(), run);
    line.remove_prefix(run);
    if (line.empty()) break;
    const auto c = static_cast<unsigned char>(line[0]);
    if (c == 0x1B) {
      const std::size_t n = escapeSequenceLength(line);
      const std::string_view sequence = line.substr(0, n);
      const bool colourOrOsc =
          (sequence.size() >= 3 && sequence[1] == '[' && sequence.back() == 'm') ||
          (sequence.size() >= 2 && sequence[1] == ']');
      if (escapes && colourOrOsc) out += sequence;
      line.remove_prefix(n);
      continue;
    }
    if (c == '\t') {
      if (column >= width) {  // a tab after a full row starts the next
        ++rows;
        column = 0;
      }
      const std::int64_t stop = std::min<std::int64_t>(width, (column / 8 + 1) * 8);
      out.append(static_cast<std::size_t>(stop - column), ' ');
      column = stop;
      line.remove_prefix(1);
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      line.remove_prefix(1);
      continue;
    }
    char32_t cp;
    const std::size_t n = decode(line, cp);
    if (const std::size_t w = columnsOf(cp); w != 0) take(static_cast<std::int64_t>(w));
    out.append(line.data(), n);
    line.remove_prefix(n);
  }
  return rows;
}

void appendPlain(Text& out, std::string_view line, bool escapes) {
  while (!line.empty()) {
    // What is kept as it is goes in one piece: printable ASCII, tabs and the
    // bytes of characters beyond ASCII other than C1 controls.
    std::size_t run = 0;
    for (;;) {
      run += printableAsciiPrefix(line.substr(run));
      if (run == line.size()) break;
      const auto c = static_cast<unsigned char>(line[run]);
      if (c != '\t' && (c < 0x80 || c == 0xC2)) break;
      ++run;
    }
    out.append(line.data(), run);
    line.remove_prefix(run);
    if (line.empty()) break;
    const auto c = static_cast<unsigned char>(line[0]);
    if (c == 0x1B) {
      const std::size_t n = escapeSequenceLength(line);
      if (escapes) out.append(line.data(), n);
      line.remove_prefix(n);
      continue;
    }
    // C1 controls (U+0080 to U+009F) are controls too.
    if (c == 0xC2) {
      const bool control = line.size() >= 2 && static_cast<unsigned char>(line[1]) <= 0x9F &&
                           static_cast<unsigned char>(line[1]) >= 0x80;
      if (!control) out.push_back(static_cast<char>(c));
      line.remove_prefix(control ? 2 : 1);
      continue;
    }
    line.remove_prefix(1);  // a control character, or DEL
  }
}

Text plainText(std::string_view text) {
  Text plain;
  appendPlain(plain, text, false);
  return plain;
}

}  // namespace System::ProgressBar::detail
