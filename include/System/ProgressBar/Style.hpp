// Styles and the line renderer: how a bar looks, and the pure function that
// turns a style, a progress and a timing into one line of text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <variant>

#include "System/ProgressBar/Counts.hpp"
#include "System/ProgressBar/Label.hpp"
#include "System/ProgressBar/Progress.hpp"

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

// Compiled helpers of this header.
enum class Measure {
  kCodePoints,  // the renderer's rule: every code point counts one
  kColumns,     // terminal columns: wide characters two, combining marks none
};

// The plain values of one line. The prefix and postfix texts are already in
// the line buffer, in that order; `layoutLine` lays the line out around them.
struct LineParts {
  std::string_view escapePrefix, escapeOpen, open, escapeDone, escapeCurrent, escapeTodo,
      escapeClose, close, escapePostfix;
  std::size_t prefixBytes = 0, postfixBytes = 0;
  char32_t done = U'=', current = U'>', todo = U'.';
  std::int64_t width = 0;
  std::int64_t progressDone = 0, progressTodo = 0;
  Measure measure = Measure::kCodePoints;
  // A bar whose total is not known: the current mark moves across the bar,
  // one cell per step of `phase`, instead of the bar filling.
  bool indeterminate = false;
  std::int64_t phase = 0;
};

// Turns `line` (prefix text then postfix text) into the whole line. Text that
// is not valid UTF-8 is written as it was measured: each maximal ill-formed
// subsequence as U+FFFD. Throws std::length_error for a line too long for memory.
void layoutLine(Text& line, const LineParts& parts);

inline std::int64_t widthOf(const ProgressBarWidth& width) noexcept {
  return std::visit([](auto w) { return w.n; }, width);
}

// How a bar draws beyond the renderer's rules: a display measures columns,
// may leave out escapes, and gives `TerminalWidth` its own width.
struct RenderOptions {
  Measure measure = Measure::kCodePoints;
  bool escapes = true;
  std::optional<std::int64_t> terminalWidth = std::nullopt;
  bool indeterminate = false;
  std::int64_t phase = 0;
};

// The escape texts of one line; kept by a bar so that a draw allocates nothing.
struct EscapeTexts {
  Text prefix, open, done, current, todo, close, postfix;
};

// Which of a style's seven escapes are not the default's: the others are
// never called. A bar asks once, for the style it keeps.
template <class Custom>
unsigned activeEscapes(const Style<Custom>& style) noexcept {
  const Escape<Custom>* escapes[] = {&style.styleEscapePrefix, &style.styleEscapeOpen,
                                     &style.styleEscapeDone,   &style.styleEscapeCurrent,
                                     &style.styleEscapeTodo,   &style.styleEscapeClose,
                                     &style.styleEscapePostfix};
  unsigned mask = 0;
  for (unsigned i = 0; i < 7; ++i) {
    if (*escapes[i] && escapes[i]->template target<NoEscape<Custom>>() == nullptr) mask |= 1u << i;
  }
  return mask;
}

template <class Custom>
void runEscape(Text& out, const Escape<Custom>& escape, const Progress<Custom>& p, bool run) {
  out.clear();
  if (run) out = escape(p);
}

// Renders into `line`, reusing its storage and that of `escapes`. `postfix`,
// when given, stands in for the style's postfix label; `active` says which
// escapes to call (see activeEscapes).
template <class Custom>
void renderInto(Text& line, EscapeTexts& escapes, const Style<Custom>& style,
                const Progress<Custom>& progress, const Timing& timing,
                const RenderOptions& options, const Label<Custom>* postfix = nullptr,
                std::optional<unsigned> active = std::nullopt) {
  line.clear();
  detail::appendLabelText(line, style.stylePrefix, progress, timing);
  const std::size_t prefixBytes = line.size();
  detail::appendLabelText(line, postfix != nullptr ? *postfix : style.stylePostfix, progress,
                          timing);
  const unsigned run = options.escapes ? active.value_or(detail::activeEscapes(style)) : 0;
  detail::runEscape(escapes.prefix, style.styleEscapePrefix, progress, (run & 1u) != 0);
  detail::runEscape(escapes.open, style.styleEscapeOpen, progress, (run & 2u) != 0);
  detail::runEscape(escapes.done, style.styleEscapeDone, progress, (run & 4u) != 0);
  detail::runEscape(escapes.current, style.styleEscapeCurrent, progress, (run & 8u) != 0);
  detail::runEscape(escapes.todo, style.styleEscapeTodo, progress, (run & 16u) != 0);
  detail::runEscape(escapes.close, style.styleEscapeClose, progress, (run & 32u) != 0);
  detail::runEscape(escapes.postfix, style.styleEscapePostfix, progress, (run & 64u) != 0);
  std::int64_t width = detail::widthOf(style.styleWidth);
  if (options.terminalWidth && std::holds_alternative<TerminalWidth>(style.styleWidth)) {
    width = *options.terminalWidth;
  }
  detail::layoutLine(line, LineParts{.escapePrefix = escapes.prefix,
                                     .escapeOpen = escapes.open,
                                     .open = style.styleOpen,
                                     .escapeDone = escapes.done,
                                     .escapeCurrent = escapes.current,
                                     .escapeTodo = escapes.todo,
                                     .escapeClose = escapes.close,
                                     .close = style.styleClose,
                                     .escapePostfix = escapes.postfix,
                                     .prefixBytes = prefixBytes,
                                     .postfixBytes = line.size() - prefixBytes,
                                     .done = style.styleDone,
                                     .current = style.styleCurrent,
                                     .todo = style.styleTodo,
                                     .width = width,
                                     .progressDone = progress.progressDone,
                                     .progressTodo = progress.progressTodo,
                                     .measure = options.measure,
                                     .indeterminate = options.indeterminate,
                                     .phase = options.phase});
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
  Text line;
  // One allocation for the whole line, whatever the labels hold on the way.
  const auto bytesOf = [](char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  };
  const auto cell =
      std::max({bytesOf(style.styleDone), bytesOf(style.styleCurrent), bytesOf(style.styleTodo)});
  const std::int64_t width = std::clamp<std::int64_t>(detail::widthOf(style.styleWidth), 0, 4096);
  line.reserve(static_cast<std::size_t>(width * cell) + 64);
  detail::EscapeTexts escapes;
  detail::renderInto(line, escapes, style, progress, timing, detail::RenderOptions{});
  return line;
}

}  // namespace System::ProgressBar
