// Internal text helpers shared by labels and the renderer: UTF-8 decoding,
// code-point counting and decimal formatting. Do not include from public headers.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "System/ProgressBar/Progress.hpp"

namespace System::ProgressBar::detail {

inline constexpr char32_t kReplacement = U'\uFFFD';

// Appends the UTF-8 form of `cp`; surrogates and values above U+10FFFF are
// written as U+FFFD.
void appendCodePoint(std::string& out, char32_t cp);

// The number of code points in `text`, each maximal ill-formed subsequence of
// malformed UTF-8 counting as one (as it would once replaced by U+FFFD).
std::size_t codePointCount(std::string_view text) noexcept;

// Decimal form of a 64-bit integer into a caller's buffer; returns the length.
inline constexpr std::size_t kDecimalBuffer = 20;
inline std::size_t formatDecimal(char (&buffer)[kDecimalBuffer], std::int64_t value) noexcept {
  return static_cast<std::size_t>(std::to_chars(buffer, buffer + kDecimalBuffer, value).ptr -
                                  buffer);
}

}  // namespace System::ProgressBar::detail
