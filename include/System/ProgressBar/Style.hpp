// Styles and the line renderer: how a bar looks, and the pure function that
// turns a style, a progress and a timing into one line of text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
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

// A fill character in the bytes it is written as, with the spaces that widen
// it to a cell when the three characters differ in width.
struct EncodedCell {
  char bytes[8];
  std::uint8_t size;
};

// The texts of a style that do not change from line to line (the open and
// close texts, the three characters), validated, measured and encoded once:
// by a bar when it is made, by `renderProgressBar` once per line. Refers to
// the texts it is made from, which must outlive it.
class FixedParts {
  // The texts made valid, only when they were not (made before the views).
  Text cleanOpen_, cleanClose_;

 public:
  FixedParts(std::string_view open, std::string_view close, char32_t done, char32_t current,
             char32_t todo, Measure measure);
  FixedParts(const FixedParts&) = delete;
  FixedParts& operator=(const FixedParts&) = delete;

  std::size_t openLength = 0, closeLength = 0;
  std::string_view open, close;  // valid UTF-8: malformed bytes as U+FFFD
  EncodedCell done, current, todo;
  std::size_t cellColumns;  // 1, or in columns the widest of the three
  Measure measure;

  // About the bytes of a line `width` wide with short labels (widths beyond
  // a few thousand are not reserved for in full).
  std::size_t lineBytes(std::int64_t width) const noexcept {
    const std::size_t cell = std::max({done.size, current.size, todo.size});
    return static_cast<std::size_t>(std::clamp<std::int64_t>(width, 0, 4096)) * cell + 64;
  }
};

// The plain values of one line. The prefix and postfix texts are already in
// the line buffer, in that order; `layoutLine` lays the line out around them.
struct LineParts {
  std::string_view escapePrefix, escapeOpen, escapeDone, escapeCurrent, escapeTodo, escapeClose,
      escapePostfix;
  std::size_t prefixBytes = 0, postfixBytes = 0;
  const FixedParts* fixed = nullptr;
  std::int64_t width = 0;
  std::int64_t progressDone = 0, progressTodo = 0;
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

// Runs the escapes that `run` names into `texts`, and points `views` at them.
template <class Custom>
void runEscapes(std::string_view (&views)[7], EscapeTexts& texts, const Style<Custom>& style,
                const Progress<Custom>& p, unsigned run) {
  const std::pair<const Escape<Custom>*, Text*> escapes[] = {
      {&style.styleEscapePrefix, &texts.prefix},  {&style.styleEscapeOpen, &texts.open},
      {&style.styleEscapeDone, &texts.done},      {&style.styleEscapeCurrent, &texts.current},
      {&style.styleEscapeTodo, &texts.todo},      {&style.styleEscapeClose, &texts.close},
      {&style.styleEscapePostfix, &texts.postfix}};
  for (unsigned i = 0; i < 7; ++i) {
    if ((run & (1u << i)) == 0) continue;
    *escapes[i].second = (*escapes[i].first)(p);
    views[i] = *escapes[i].second;
  }
}

// Renders into `line`, reusing its storage and that of `escapes` (which may
// be null when `active` is 0). `fixed` holds the style's fixed texts, made
// for `options.measure`; `active` says which escapes to call (see
// activeEscapes). `postfix`, when given, stands in for the style's postfix
// label.
template <class Custom>
void renderInto(Text& line, EscapeTexts* escapes, const Style<Custom>& style,
                const FixedParts& fixed, unsigned active, const Progress<Custom>& progress,
                const Timing& timing, const RenderOptions& options,
                const Label<Custom>* postfix = nullptr) {
  line.clear();
  detail::appendLabelText(line, style.stylePrefix, progress, timing);
  const std::size_t prefixBytes = line.size();
  detail::appendLabelText(line, postfix != nullptr ? *postfix : style.stylePostfix, progress,
                          timing);
  std::string_view views[7] = {};
  if (const unsigned run = options.escapes ? active : 0; run != 0) {
    detail::runEscapes(views, *escapes, style, progress, run);
  }
  std::int64_t width = detail::widthOf(style.styleWidth);
  if (options.terminalWidth && std::holds_alternative<TerminalWidth>(style.styleWidth)) {
    width = *options.terminalWidth;
  }
  detail::layoutLine(line, LineParts{.escapePrefix = views[0],
                                     .escapeOpen = views[1],
                                     .escapeDone = views[2],
                                     .escapeCurrent = views[3],
                                     .escapeTodo = views[4],
                                     .escapeClose = views[5],
                                     .escapePostfix = views[6],
                                     .prefixBytes = prefixBytes,
                                     .postfixBytes = line.size() - prefixBytes,
                                     .fixed = &fixed,
                                     .width = width,
                                     .progressDone = progress.progressDone,
                                     .progressTodo = progress.progressTodo,
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
  const detail::FixedParts fixed(style.styleOpen, style.styleClose, style.styleDone,
                                 style.styleCurrent, style.styleTodo, detail::Measure::kCodePoints);
  // One allocation for the whole line, whatever the labels hold on the way.
  Text line;
  line.reserve(fixed.lineBytes(detail::widthOf(style.styleWidth)));
  const unsigned active = detail::activeEscapes(style);
  if (active == 0) {
    detail::renderInto(line, nullptr, style, fixed, 0, progress, timing, detail::RenderOptions{});
  } else {
    detail::EscapeTexts escapes;
    detail::renderInto(line, &escapes, style, fixed, active, progress, timing,
                       detail::RenderOptions{});
  }
  return line;
}

}  // namespace System::ProgressBar
