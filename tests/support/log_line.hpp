// A bar's line as a display's log writes it, made from the line a bar alone
// draws: the bar proper 30 columns wide whatever the style's width and the
// labels, and nothing blank at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "System/ProgressBar/Style.hpp"

namespace testsupport {

inline constexpr std::int64_t kLogBar = 30;

template <class Custom>
std::string logLine(System::ProgressBar::Style<Custom> style,
                    const System::ProgressBar::Progress<Custom>& progress,
                    const System::ProgressBar::Timing& timing = {}) {
  namespace pb = System::ProgressBar;
  // The labels, their gaps and the bar's ends alone, in code points.
  style.styleWidth = pb::ConstantWidth{0};
  std::int64_t bare = 0;
  for (const char c : pb::renderProgressBar(style, progress, timing)) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++bare;
  }
  style.styleWidth = pb::ConstantWidth{bare + kLogBar};
  std::string line = pb::renderProgressBar(style, progress, timing);
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

}  // namespace testsupport
