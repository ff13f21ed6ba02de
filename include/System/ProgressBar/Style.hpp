// Styles and the line renderer: how a bar looks, and the pure function that
// turns a style, a progress and a timing into one line of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "System/ProgressBar/Counts.hpp"
#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/detail/Line.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

/// The line is n characters wide whatever the terminal.
struct ConstantWidth {
  std::int64_t n;
};

/// The line is as wide as the terminal: for a bar of its own, the terminal on
/// standard output, asked once when the bar is created; for a bar of a
/// `Display`, the display's terminal, asked again before each frame. n is the
/// width when there is no terminal to ask.
struct TerminalWidth {
  std::int64_t n;
};

/// The width policy of a line. The renderer treats both alternatives alike: it
/// uses the number they carry.
using ProgressBarWidth = std::variant<ConstantWidth, TerminalWidth>;

/// What the last draw does once the work is complete.
enum class OnComplete {
  WriteNewline,  ///< the finished line stays, followed by "\n"
  Clear,         ///< the line is erased: "\r\x1b[K"
};
using enum OnComplete;

/// A callable that gives escape text (colour sequences, say) for one element
/// of the line. Its text is written but never counted in the width.
template <class Custom = std::monostate>
using Escape = std::function<Text(const Progress<Custom>&)>;

namespace detail {
// The escape of the default style: no text, and never called by the renderer.
template <class Custom>
struct NoEscape {
  Text operator()(const Progress<Custom>&) const { return Text(); }
};
}  // namespace detail

/// How a bar looks and ends. Every field has the value `defStyle()` gives it,
/// so a style can name just what it changes:
///
///   Style<> s{.styleDone = U'█', .stylePrefix = "Copying"};
///   s.styleWidth = ConstantWidth{60};
///
/// Characters are single code points (surrogates and values above U+10FFFF
/// are drawn as U+FFFD). All callables must be copyable and may be called any
/// number of times, from whichever thread draws.
template <class Custom = std::monostate>
struct Style {
  Text styleOpen = "[";                               ///< left end of the bar proper
  Text styleClose = "]";                              ///< right end of the bar proper
  char32_t styleDone = U'=';                          ///< fills the completed part
  char32_t styleCurrent = U'>';                       ///< marks the current position
  char32_t styleTodo = U'.';                          ///< fills the remaining part
  Label<Custom> stylePrefix = emptyLabel<Custom>();   ///< shown before the bar, then a space
  Label<Custom> stylePostfix = percentage<Custom>();  ///< shown after the bar, after a space
  ProgressBarWidth styleWidth = TerminalWidth{50};    ///< width of the whole visible line
  Escape<Custom> styleEscapeOpen = detail::NoEscape<Custom>{};     ///< before the open text
  Escape<Custom> styleEscapeClose = detail::NoEscape<Custom>{};    ///< before the close text
  Escape<Custom> styleEscapeDone = detail::NoEscape<Custom>{};     ///< before the done run
  Escape<Custom> styleEscapeCurrent = detail::NoEscape<Custom>{};  ///< before the current mark
  Escape<Custom> styleEscapeTodo = detail::NoEscape<Custom>{};     ///< before the todo run
  Escape<Custom> styleEscapePrefix = detail::NoEscape<Custom>{};   ///< at the very start
  Escape<Custom> styleEscapePostfix = detail::NoEscape<Custom>{};  ///< before the postfix gap
  OnComplete styleOnComplete = WriteNewline;  ///< what completion does to the line
};

/// The default style: "[", "]", '=', '>', '.', no prefix, `percentage` as
/// postfix, `TerminalWidth{50}`, empty escapes, `WriteNewline`. Renders as
/// "[===>.........]  30%" at width 20 on 3 of 10. `Style<C>{}` is the same.
template <class Custom = std::monostate>
Style<Custom> defStyle() {
  return Style<Custom>{};
}

