#include "base/text.hpp"

#include <utf8proc.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstring>
#include <string>

#include "base/arithmetic.hpp"

namespace System::ProgressBar::detail {
namespace {

constexpr char kEscape = '\x1b';

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

// Sixteen bytes at a time where SSE2 is there (every x86-64), then eight.
std::size_t asciiPrefix(std::string_view s) noexcept {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= s.size(); i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    if (_mm_movemask_epi8(block) != 0) break;
  }
#endif
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

}  // namespace

// Printable ASCII: no controls, no escape; sixteen bytes at a time, then
// eight: a byte is out when it is below 0x20, is 0x7F, or has its top bit set.
std::size_t printableAsciiPrefix(std::string_view s) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kTops = 0x8080808080808080ULL;
  std::size_t i = 0;
#if defined(__SSE2__)
  // As signed bytes, the printable ones are those above 0x1F, except 0x7F.
  const __m128i space = _mm_set1_epi8(0x1F), del = _mm_set1_epi8(0x7F);
  for (; i + 16 <= s.size(); i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    const __m128i printable =
        _mm_andnot_si128(_mm_cmpeq_epi8(block, del), _mm_cmpgt_epi8(block, space));
    if (_mm_movemask_epi8(printable) != 0xFFFF) break;
  }
#endif
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    // Per byte b, with no carry between bytes: (b & 0x7F) + 0x60 has its
    // top bit set when b is at least 0x20, (b & 0x7F) + 1 when b is 0x7F.
    const std::uint64_t low = word & ~kTops;
    if (((word | ~(low + 0x60 * kOnes) | (low + kOnes)) & kTops) != 0) break;
  }
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c >= 0x7F) break;
    ++i;
  }
  return i;
}

std::size_t decode(std::string_view text, char32_t& cp) noexcept {
  std::size_t bad = 0;
  if (const std::size_t good = decodeOne(text, bad, cp)) return good;
  cp = kReplacement;
  return bad;
}

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

std::size_t columnsOf(char32_t cp) noexcept {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
  if (cp < 0x7F) return 1;
  const int width = utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp));
  return width < 0 ? 0 : static_cast<std::size_t>(width);
}

std::size_t escapeSequenceLength(std::string_view text) noexcept {
  if (text.size() < 2) return text.size();
  std::size_t i = 2;
  if (text[1] == '[') {  // CSI: parameters and intermediates, then one final byte
    while (i < text.size()) {
      const auto c = static_cast<unsigned char>(text[i++]);
      if (c >= 0x40 && c <= 0x7E) break;
    }
    return i;
  }
  if (text[1] == ']') {  // OSC: up to BEL or ESC backslash
    while (i < text.size()) {
      if (text[i] == '\a') return i + 1;
      if (text[i] == kEscape && i + 1 < text.size() && text[i + 1] == '\\') return i + 2;
      ++i;
    }
    return i;
  }
  return 2;
}

Measured measure(std::string_view text, Measure how) noexcept {
  std::size_t length = 0;
  bool valid = true;
  const bool columns = how == Measure::kColumns;
  while (!text.empty()) {
    const std::size_t plain = columns ? printableAsciiPrefix(text) : asciiPrefix(text);
    length += plain;
    text.remove_prefix(plain);
    if (text.empty()) break;
    if (columns && static_cast<unsigned char>(text[0]) < 0x80) {
      // a control character or an escape sequence: no columns
      text.remove_prefix(text[0] == kEscape ? escapeSequenceLength(text) : 1);
      continue;
    }
    std::size_t bad = 0;
    char32_t cp;
    const std::size_t good = decodeOne(text, bad, cp);
    if (good == 0) {
      valid = false;
      cp = kReplacement;
    }
    text.remove_prefix(good != 0 ? good : bad);
    length += columns ? columnsOf(cp) : 1;
  }
  return {length, valid};
}

void appendValidUtf8(std::string& out, std::string_view bytes) {
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
}

}  // namespace System::ProgressBar::detail
