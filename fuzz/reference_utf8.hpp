// A reference UTF-8 scanner for the fuzz targets, written from the table of
// well-formed byte sequences rather than from the library's decoder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace reference {

struct Range {
  unsigned char lo, hi;
};
struct Form {
  int length;
  Range bytes[4];
};

// The well-formed UTF-8 byte sequences, one row per form.
constexpr Form kForms[] = {
    {1, {{0x00, 0x7F}}},
    {2, {{0xC2, 0xDF}, {0x80, 0xBF}}},
    {3, {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}},
    {3, {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}},
};

// How many leading bytes of `s` match `form` (up to its length).
inline int matching(const Form& form, std::string_view s) {
  int n = 0;
  while (n < form.length && static_cast<std::size_t>(n) < s.size()) {
    const auto b = static_cast<unsigned char>(s[static_cast<std::size_t>(n)]);
    if (b < form.bytes[n].lo || b > form.bytes[n].hi) break;
    ++n;
  }
  return n;
}

struct Scan {
  bool valid = true;
  std::size_t illFormed = 0;     // maximal ill-formed subsequences
  std::size_t replacements = 0;  // U+FFFD already in the input
};

inline Scan scan(std::string_view s) {
  Scan out;
  while (!s.empty()) {
    int longestPrefix = 0;
    int whole = 0;
    for (const Form& f : kForms) {
      const int n = matching(f, s);
      if (n == f.length) whole = n;
      if (n > longestPrefix) longestPrefix = n;
    }
    if (whole != 0) {
      if (s.substr(0, 3) == "\xEF\xBF\xBD") ++out.replacements;
      s.remove_prefix(static_cast<std::size_t>(whole));
    } else {
      out.valid = false;
      ++out.illFormed;
      s.remove_prefix(static_cast<std::size_t>(longestPrefix > 0 ? longestPrefix : 1));
    }
  }
  return out;
}

// The sequence at the start of non-empty `s`: the length of the well-formed
// one (0 if there is none), else that of the maximal ill-formed subsequence.
struct Unit {
  int whole, illFormed;
};
inline Unit firstUnit(std::string_view s) {
  int longest = 0, whole = 0;
  for (const Form& f : kForms) {
    const int m = matching(f, s);
    if (m == f.length) whole = m;
    if (m > longest) longest = m;
  }
  return {whole, longest > 0 ? longest : 1};
}

// Code points as a terminal would show them: each well-formed sequence and
// each maximal ill-formed subsequence counts one.
inline std::size_t codePoints(std::string_view s) {
  std::size_t n = 0;
  while (!s.empty()) {
    const Unit u = firstUnit(s);
    s.remove_prefix(static_cast<std::size_t>(u.whole != 0 ? u.whole : u.illFormed));
    ++n;
  }
  return n;
}

// `s` with each maximal ill-formed subsequence replaced by U+FFFD.
inline std::string replaced(std::string_view s) {
  std::string out;
  while (!s.empty()) {
    const Unit u = firstUnit(s);
    if (u.whole != 0) {
      out.append(s.substr(0, static_cast<std::size_t>(u.whole)));
      s.remove_prefix(static_cast<std::size_t>(u.whole));
    } else {
      out += "\xEF\xBF\xBD";
      s.remove_prefix(static_cast<std::size_t>(u.illFormed));
    }
  }
  return out;
}

}  // namespace reference
