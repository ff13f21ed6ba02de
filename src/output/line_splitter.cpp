#include "output/line_splitter.hpp"

namespace System::ProgressBar::detail {

std::string_view LineSplitter::shown(std::string_view line) noexcept {
  if (line.ends_with('\r')) line.remove_suffix(1);
  const std::size_t cr = line.rfind('\r');
  return cr == std::string_view::npos ? line : line.substr(cr + 1);
}

std::size_t LineSplitter::cutAt(std::string_view line) noexcept {
  std::size_t cut = kMaxLine;
  if (cut >= line.size()) return line.size();
  // Back to the first byte of a UTF-8 character, unless there is none near.
  for (std::size_t back = 0; back < 4 && cut > 1; ++back) {
    if ((static_cast<unsigned char>(line[cut]) & 0xC0) != 0x80) break;
    --cut;
  }
  return cut;
}

}  // namespace System::ProgressBar::detail
