// The styles most tests draw with.
#pragma once

#include <cstdint>

#include "System/ProgressBar/Style.hpp"

namespace testsupport {

// defStyle with a constant width, and optionally another completion.
inline System::ProgressBar::Style<> styleOfWidth(
    std::int64_t n,
    System::ProgressBar::OnComplete onComplete = System::ProgressBar::WriteNewline) {
  System::ProgressBar::Style<> s = System::ProgressBar::defStyle();
  s.styleWidth = System::ProgressBar::ConstantWidth{n};
  s.styleOnComplete = onComplete;
  return s;
}

}  // namespace testsupport
