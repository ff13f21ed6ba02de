// Internal: the parts of a bar line that do not change from line to line.
// Do not include from public headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/detail/Line.hpp"
#include "base/text.hpp"

namespace System::ProgressBar::detail {

// Whether every byte of `text` is ASCII.
inline bool asciiOnly(std::string_view text) noexcept {
  unsigned char any = 0;
  for (const char c : text) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// A fill character in the bytes it is written as, with the spaces that widen
// it to a cell when the three characters differ in width.
struct EncodedCell {
  char bytes[8];
  std::uint8_t size;
};

// The texts of a style that do not change from line to line (the open and
// close texts, the three characters), validated, measured and encoded once:
// by a bar's sink when the bar is made, for a line rendered on its own once
// per line. Refers to the texts it is made from, which must outlive it.
class FixedParts {
  // The texts made valid, only when they were not (made before the views).
  Text cleanOpen_, cleanClose_;

 public:
  FixedParts(const FixedTexts& texts, Measure measure);
  FixedParts(const FixedParts&) = delete;
  FixedParts& operator=(const FixedParts&) = delete;

  std::size_t openLength = 0, closeLength = 0;
  std::string_view open, close;  // valid UTF-8: malformed bytes as U+FFFD
  EncodedCell done, current, todo;
  std::size_t cellColumns;  // 1, or in columns the widest of the three
  Measure measure;
};

// A bar's fixed texts, kept by its sink (in one place, which the measured
// parts refer to) for as long as the sink lays out its lines.
struct BarLook {
  BarLook(const FixedTexts& texts, Measure measure)
      : open(texts.open),
        close(texts.close),
        fixed(FixedTexts{open, close, texts.done, texts.current, texts.todo}, measure) {}
  BarLook(const BarLook&) = delete;
  BarLook& operator=(const BarLook&) = delete;

  const Text open, close;
  const FixedParts fixed;
};

}  // namespace System::ProgressBar::detail
