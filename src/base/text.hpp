// Internal: UTF-8 text as the labels, the renderer and a display measure it.
// Do not include from public headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace System::ProgressBar::detail {

// How text is measured.
enum class Measure {
  kCodePoints,  // the renderer's rule: every code point counts one
  kColumns,     // terminal columns: wide characters two, combining marks none
};

inline constexpr char32_t kReplacement = U'\uFFFD';

// Appends the UTF-8 form of `cp`; surrogates and values above U+10FFFF are
// written as U+FFFD.
void appendCodePoint(std::string& out, char32_t cp);

// The length of `text` in code points or in terminal columns, and whether it
// is valid UTF-8. A maximal ill-formed subsequence counts as the U+FFFD it is
// written as. In columns, escape sequences and control characters take none,
// wide East Asian characters and emoji two, combining marks none.
struct Measured {
  std::size_t length;
  bool valid;
};
Measured measure(std::string_view text, Measure how) noexcept;

inline std::size_t codePointCount(std::string_view text) noexcept {
  return measure(text, Measure::kCodePoints).length;
}

// Columns a single code point takes (0, 1 or 2).
std::size_t columnsOf(char32_t cp) noexcept;

// `bytes` with each maximal ill-formed subsequence replaced by U+FFFD.
void appendValidUtf8(std::string& out, std::string_view bytes);

// The length of the escape sequence at the start of `text` (which starts
// with ESC): CSI, OSC, or ESC and one byte.
std::size_t escapeSequenceLength(std::string_view text) noexcept;

// The length of the run of printable ASCII (0x20 to 0x7E) that starts
// `text`: one column a byte.
std::size_t printableAsciiPrefix(std::string_view text) noexcept;

// Decodes the code point at the start of non-empty `text`, valid or not
// (U+FFFD for a maximal ill-formed subsequence); returns its length in bytes.
std::size_t decode(std::string_view text, char32_t& cp) noexcept;

}  // namespace System::ProgressBar::detail
