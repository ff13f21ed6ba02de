#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "System/ProgressBar/Style.hpp"
#include "base/text.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using pb::Progress;
using pb::Style;
using testsupport::styleOfWidth;

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// A style with no labels, so that the inner width W is n - 2.
Style<> bareStyle(std::int64_t n) {
  Style<> s = styleOfWidth(n);
  s.stylePostfix = pb::emptyLabel();
  return s;
}

std::string render(const Style<>& s, std::int64_t done, std::int64_t todo) {
  return pb::renderProgressBar(s, Progress<>{done, todo}, pb::Timing{});
}

TEST(Render, DefaultStyleExamples) {
  // clang-format off
  const struct {
    std::int64_t width, done, todo;
    const char* line;
  } rows[] = {
      {20, 3, 10, "[===>.........]  30%"},
      {20, 1, 100, "[.............]   1%"},
      {20, 100, 100, "[=============] 100%"},
      {20, 250, 100, "[=============] 250%"},
      {6, 3, 10, "[]  30%"},          // no room: W = 0, longer than n
      {-5, 3, 10, "[]  30%"},
      {kMin, 3, 10, "[]  30%"},       // no wrap to a huge width
      {20, 0, 0, "[.............] 100%"},  // todo 0: no done cells although complete
      {20, 5, 0, "[.............] 100%"},
      {20, 100, 10, "[============] 1000%"},  // a longer label narrows the bar
  };
  // clang-format on
  for (const auto& r : rows) {
    EXPECT_EQ(render(styleOfWidth(r.width), r.done, r.todo), r.line)
        << r.width << " " << r.done << "/" << r.todo;
  }
  Style<> terminal = pb::defStyle();
  terminal.styleWidth = pb::TerminalWidth{20};
  EXPECT_EQ(render(terminal, 3, 10), "[===>.........]  30%");
}

TEST(Render, FillCells) {
  // clang-format off
  const struct {
    std::int64_t w, done, todo;
    const char* bar;
  } rows[] = {
      {1, 0, 1, "[.]"},        {1, 1, 1, "[=]"},       {1, 1, 2, "[.]"},
      {2, 1, 2, "[=>]"},       {3, 1, 3, "[=>.]"},     {100, 29, 100, nullptr},
      {13, -1, 10, "[>..............]"},  // D = -2: mark and 14 todo cells
      {13, 3, -10, "[>................]"},  // D = -4
      {13, -3, -10, "[===>.........]"},    // D = 3
      {0, 5, 10, "[]"},
  };
  // clang-format on
  for (const auto& r : rows) {
    const std::string line = render(bareStyle(r.w + 2), r.done, r.todo);
    if (r.bar != nullptr) {
      EXPECT_EQ(line, r.bar) << r.w << " " << r.done << "/" << r.todo;
    } else {
      EXPECT_EQ(line, "[" + std::string(29, '=') + ">" + std::string(70, '.') + "]");
    }
  }
}

TEST(Render, DoneCountIsExactForExtremeCounts) {
  // W = 10; floor(done * 10 / todo) computed without overflow.
  // clang-format off
  const struct {
    std::int64_t done, todo;
    const char* bar;
  } rows[] = {
      {kMax, kMax, "[==========]"},
      {kMax - 1, kMax, "[=========>]"},  // 9.999...: D = 9
      {kMin, kMin, "[==========]"},
      {kMax / 2, kMax, "[====>.....]"},
      {1, kMax, "[..........]"},
      {-1, kMax, "[>..........]"},  // D = -1
      {kMin, 1, "[>...................]"},  // D kept at -W: 2W cells at most
  };
  // clang-format on
  for (const auto& r : rows) {
    EXPECT_EQ(render(bareStyle(12), r.done, r.todo), r.bar) << r.done << "/" << r.todo;
  }
}

