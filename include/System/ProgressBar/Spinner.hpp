// Motion for work whose total is not known: a spinner label. The style for
// such bars, `spinnerStyle`, is with the other style presets in
// Template.hpp, which this header brings too.
//
//   style.stylePrefix = pb::spinner(pb::SpinnerFrames::Ascii) + " " + pb::count();
#pragma once

#include <cstdint>
#include <vector>

#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

/// The stock spinner frames: ASCII `|/-\` and a Unicode braille set.
enum class SpinnerFrames {
  Ascii,
  Braille,
};

namespace detail {
// Compiled helpers of this header.
std::vector<Text> spinnerFrames(SpinnerFrames frames);
// The frame shown at a timing: one step of `stepNs` per frame, in a loop.
std::size_t spinnerFrameAt(const Timing& timing, std::int64_t stepNs, std::size_t frames) noexcept;
}  // namespace detail

/// A label that shows one of `frames` in turn, one per `step` of elapsed time,
/// so that it moves whenever the bar is redrawn (on updates, or on a
/// `Ticker`).
template <class Custom = std::monostate>
Label<Custom> spinner(std::vector<Text> frames,
                      std::chrono::nanoseconds step = std::chrono::milliseconds(100)) {
  if (frames.empty()) frames.emplace_back();
  auto shown = [frames = std::move(frames), step = step.count()](Text& out, const Progress<Custom>&,
                                                                 const Timing& t) {
    out += frames[detail::spinnerFrameAt(t, step, frames.size())];
  };
  return Label<Custom>(
      detail::makeNode<detail::AppendingNode<Custom, decltype(shown)>>(std::move(shown)));
}

/// A spinner with the stock frames.
template <class Custom = std::monostate>
Label<Custom> spinner(SpinnerFrames frames = SpinnerFrames::Braille,
                      std::chrono::nanoseconds step = std::chrono::milliseconds(100)) {
  return spinner<Custom>(detail::spinnerFrames(frames), step);
}

PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> spinner<std::monostate>(std::vector<Text>,
                                                                          std::chrono::nanoseconds);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> spinner<std::monostate>(SpinnerFrames,
                                                                          std::chrono::nanoseconds);

}  // namespace System::ProgressBar

// The style presets, `spinnerStyle` among them, for the programs that look
// for it here. Last: they build on the spinner above.
#include "System/ProgressBar/Template.hpp"
