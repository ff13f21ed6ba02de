// The spinner's frames.
#include "System/ProgressBar/Spinner.hpp"

#include "base/arithmetic.hpp"

namespace System::ProgressBar::detail {

std::vector<Text> spinnerFrames(SpinnerFrames frames) {
  if (frames == SpinnerFrames::Ascii) return {"|", "/", "-", "\\"};
  return {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
}

std::size_t spinnerFrameAt(const Timing& timing, std::int64_t stepNs, std::size_t frames) noexcept {
  if (stepNs <= 0 || frames == 0) return 0;
  const Int128 steps =
      floorDiv(nanosecondsBetween(timing.timingStart, timing.timingLastUpdate), stepNs);
  const Int128 count = static_cast<Int128>(frames);
  return static_cast<std::size_t>(((steps % count) + count) % count);
}

}  // namespace System::ProgressBar::detail
