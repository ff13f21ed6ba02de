#include "label/text.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

#include "System/ProgressBar/Label.hpp"

namespace System::ProgressBar::detail {
namespace {

// Length of the well-formed sequence at the start of `s`, or 0 when it is
// ill-formed; `bad` then receives the length of the maximal ill-formed
// subsequence (the longest prefix of a well-formed sequence, at least 1).
std::size_t decodeOne(std::string_view s, std::size_t& bad, char32_t& cp) noexcept {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = at(0);
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t i = 1; i < need; ++i) {
    const bool inRange =
        i < s.size() && (i == 1 ? at(i) >= lo && at(i) <= hi : (at(i) & 0xC0) == 0x80);
    if (!inRange) {
      bad = i;
      return 0;
    }
    cp = (cp << 6) | (at(i) & 0x3F);
  }
  return need;
}

std::size_t asciiPrefix(std::string_view s) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

}  // namespace

void appendCodePoint(std::string& out, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
  char bytes[4];
  std::size_t n;
  if (cp < 0x80) {
    bytes[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

std::size_t codePointCount(std::string_view text) noexcept {
  std::size_t count = 0;
  while (!text.empty()) {
    const std::size_t ascii = asciiPrefix(text);
    count += ascii;
    text.remove_prefix(ascii);
    if (text.empty()) break;
    std::size_t bad = 0;
    char32_t cp;
    const std::size_t good = decodeOne(text, bad, cp);
    text.remove_prefix(good != 0 ? good : bad);
    ++count;
  }
  return count;
}

Text fromUtf8(std::string_view bytes) {
  Text out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const std::size_t ascii = asciiPrefix(bytes);
    out.append(bytes.data(), ascii);
    bytes.remove_prefix(ascii);
    if (bytes.empty()) break;
    std::size_t bad = 0;
    char32_t cp;
    if (const std::size_t good = decodeOne(bytes, bad, cp)) {
      out.append(bytes.data(), good);
      bytes.remove_prefix(good);
    } else {
      appendCodePoint(out, kReplacement);
      bytes.remove_prefix(bad);
    }
  }
  return out;
}

Text fromCodePoints(std::u32string_view codePoints) {
  Text out;
  out.reserve(codePoints.size());
  for (const char32_t cp : codePoints) appendCodePoint(out, cp);
  return out;
}

void throwBadRepeatCount(const std::string& count) {
  throw std::invalid_argument("stimes: the repetition count must be positive, got " + count);
}

}  // namespace System::ProgressBar::detail
