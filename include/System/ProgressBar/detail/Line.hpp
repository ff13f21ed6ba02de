// Internal: one bar line before it is laid out, as the typed half of a bar
// renders it and every sink lays it out. Do not include this file directly;
// include System/ProgressBar/Style.hpp.
//
// The typed half runs the style's labels and escapes into a LineSource; the
// compiled code lays it out: a bar on a stream once, a display's row at each
// frame at its own width. Plain values only cross, as fmt's templates hand
// plain arguments to compiled code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

// The escapes of a line. Every list of escapes is indexed by this and
// iterates it; in an escape mask, bit i stands for the escape numbered i.
enum class LineEscape : unsigned { kPrefix, kOpen, kDone, kCurrent, kTodo, kClose, kPostfix };
inline constexpr std::size_t kLineEscapes = 7;

// A line before it is laid out. Its texts are reused from line to line.
struct LineSource {
  // The prefix label's text, then the postfix label's.
  Text labels;
  std::size_t prefixBytes = 0;
  // The texts of the escapes that run, one after another, and where each
  // ends, by LineEscape: an escape that is not run is empty.
  Text escapeTexts;
  std::size_t escapeEnds[kLineEscapes] = {};
  std::int64_t width = 0;
  bool followsTerminal = false;  // the style's width is a TerminalWidth
  // The counts the bar proper shows (a finished bar of unknown total: full).
  std::int64_t progressDone = 0, progressTodo = 0;
  // A bar whose total is not known: the mark moves across the bar, one cell
  // a step, at step `phase`.
  bool indeterminate = false;
  std::int64_t phase = 0;

  std::string_view prefix() const noexcept {
    return std::string_view(labels).substr(0, prefixBytes);
  }
  std::string_view postfix() const noexcept { return std::string_view(labels).substr(prefixBytes); }
  std::string_view escape(LineEscape which) const noexcept {
    const auto i = static_cast<std::size_t>(which);
    const std::size_t start = i == 0 ? 0 : escapeEnds[i - 1];
    return std::string_view(escapeTexts).substr(start, escapeEnds[i] - start);
  }

  // Member by member: std::swap would move every text through a temporary.
  friend void swap(LineSource& a, LineSource& b) noexcept {
    a.labels.swap(b.labels);
    std::swap(a.prefixBytes, b.prefixBytes);
    a.escapeTexts.swap(b.escapeTexts);
    std::swap(a.escapeEnds, b.escapeEnds);
    std::swap(a.width, b.width);
    std::swap(a.followsTerminal, b.followsTerminal);
    std::swap(a.progressDone, b.progressDone);
    std::swap(a.progressTodo, b.progressTodo);
    std::swap(a.indeterminate, b.indeterminate);
    std::swap(a.phase, b.phase);
  }
};

// A message of the caller's that finishing shows: in place of the postfix,
// or after it and a space.
struct PostfixMessage {
  std::string_view text;
  bool afterPostfix = false;
};

// The texts of a style that do not change from line to line.
struct FixedTexts {
  std::string_view open, close;
  char32_t done, current, todo;
};

// Compiled helpers of this header.
// Lays `source` out by the renderer's rules (lengths in code points, the
// style's width) and gives the line, made in the source's own label buffer.
// Text that is not valid UTF-8 is written as it was measured: each maximal
// ill-formed subsequence as U+FFFD. Throws std::length_error for a line too
// long for memory.
Text layoutLine(LineSource& source, const FixedTexts& fixed);
// About the bytes of a line of `width` with short labels (a width beyond a
// few thousand is not reserved for in full).
std::size_t lineBytes(std::int64_t width, char32_t done, char32_t current, char32_t todo) noexcept;

}  // namespace System::ProgressBar::detail
