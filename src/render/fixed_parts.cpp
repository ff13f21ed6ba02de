// The fixed parts of a bar line: its open and close texts made valid and
// measured, its three characters encoded as cells.
#include "render/fixed_parts.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace System::ProgressBar::detail {
namespace {

// One fill character, with the spaces that widen it to a cell of
// `cellColumns` (only in columns, when the three characters differ in width).
// The bytes are put together in a register and stored at once: storing them
// one by one and reading the cell back whole would stall on each line.
EncodedCell encodeCell(char32_t cp, std::size_t cellColumns, Measure how) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
  std::uint64_t packed;
  unsigned size;
  if (cp < 0x80) {
    packed = cp;
    size = 1;
  } else if (cp < 0x800) {
    packed = (0xC0 | (cp >> 6)) | (std::uint64_t{0x80 | (cp & 0x3F)} << 8);
    size = 2;
  } else if (cp < 0x10000) {
    packed = (0xE0 | (cp >> 12)) | (std::uint64_t{0x80 | ((cp >> 6) & 0x3F)} << 8) |
             (std::uint64_t{0x80 | (cp & 0x3F)} << 16);
    size = 3;
  } else {
    packed = (0xF0 | (cp >> 18)) | (std::uint64_t{0x80 | ((cp >> 12) & 0x3F)} << 8) |
             (std::uint64_t{0x80 | ((cp >> 6) & 0x3F)} << 16) |
             (std::uint64_t{0x80 | (cp & 0x3F)} << 24);
    size = 4;
  }
  if (how == Measure::kColumns) {
    const std::size_t own = std::max<std::size_t>(1, columnsOf(cp));
    for (std::size_t pad = own; pad < cellColumns && size < 8; ++pad, ++size) {
      packed |= std::uint64_t{' '} << (8 * size);
    }
  }
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  if constexpr (std::endian::native == std::endian::big) packed = __builtin_bswap64(packed);
  EncodedCell cell;
  std::memcpy(cell.bytes, &packed, sizeof packed);
  cell.size = static_cast<std::uint8_t>(size);
  return cell;
}

// The text as it is measured: itself when valid, else with U+FFFD in place
// of each malformed sequence, kept in `storage`.
std::string_view validated(std::string_view text, Measure how, std::size_t& length, Text& storage) {
  const Measured m = measure(text, how);
  length = m.length;
  if (m.valid) return text;
  appendValidUtf8(storage, text);
  return storage;
}

}  // namespace

FixedParts::FixedParts(const FixedTexts& texts, Measure how) : cellColumns(1), measure(how) {
  // The usual style, counted in code points: ASCII throughout, one byte each.
  if (how == Measure::kCodePoints && (texts.done | texts.current | texts.todo) < 0x80 &&
      asciiOnly(texts.open) && asciiOnly(texts.close)) {
    open = texts.open;
    close = texts.close;
    openLength = texts.open.size();
    closeLength = texts.close.size();
    done.bytes[0] = static_cast<char>(texts.done);
    current.bytes[0] = static_cast<char>(texts.current);
    todo.bytes[0] = static_cast<char>(texts.todo);
    done.size = current.size = todo.size = 1;
    return;
  }
  open = validated(texts.open, how, openLength, cleanOpen_);
  close = validated(texts.close, how, closeLength, cleanClose_);
  if (how == Measure::kColumns) {
    cellColumns = std::max(
        {std::size_t{1}, columnsOf(texts.done), columnsOf(texts.current), columnsOf(texts.todo)});
  }
  done = encodeCell(texts.done, cellColumns, how);
  current = encodeCell(texts.current, cellColumns, how);
  todo = encodeCell(texts.todo, cellColumns, how);
}

}  // namespace System::ProgressBar::detail
