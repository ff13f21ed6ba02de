// Styles and the line renderer: how a bar looks, and the pure function that
// turns a style, a progress and a timing into one line of text.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <variant>

#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar {

/// The line is n characters wide whatever the terminal.
struct ConstantWidth {
  std::int64_t n;
};

/// The line is as wide as the terminal on standard output, asked once when a
/// bar is created; n is the fallback when standard output is not a terminal.
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

/// How a bar looks and ends. Start from `defStyle()` and replace fields:
///
///   Style<> s = defStyle();
///   s.styleDone = U'█';
///   s.stylePrefix = "Copying";
///   s.styleWidth = ConstantWidth{60};
///
/// Characters are single code points (surrogates and values above U+10FFFF
/// are drawn as U+FFFD). All callables must be copyable and may be called any
/// number of times, from whichever thread draws.
template <class Custom = std::monostate>
struct Style {
  Text styleOpen;                      ///< left end of the bar proper
  Text styleClose;                     ///< right end of the bar proper
  char32_t styleDone;                  ///< fills the completed part
  char32_t styleCurrent;               ///< marks the current position
  char32_t styleTodo;                  ///< fills the remaining part
  Label<Custom> stylePrefix;           ///< shown before the bar, then a space
  Label<Custom> stylePostfix;          ///< shown after the bar, after a space
  ProgressBarWidth styleWidth;         ///< width of the whole visible line
  Escape<Custom> styleEscapeOpen;      ///< written before the open text
  Escape<Custom> styleEscapeClose;     ///< written before the close text
  Escape<Custom> styleEscapeDone;      ///< written before the done run
  Escape<Custom> styleEscapeCurrent;   ///< written before the current mark
  Escape<Custom> styleEscapeTodo;      ///< written before the todo run
  Escape<Custom> styleEscapePrefix;    ///< written at the very start
  Escape<Custom> styleEscapePostfix;   ///< written before the postfix gap
  OnComplete styleOnComplete;          ///< what completion does to the line
};

/// The default style: "[", "]", '=', '>', '.', no prefix, `percentage` as
/// postfix, `TerminalWidth{50}`, empty escapes, `WriteNewline`. Renders as
/// "[===>.........]  30%" at width 20 on 3 of 10.
template <class Custom = std::monostate>
Style<Custom> defStyle() {
  const Escape<Custom> none = [](const Progress<Custom>&) { return Text(); };
  return Style<Custom>{"[",  "]",  U'=', U'>', U'.', emptyLabel<Custom>(), percentage<Custom>(),
                       TerminalWidth{50}, none, none, none, none, none, none, none,
                       WriteNewline};
}

namespace detail {

// The plain values of one line, handed to the compiled renderer.
struct LineParts {
  std::string_view escapePrefix, prefix, escapeOpen, open, escapeDone, escapeCurrent,
      escapeTodo, escapeClose, close, escapePostfix, postfix;
  char32_t done, current, todo;
  std::int64_t width;
  std::int64_t progressDone, progressTodo;
};

Text renderLine(const LineParts& parts);

inline std::int64_t widthOf(const ProgressBarWidth& width) noexcept {
  return std::visit([](auto w) { return w.n; }, width);
}

}  // namespace detail

/// Renders one bar line: prefix label, bar proper, postfix label, with a space
/// beside each non-empty label and the escape texts in place. The bar proper
/// fills the rest of the style's width n, so the visible line (escapes not
/// counted) is n code points long whenever there is room for at least one cell
/// and done is not negative. Runs each label and escape once; writes nothing,
/// takes no lock. Failures of the style's callables propagate; a width too
/// large for memory throws `std::length_error` or `std::bad_alloc`.
template <class Custom>
Text renderProgressBar(const Style<Custom>& style, const Progress<Custom>& progress,
                       const Timing& timing) {
  const Text prefix = style.stylePrefix.runLabel(progress, timing);
  const Text postfix = style.stylePostfix.runLabel(progress, timing);
  const Text escapePrefix = style.styleEscapePrefix(progress);
  const Text escapeOpen = style.styleEscapeOpen(progress);
  const Text escapeDone = style.styleEscapeDone(progress);
  const Text escapeCurrent = style.styleEscapeCurrent(progress);
  const Text escapeTodo = style.styleEscapeTodo(progress);
  const Text escapeClose = style.styleEscapeClose(progress);
  const Text escapePostfix = style.styleEscapePostfix(progress);
  return detail::renderLine({escapePrefix, prefix, escapeOpen, style.styleOpen, escapeDone,
                             escapeCurrent, escapeTodo, escapeClose, style.styleClose,
                             escapePostfix, postfix, style.styleDone, style.styleCurrent,
                             style.styleTodo, detail::widthOf(style.styleWidth),
                             progress.progressDone, progress.progressTodo});
}

}  // namespace System::ProgressBar