namespace detail {

inline std::int64_t widthOf(const ProgressBarWidth& width) noexcept {
  if (const auto* constant = std::get_if<ConstantWidth>(&width)) return constant->n;
  return std::get_if<TerminalWidth>(&width)->n;
}

// The style's escape for each LineEscape.
template <class Custom>
inline constexpr Escape<Custom> Style<Custom>::*kStyleEscapes[kLineEscapes] = {
    &Style<Custom>::styleEscapePrefix, &Style<Custom>::styleEscapeOpen,
    &Style<Custom>::styleEscapeDone,   &Style<Custom>::styleEscapeCurrent,
    &Style<Custom>::styleEscapeTodo,   &Style<Custom>::styleEscapeClose,
    &Style<Custom>::styleEscapePostfix};

// Which of a style's escapes are not the default's (as an escape mask): the
// others are never called. A bar works it out once, for the style it keeps;
// a line rendered on its own, at each line.
template <class Custom>
unsigned activeEscapes(const Style<Custom>& style) noexcept {
  unsigned mask = 0;
  for (std::size_t i = 0; i < kLineEscapes; ++i) {
    const Escape<Custom>& escape = style.*kStyleEscapes<Custom>[i];
    if (escape && escape.template target<NoEscape<Custom>>() == nullptr) mask |= 1u << i;
  }
  return mask;
}

// The style's texts that do not change from line to line.
template <class Custom>
FixedTexts fixedTexts(const Style<Custom>& style) noexcept {
  return {style.styleOpen, style.styleClose, style.styleDone, style.styleCurrent, style.styleTodo};
}

// Renders the parts of a line into `line`, reusing its texts: the labels run
// on `progress`, with `message` (when given) in the postfix's place or after
// it; the escapes that `run` names, and the bar proper, on `shown` (the
// same, but for a finished bar of unknown total, which shows a full bar).
// The escapes `run` leaves out are empty. The mark does not move: a bar of
// unknown total sets that itself.
template <class Custom>
void renderParts(LineSource& line, const Style<Custom>& style, const Progress<Custom>& progress,
                 const Progress<Custom>& shown, const Timing& timing, unsigned run,
                 const PostfixMessage* message) {
  Text& labels = line.labels;
  labels.clear();
  detail::appendLabelText(labels, style.stylePrefix, progress, timing);
  line.prefixBytes = labels.size();
  if (message == nullptr) {
    detail::appendLabelText(labels, style.stylePostfix, progress, timing);
  } else {
    if (message->afterPostfix) {
      detail::appendLabelText(labels, style.stylePostfix, progress, timing);
      labels += ' ';
    }
    labels += message->text;
  }
  // With no escape to run and none run before, every escape is empty as it is.
  if (run != 0 || !line.escapeTexts.empty()) {
    line.escapeTexts.clear();
    for (std::size_t i = 0; i < kLineEscapes; ++i) {
      if ((run & (1u << i)) != 0) line.escapeTexts += (style.*kStyleEscapes<Custom>[i])(shown);
      line.escapeEnds[i] = line.escapeTexts.size();
    }
  }
  line.width = detail::widthOf(style.styleWidth);
  line.followsTerminal = std::holds_alternative<TerminalWidth>(style.styleWidth);
  line.progressDone = shown.progressDone;
  line.progressTodo = shown.progressTodo;
  line.indeterminate = false;
  line.phase = 0;
}

}  // namespace detail

/// Renders one bar line: prefix label, bar proper, postfix label, with a space
/// beside each non-empty label and the escape texts in place. The bar proper
/// fills the rest of the style's width n, so the visible line (escapes not
/// counted) is n code points long whenever there is room for at least one cell
/// and done is not negative; with a negative done count the bar proper has
/// more cells (up to twice as many). Runs each label and escape once; writes
/// nothing, takes no lock. Text that is not valid UTF-8 comes out with each
/// malformed sequence replaced by U+FFFD, counted as one. Failures of the
/// style's callables propagate; a width too large for memory throws
/// `std::length_error` or `std::bad_alloc`.
template <class Custom>
Text renderProgressBar(const Style<Custom>& style, const Progress<Custom>& progress,
                       const Timing& timing) {
  detail::LineSource line;
  // One allocation for the whole line, whatever the labels hold on the way:
  // the line is laid out where its labels are.
  line.labels.reserve(detail::lineBytes(detail::widthOf(style.styleWidth), style.styleDone,
                                        style.styleCurrent, style.styleTodo));
  detail::renderParts(line, style, progress, progress, timing, detail::activeEscapes(style),
                      nullptr);
  return detail::layoutLine(line, detail::fixedTexts(style));
}

PROGRESSBAR_EXTERN_TEMPLATE Style<std::monostate> defStyle<std::monostate>();

}  // namespace System::ProgressBar
