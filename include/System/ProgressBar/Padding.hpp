// Padding a label to a steady width, so that the bar does not shift when a
// label grows or shrinks.
#pragma once

#include <cstdint>
#include <vector>

#include "System/ProgressBar/Label.hpp"

namespace System::ProgressBar {

/// What a width of padding counts: code points, as the renderer measures, or
/// terminal columns, as a display measures (a wide character takes two).
enum class PadUnit {
  CodePoints,
  Columns,
};

namespace detail {
// Compiled helper of this header: pads the text from byte `start` of `out` to
// `width` units, with spaces in front (left) or after it.
void padFrom(Text& out, std::size_t start, std::int64_t width, bool left, PadUnit unit);

// A label around another one's node: its text is the inner text as `f`
// changes it; it reads what the inner one reads.
template <class Custom, class F>
class AroundNode final : public LabelNode<Custom> {
 public:
  using CustomType = Custom;
  AroundNode(LabelNodePtr<Custom> inner, F f) : inner_(std::move(inner)), f_(std::move(f)) {}
  void appendTo(Text& out, const Progress<Custom>& p, const Timing& t) const override {
    f_(out, *inner_, p, t);
  }
  void halfLives(std::vector<std::int64_t>& out) const override { inner_->halfLives(out); }

 private:
  LabelNodePtr<Custom> inner_;
  F f_;
};

template <class Custom>
Label<Custom> paddedLabel(std::int64_t width, const Label<Custom>& label, bool left, PadUnit unit) {
  auto pad = [width, left, unit](Text& out, const LabelNode<Custom>& inner,
                                 const Progress<Custom>& p, const Timing& t) {
    const std::size_t start = out.size();
    inner.appendTo(out, p, t);
    detail::padFrom(out, start, width, left, unit);
  };
  return Label<Custom>(
      makeNode<AroundNode<Custom, decltype(pad)>>(detail::nodeOf(label), std::move(pad)));
}
}  // namespace detail

/// `label`'s text with spaces put in front up to `width` code points (or
/// columns), never cut: `padLeft(5, remainingTime(renderDuration, "?"))` keeps
/// the bar from shifting when "59" becomes "01:00".
template <class Custom>
Label<Custom> padLeft(std::int64_t width, const Label<Custom>& label,
                      PadUnit unit = PadUnit::CodePoints) {
  return detail::paddedLabel(width, label, true, unit);
}

/// `label`'s text with spaces put after it up to `width` code points (or
/// columns), never cut.
template <class Custom>
Label<Custom> padRight(std::int64_t width, const Label<Custom>& label,
                       PadUnit unit = PadUnit::CodePoints) {
  return detail::paddedLabel(width, label, false, unit);
}

PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> padLeft<std::monostate>(
    std::int64_t, const Label<std::monostate>&, PadUnit);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> padRight<std::monostate>(
    std::int64_t, const Label<std::monostate>&, PadUnit);

}  // namespace System::ProgressBar
