#include "display/screen_text.hpp"

#include "label/text.hpp"

namespace System::ProgressBar::detail {

std::size_t appendCut(Text& out, std::string_view row, std::int64_t width) {
  std::size_t columns = 0;
  bool full = false;
  while (!row.empty()) {
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

void appendPlain(Text& out, std::string_view line, bool escapes) {
  while (!line.empty()) {
    const auto c = static_cast<unsigned char>(line[0]);
    if (c == 0x1B) {
      const std::size_t n = escapeSequenceLength(line);
      if (escapes) out.append(line.data(), n);
      line.remove_prefix(n);
      continue;
    }
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      line.remove_prefix(1);
      continue;
    }
    out.push_back(static_cast<char>(c));
    line.remove_prefix(1);
  }
}

}  // namespace System::ProgressBar::detail
