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

// The escape texts of one line; a bar keeps its own, so that a draw
// allocates nothing.
struct EscapeTexts {
  Text prefix, open, done, current, todo, close, postfix;
};

// The plain values of one line. The prefix and postfix texts are already in
// the line buffer, in that order; `layoutLine` lays the line out around them.
struct LineParts {
  std::string_view escapePrefix{}, escapeOpen{}, escapeDone{}, escapeCurrent{}, escapeTodo{},
      escapeClose{}, escapePostfix{};
  std::size_t prefixBytes = 0, postfixBytes = 0;
  // The style's fixed texts; a bar's context holds them measured already.
  std::string_view open{}, close{};
  char32_t done = U'=', current = U'>', todo = U'.';
  std::int64_t width = 0;
  bool followsTerminal = false;  // a TerminalWidth, which a bar's context may set
  std::int64_t progressDone = 0, progressTodo = 0;
  // A bar's own: how its output measures and draws (compiled); null for a
  // line rendered on its own, by the renderer's rules.
  const void* context = nullptr;
};

// Compiled helper of this header: turns `line` (prefix text then postfix
// text) into the whole line. Text that is not valid UTF-8 is written as it
// was measured: each maximal ill-formed subsequence as U+FFFD. Throws
// std::length_error for a line too long for memory.
void layoutLine(Text& line, const LineParts& parts);
// About the bytes of a line of `width` with short labels (a width beyond a
// few thousand is not reserved for in full).
std::size_t lineBytes(std::int64_t width, char32_t done, char32_t current, char32_t todo) noexcept;

inline std::int64_t widthOf(const ProgressBarWidth& width) noexcept {
  if (const auto* constant = std::get_if<ConstantWidth>(&width)) return constant->n;
  return std::get_if<TerminalWidth>(&width)->n;
}

// Which of a style's seven escapes are not the default's: the others are
// never called. A bar works it out once, for the style it keeps; a line
// rendered on its own, at each line.
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

// Renders a line into `line`, reusing its storage and that of `escapes`
// (which only the escapes that `run` names need, so that it may be empty
// texts in an empty box when run is 0): the
// labels (`postfix` in the place of the style's postfix) run on `progress`;
// the escapes that `run` names, and the bar proper, on `shown` (the same, but
// for a finished bar of unknown total, which shows a full bar).
template <class Custom>
void renderParts(Text& line, EscapeTexts* escapes, const Style<Custom>& style,
                 const Label<Custom>& postfix, const Progress<Custom>& progress,
                 const Progress<Custom>& shown, const Timing& timing, unsigned run,
                 const void* context) {
  line.clear();
  detail::appendLabelText(line, style.stylePrefix, progress, timing);
  const std::size_t prefixBytes = line.size();
  detail::appendLabelText(line, postfix, progress, timing);
  LineParts parts{.prefixBytes = prefixBytes,
                  .postfixBytes = line.size() - prefixBytes,
                  .open = style.styleOpen,
                  .close = style.styleClose,
                  .done = style.styleDone,
                  .current = style.styleCurrent,
                  .todo = style.styleTodo,
                  .width = detail::widthOf(style.styleWidth),
                  .followsTerminal = std::holds_alternative<TerminalWidth>(style.styleWidth),
                  .progressDone = shown.progressDone,
                  .progressTodo = shown.progressTodo,
                  .context = context};
  if (run != 0) {  // only the escapes that run have text
    const Escape<Custom>* const calls[] = {&style.styleEscapePrefix, &style.styleEscapeOpen,
                                           &style.styleEscapeDone,   &style.styleEscapeCurrent,
                                           &style.styleEscapeTodo,   &style.styleEscapeClose,
                                           &style.styleEscapePostfix};
    Text* const texts[] = {&escapes->prefix, &escapes->open,  &escapes->done,   &escapes->current,
                           &escapes->todo,   &escapes->close, &escapes->postfix};
    std::string_view* const views[] = {&parts.escapePrefix,  &parts.escapeOpen, &parts.escapeDone,
                                       &parts.escapeCurrent, &parts.escapeTodo, &parts.escapeClose,
                                       &parts.escapePostfix};
    for (unsigned i = 0; i < 7; ++i) {
      if ((run & (1u << i)) == 0) continue;
      *texts[i] = (*calls[i])(shown);
      *views[i] = *texts[i];
    }
  }
  detail::layoutLine(line, parts);
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
  line.reserve(detail::lineBytes(detail::widthOf(style.styleWidth), style.styleDone,
                                 style.styleCurrent, style.styleTodo));
  const unsigned active = detail::activeEscapes(style);
  if (active == 0) {
    detail::renderParts(line, nullptr, style, style.stylePostfix, progress, progress, timing, 0,
                        nullptr);
  } else {
    detail::EscapeTexts escapes;
    detail::renderParts(line, &escapes, style, style.stylePostfix, progress, progress, timing,
                        active, nullptr);
  }
  return line;
}

PROGRESSBAR_EXTERN_TEMPLATE Style<std::monostate> defStyle<std::monostate>();

}  // namespace System::ProgressBar