TEST(Render, HugeNegativeDoneStaysBounded) {
  // Unclamped, this would ask for a bar of 3.8e16 cells.
  const std::string line = render(bareStyle(40), -1'000'000'000'000'000, 1);
  EXPECT_EQ(line, "[>" + std::string(75, '.') + "]");
}

TEST(Render, LabelsAreMeasuredInCodePointsWithGapsOnlyWhenNonEmpty) {
  Style<> s = styleOfWidth(20);
  s.stylePrefix = "äöü";  // 3 code points in 6 bytes: W = 20 - 3 - 1 - 2 - 1 - 4 = 9
  EXPECT_EQ(render(s, 1, 2), "äöü [====>....]  50%");
  s.stylePostfix = "";
  EXPECT_EQ(render(s, 1, 2), "äöü [=======>......]");
  s.stylePrefix = pb::emptyLabel();
  EXPECT_EQ(render(s, 1, 2), "[=========>........]");
  s.styleOpen = "⟦";
  s.styleClose = "⟧";
  s.styleDone = U'█';
  s.styleCurrent = U'▶';
  s.styleTodo = U'·';
  EXPECT_EQ(render(s, 1, 2), "⟦█████████▶········⟧");
  s.styleDone = 0xD800;  // not a character: drawn as U+FFFD
  EXPECT_EQ(render(s, 18, 18),
            "⟦\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"
            "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD⟧");
}

TEST(Render, EscapesArePlacedOnceEachAndNeverCounted) {
  Style<> s = styleOfWidth(20);
  s.stylePrefix = "P";
  const auto tag = [](const char* name) {
    return pb::Escape<>([name](const Progress<>&) { return std::string("<") + name + ">"; });
  };
  s.styleEscapePrefix = tag("p");
  s.styleEscapeOpen = tag("o");
  s.styleEscapeDone = tag("d");
  s.styleEscapeCurrent = tag("c");
  s.styleEscapeTodo = tag("t");
  s.styleEscapeClose = tag("x");
  s.styleEscapePostfix = tag("s");
  // W = 20 - 2 - 2 - 5 = 11, whatever the escapes hold.
  EXPECT_EQ(render(s, 3, 10), "<p>P <o>[<d>===<c>><t>.......<x>]<s>  30%");
  // Next to empty runs every escape is still written once.
  EXPECT_EQ(render(s, 0, 10), "<p>P <o>[<d><c><t>...........<x>]<s>   0%");
  EXPECT_EQ(render(s, 10, 10), "<p>P <o>[<d>===========<c><t><x>]<s> 100%");
}

// An escape set to an empty function is no escape: never called, nothing written.
TEST(Render, AnEmptyEscapeIsNone) {
  Style<> s = styleOfWidth(20);
  const std::string plain = render(s, 3, 10);
  s.styleEscapeDone = nullptr;
  s.styleEscapePostfix = pb::Escape<>{};
  EXPECT_EQ(render(s, 3, 10), plain);
}

TEST(Render, EachLabelAndEscapeRunsExactlyOnce) {
  int labelRuns = 0, escapeRuns = 0;
  Style<> s = styleOfWidth(30);
  s.stylePrefix = pb::Label<>([&](const Progress<>&, const pb::Timing&) {
    ++labelRuns;
    return std::string(labelRuns, 'x');  // a second run would change the text
  });
  s.stylePostfix = s.stylePrefix;
  const pb::Escape<> counting = [&](const Progress<>&) {
    ++escapeRuns;
    return std::string();
  };
  s.styleEscapeOpen = s.styleEscapeClose = s.styleEscapeDone = s.styleEscapeCurrent =
      s.styleEscapeTodo = s.styleEscapePrefix = s.styleEscapePostfix = counting;
  const std::string line = render(s, 1, 2);
  EXPECT_EQ(labelRuns, 2);
  EXPECT_EQ(escapeRuns, 7);
  EXPECT_EQ(line.size(), 30u);
}

TEST(Render, CallerFailuresPropagate) {
  Style<> s = styleOfWidth(20);
  s.styleEscapeTodo = [](const Progress<>&) -> std::string { throw std::runtime_error("esc"); };
  EXPECT_THROW(render(s, 1, 2), std::runtime_error);
}

// The default of every field is defStyle's, so a style can name only what it
// changes.
TEST(Render, EveryFieldDefaultsToTheDefaultStyle) {
  const Progress<> p{3, 10};
  EXPECT_EQ(render(Style<>{}, 3, 10), render(pb::defStyle(), 3, 10));
  const Style<> named{
      .styleDone = U'#', .stylePrefix = "Copying", .styleWidth = pb::ConstantWidth{24}};
  EXPECT_EQ(pb::renderProgressBar(named, p, pb::Timing{}), "Copying [##>......]  30%");
  EXPECT_EQ(named.styleOnComplete, pb::WriteNewline);
}

// Unequal open and close texts, each measured on its own.
TEST(Render, OpenAndCloseTextsAreMeasuredApart) {
  Style<> s = bareStyle(12);
  s.styleOpen = "<<<";
  s.styleClose = "|";
  EXPECT_EQ(render(s, 1, 2), "<<<====>...|");  // W = 8
  s.styleOpen = "";
  s.styleClose = "]]";
  EXPECT_EQ(render(s, 1, 2), "=====>....]]");  // W = 10
}

// Bytes that are not UTF-8 come out as they were measured: one U+FFFD for
// each maximal ill-formed subsequence, wherever they were given.
TEST(Render, MalformedTextIsWrittenAsItWasMeasured) {
  const std::string r = "\uFFFD";
  Style<> s = styleOfWidth(20);
  s.stylePrefix =
      pb::Label<>([](const Progress<>&, const pb::Timing&) { return std::string("a\xE2\x82"); });
  s.styleOpen = "\xC0";
  s.styleClose = "]\xFF";
  s.styleEscapeDone = [](const Progress<>&) { return std::string("\x1b[1m\x80"); };
  // Prefix 2 code points, open 1, close 2: W = 20 - 2 - 1 - 1 - 2 - 1 - 4 = 9.
  EXPECT_EQ(render(s, 1, 2), "a" + r + " " + r + "\x1b[1m" + r + "====>....]" + r + "  50%");
  s.stylePostfix = pb::msg("\xF0\x9F\x98");
  EXPECT_EQ(render(s, 0, 2), "a" + r + " " + r + "\x1b[1m" + r + "............]" + r + " " + r);
}

// Each escape is its own text: malformed bytes that would make a character
// with the next escape's are still each written as U+FFFD.
TEST(Render, EscapesAreCheckedEachOnItsOwn) {
  const std::string r = "\uFFFD";
  Style<> s = bareStyle(12);
  s.styleEscapeDone = [](const Progress<>&) { return std::string("\xE2\x96"); };
  s.styleEscapeCurrent = [](const Progress<>&) { return std::string("\x88"); };
  EXPECT_EQ(render(s, 1, 2), "[" + r + "=====" + r + ">....]");
  s.styleEscapeDone = [](const Progress<>&) { return std::string("\x1b[32m\xE2"); };
  s.styleEscapeCurrent = [](const Progress<>&) { return std::string(); };
  s.styleEscapeTodo = [](const Progress<>&) { return std::string("\x96\x88\x1b[0m"); };
  EXPECT_EQ(render(s, 1, 2), "[\x1b[32m" + r + "=====>" + r + r + "\x1b[0m....]");
}

// Terminal columns, as a display measures: the ASCII fast path and
// everything it must stop at.
TEST(Columns, WideCharactersTwoCombiningMarksControlsAndEscapesNone) {
  // clang-format off
  const struct {
    const char* text;
    std::size_t columns, codePoints;
  } rows[] = {
      {"plain ascii text longer than sixteen bytes", 42, 42},
      {"abcdefg\x7f", 7, 8},          // DEL at the end of a word
      {"abc\tdefghijklmnop", 16, 17},  // a control inside a word
      {"\x1b[31mred\x1b[0m", 3, 12},  // escapes take no column
      {"\x1b]0;title\a!", 1, 11},     // OSC up to BEL
      {"\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\!", 5, 27},  // OSC up to ESC backslash
      {"a\u00a0b", 3, 3},             // a no-break space takes its column
      {"数据.bin", 8, 6},
      {"🚀", 2, 1},
      {"e\u0301te\u0301", 3, 5},      // combining acute accents
      {"\xC0" "ab", 3, 3},              // U+FFFD for the bad byte
      {"~~~~~~~~ ", 9, 9},               // 0x7E and the space are printable
  };
  // clang-format on
  for (const auto& r : rows) {
    EXPECT_EQ(pb::detail::measure(r.text, pb::detail::Measure::kColumns).length, r.columns)
        << r.text;
    EXPECT_EQ(pb::detail::measure(r.text, pb::detail::Measure::kCodePoints).length, r.codePoints)
        << r.text;
  }
}

// Every byte value at every place of the 16- and 8-byte blocks the fast
// paths read: a control takes no column, an escape takes the byte after it
// too, a lone byte above 0x7F is one replacement character.
TEST(Columns, EveryByteAtEveryPlaceOfTheFastPaths) {
  constexpr std::size_t kLength = 40;
  for (int b = 1; b < 256; ++b) {
    const auto c = static_cast<unsigned char>(b);
    for (std::size_t at = 0; at < kLength; ++at) {
      std::string text(kLength, 'a');
      text[at] = static_cast<char>(c);
      std::size_t columns = kLength;
      if (c < 0x20 || c == 0x7F) columns -= 1;
      if (c == 0x1B && at + 1 < kLength) columns -= 1;
      ASSERT_EQ(pb::detail::measure(text, pb::detail::Measure::kColumns).length, columns)
          << "byte " << b << " at " << at;
      ASSERT_EQ(pb::detail::measure(text, pb::detail::Measure::kCodePoints).length, kLength)
          << "byte " << b << " at " << at;
    }
  }
  // A character of several bytes, at every place: one code point, one column.
  for (std::size_t at = 0; at + 1 < kLength; ++at) {
    std::string text(kLength, 'a');
    text.replace(at, 2, "\xC3\xA9");  // é
    ASSERT_EQ(pb::detail::measure(text, pb::detail::Measure::kCodePoints).length, kLength - 1)
        << "at " << at;
    ASSERT_EQ(pb::detail::measure(text, pb::detail::Measure::kColumns).length, kLength - 1)
        << "at " << at;
  }
}

TEST(Render, WidthTooLargeForMemoryThrowsInsteadOfWrapping) {
  Style<> s = bareStyle(kMax);
  s.styleDone = U'█';
  EXPECT_THROW(render(s, 1, 1), std::length_error);
}

}  // namespace
