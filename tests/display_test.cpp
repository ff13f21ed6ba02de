// A display on a terminal, checked on an emulated screen: what a person sees
// after each step.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "System/ProgressBar.hpp"
#include "display/screen_text.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/screen.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using Lines = std::vector<std::string>;

namespace {

pb::Style<> named(const char* name, pb::OnComplete onComplete = pb::WriteNewline) {
  return pb::Style<>{.stylePrefix = name, .styleOnComplete = onComplete};
}

// A display on a stated terminal, and the screen its bytes are fed to.
class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  // Feeds what was written since the last look and returns the screen's lines.
  Lines look() {
    screen.feed(buf.take());
    return screen.lines();
  }
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  testsupport::Screen screen{12, 40};
  pb::Display display{out, pb::AsTerminal{40, 12}, pb::DisplayOptions{.colour = false}};
};

TEST_F(DisplayTest, RowsAreRedrawnInPlaceWithOneWriteAndOneFlushPerFrame) {
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b"), Progress<>{0, 20});
  EXPECT_EQ(look(), (Lines{"a [...............................]   0%",
                           "b [...............................]   0%"}));
  buf.flushes = buf.writes = 0;
  testclock::advance(200ms);
  pb::incProgress(a, 3);
  pb::incProgress(b, 5);  // too soon after a's frame: kept for the next one
  EXPECT_EQ(buf.flushes, 1);
  EXPECT_EQ(buf.writes, 1);
  testclock::advance(200ms);
  pb::incProgress(b, 5);
  EXPECT_EQ(look(), (Lines{"a [=========>.....................]  30%",
                           "b [===============>...............]  50%"}));
  EXPECT_EQ(screen.cursorRow(), 2) << "the cursor rests below the block";
}

TEST_F(DisplayTest, CompletedRowsKeepTheirLineOrLeaveAndTheCursorEndsBelow) {
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b", pb::Clear), Progress<>{0, 10});
  const auto c = display.add(named("c"), Progress<>{0, 10});
  pb::incProgress(b, 10);  // Clear: its row leaves, the rows below move up
  EXPECT_EQ(look(), (Lines{"a [...............................]   0%",
                           "c [...............................]   0%"}));
  pb::incProgress(c, 10);  // complete below a live row: stays in the block
  pb::incProgress(c, 1);   // a final line stays final
  EXPECT_EQ(look(), (Lines{"a [...............................]   0%",
                           "c [===============================] 100%"}));
  pb::incProgress(a, 10);  // the last live row: the cursor moves below
  EXPECT_EQ(look(), (Lines{"a [===============================] 100%",
                           "c [===============================] 100%"}));
  EXPECT_EQ(screen.cursorRow(), 2);
  EXPECT_EQ(screen.cursorColumn(), 0);
}

TEST_F(DisplayTest, BarsComeAndGoAndChildrenGoBelowTheirParent) {
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b"), Progress<>{0, 10});
  const auto a1 = display.addBelow(a, named("a1"), Progress<>{0, 10});
  const auto a2 = display.addBelow(a, named("a2"), Progress<>{0, 10});
  const auto a1x = display.addBelow(a1, named("a1x"), Progress<>{0, 10});
  EXPECT_EQ(
      look(),
      (Lines{"a [...............................]   0%", "a1 [..............................]   0%",
             "a1x [.............................]   0%", "a2 [..............................]   0%",
             "b [...............................]   0%"}));
  display.remove(a1);
  display.remove(b);
  EXPECT_EQ(look(), (Lines{"a [...............................]   0%",
                           "a1x [.............................]   0%",
                           "a2 [..............................]   0%"}));
  pb::incProgress(b, 10);  // removed: counted, never drawn
  EXPECT_EQ(b.pbStateMv().read().stProgress.progressDone, 10);
  EXPECT_EQ(look().size(), 3u);
  pb::incProgress(a, 10);  // a completes at the top: its line stays above the block
  const auto a3 = display.addBelow(a, named("a3"), Progress<>{0, 10});
  EXPECT_EQ(look(), (Lines{"a [===============================] 100%",
                           "a3 [..............................]   0%",
                           "a1x [.............................]   0%",
                           "a2 [..............................]   0%"}));
  pb::Display other(out, pb::AsLog{});
  EXPECT_THROW(other.addBelow(a, named("x"), Progress<>{0, 1}), std::invalid_argument);
}

TEST_F(DisplayTest, LinesPrintedAboveTheBlockStayAboveIt) {
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b"), Progress<>{0, 10});
  pb::printAbove(b, "first log line");
  display.printAbove("second log line, long enough to wrap over the width");
  testclock::advance(1s);
  pb::incProgress(a, 5);
  EXPECT_EQ(look(), (Lines{"first log line", "second log line, long enough to wrap ove",
                           "r the width", "a [===============>...............]  50%",
                           "b [...............................]   0%"}));
  display.printAbove("two\nlines");
  const Lines printed = look();
  EXPECT_EQ(printed.at(3), "two");
  EXPECT_EQ(printed.at(4), "lines");
  // A line that fits needs no erase after it, whatever its characters.
  display.printAbove("caf\u00e9 \u2713");
  EXPECT_NE(buf.bytes.find("\x1b[2Kcaf\u00e9 \u2713\r\n"), std::string::npos);
  display.printAbove("a\ttab");  // a tab as the spaces to its stop: the display knows the shape
  EXPECT_NE(buf.bytes.find("\x1b[2Ka       tab\r\n"), std::string::npos);
  display.end();
  pb::printAbove(a, "after the end");
  EXPECT_EQ(look().back(), "after the end");
  EXPECT_EQ(screen.cursorRow(), 10);
}

// A row that becomes shorter is erased to its end: nothing of its old text
// stays beside the new.
TEST_F(DisplayTest, ARowThatShrinksLeavesNothingOfItsOldText) {
  std::string text = "a long label";
  pb::Style<> s{.styleOpen = "",
                .styleClose = "",
                .stylePrefix = pb::Label<>([&](const Progress<>& p, const pb::Timing&) {
                  return text + std::to_string(p.progressDone);
                }),
                .stylePostfix = "",
                .styleWidth = pb::ConstantWidth{0}};
  const auto a = display.add(s, Progress<>{0, 10});
  const auto b = display.add(s, Progress<>{0, 10});
  EXPECT_EQ(look(), (Lines{"a long label0", "a long label0"}));
  text = "x";
  testclock::advance(1s);
  pb::incProgress(a, 1);
  pb::incProgress(b, 1);
  testclock::advance(1s);
  pb::incProgress(a, 1);
  EXPECT_EQ(look(), (Lines{"x2", "x1"}));
}

// A finished bar's row keeps its final line when it is removed, wherever it
// stands; a running bar's row leaves.
TEST_F(DisplayTest, RemovingAFinishedBarKeepsItsFinalLineWhereverItStands) {
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b"), Progress<>{0, 10});
  const auto c = display.add(named("c"), Progress<>{0, 10});
  pb::incProgress(a, 10);  // at the top: its line goes above the block
  pb::incProgress(c, 10);  // below a live row: stays in the block
  display.remove(a);
  display.remove(c);
  const auto d = display.add(named("d"), Progress<>{0, 10});
  display.remove(d);  // running: leaves
  EXPECT_EQ(look(), (Lines{"a [===============================] 100%",
                           "b [...............................]   0%",
                           "c [===============================] 100%"}));
}

TEST_F(DisplayTest, ABarClearedAtTheTopLeavesNothing) {
  const auto a = display.add(named("a", pb::Clear), Progress<>{0, 10});
  const auto b = display.add(named("b"), Progress<>{0, 10});
  pb::incProgress(a, 10);
  testclock::advance(1s);
  pb::incProgress(b, 5);
  EXPECT_EQ(look(), (Lines{"b [===============>...............]  50%"}));
  pb::finishAndClear(b);  // no row left: the next one starts where the block did
  display.add(named("c"), Progress<>{0, 10});
  EXPECT_EQ(look(), (Lines{"c [...............................]   0%"}));
  EXPECT_EQ(screen.cursorRow(), 1);
}

// A bar that finishes while the display is suspended, and a tick meanwhile:
// its final line is shown once the block is back.
TEST_F(DisplayTest, ABarFinishedWhileSuspendedKeepsItsFinalLineThroughATick) {
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b"), Progress<>{0, 10});
  {
    const pb::Suspension pause(display);
    pb::incProgress(a, 10);
    testclock::advance(1s);
    display.redraw();
  }
  EXPECT_EQ(look(), (Lines{"a [===============================] 100%",
                           "b [...............................]   0%"}));
}

TEST_F(DisplayTest, ANarrowedTerminalGetsEveryRowCutAndNoStackedCopies) {
  pb::Style<> wide = named("wide");
  wide.styleWidth = pb::ConstantWidth{60};  // wider than the terminal: cut, not wrapped
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto w = display.add(wide, Progress<>{0, 10});
  EXPECT_EQ(look(), (Lines{"a [...............................]   0%",
                           "wide [.................................."}));
  screen.resize(12, 25);
  display.setColumns(25);
  testclock::advance(1s);
  pb::incProgress(a, 5);
  const std::string bytes = buf.bytes;
  const Lines lines = look();
  EXPECT_EQ(lines, (Lines{"a [========>.......]  50%", "wide [..................."}));
  for (int r = 0; r < 12; ++r) EXPECT_LE(screen.usedColumns(r), 25);
  // A row that fills the last column is never followed by an erase, which a
  // terminal waiting to wrap would apply to that column.
  EXPECT_EQ(bytes.find("..\x1b[K"), std::string::npos);
}

// A row cut to the width keeps its escapes, and every character up to the
// cut after them.
TEST(DisplayColour, ACutRowKeepsItsEscapesAndTheCharactersAfterThem) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsTerminal{12}, pb::DisplayOptions{.colour = true});
  display.add(
      pb::Style<>{.stylePrefix = "\x1b[1mbold\x1b[0m text", .styleWidth = pb::ConstantWidth{30}},
      Progress<>{0, 10});
  display.add(pb::Style<>{.stylePrefix = "next", .styleWidth = pb::ConstantWidth{12}},
              Progress<>{0, 10});
  const std::string bytes = buf.take();
  // Cut to the last column: no erase after it, which a terminal waiting to
  // wrap would apply to that column.
  EXPECT_NE(bytes.find("\x1b[1mbold\x1b[0m text [.\r\n"), std::string::npos) << bytes;
  testsupport::Screen screen(4, 12);
  screen.feed(bytes);
  EXPECT_EQ(screen.row(0), "bold text [.");
}

TEST_F(DisplayTest, WideCharactersAndEmojiFillTheRowToTheExactColumn) {
  const auto a = display.add(named("数据.bin"), Progress<>{1, 2});
  const auto b = display.add(named("🚀 go"), Progress<>{1, 2});
  const auto c = display.add(named("e\u0301te\u0301"), Progress<>{1, 2});  // combining accents
  const Lines lines = look();
  ASSERT_EQ(lines.size(), 3u);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(screen.usedColumns(r), 40) << lines[r];
  EXPECT_EQ(lines[0], "数据.bin [============>...........]  50%");
}

// Colour off means no escape from any source: the style's escapes are not
// called, and escapes that labels carry are left out.
// Fill characters of different widths each take a cell as wide as the
// widest, a narrow one padded with spaces; characters at the bounds of
// UTF-8's lengths are written whole.
TEST_F(DisplayTest, FillCharactersOfEveryWidthAndLengthTakeCellsOfOneWidth) {
  pb::Style<> s{.stylePrefix = "a", .styleWidth = pb::ConstantWidth{18}};
  s.styleDone = U'\u07FF';
  s.styleCurrent = U'\u6570';
  s.styleTodo = U'\u0800';
  const auto bar = display.add(s, Progress<>{0, 4});
  testclock::advance(1s);
  pb::incProgress(bar, 2);
  EXPECT_EQ(look(), (Lines{"a [\u07FF \u07FF \u6570\u0800  ]  50%"}));
}

TEST(DisplayColour, EscapesOnlyWithColourAndNeverCounted) {
  pb::Style<> s{.stylePrefix = "\x1b[1mjob\x1b[0m", .styleWidth = pb::ConstantWidth{20}};
  s.styleEscapeDone = [](const Progress<>&) { return std::string("\x1b[32m"); };
  s.styleEscapeTodo = [](const Progress<>&) { return std::string("\x1b[0m"); };
  for (const bool colour : {false, true}) {
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    pb::Display display(out, pb::AsTerminal{40}, pb::DisplayOptions{.colour = colour});
    EXPECT_EQ(display.colour(), colour);
    display.add(s, Progress<>{3, 10});
    const std::string bytes = buf.take();
    EXPECT_EQ(bytes.find("\x1b[32m") != std::string::npos, colour);
    EXPECT_EQ(bytes.find("\x1b[1m") != std::string::npos, colour);
    testsupport::Screen screen(4, 40);
    screen.feed(bytes);
    EXPECT_EQ(screen.row(0), "job [==>......]  30%");
  }
}

TEST(DisplayLog, PlainLinesAtTheStartAtMostOncePerIntervalAndAtTheEnd) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Style<> s{.stylePrefix = "job", .styleWidth = pb::TerminalWidth{24}};
  s.styleEscapeDone = [](const Progress<>&) { return std::string("\x1b[32m"); };
  s.stylePostfix = pb::exact() + " " + pb::elapsedTime(pb::humanDuration);
  pb::Display display(out, pb::AsLog{}, pb::DisplayOptions{.logInterval = 10s});
  EXPECT_FALSE(display.isTerminal());
  const auto a = display.add(s, Progress<>{0, 60});
  const auto idle = display.add(s, Progress<>{0, 5});
  for (int second = 1; second <= 60; ++second) {  // a minute of 10 Hz updates
    for (int tenth = 0; tenth < 10; ++tenth) {
      testclock::advance(100ms);
      if (tenth == 9) pb::incProgress(a, 1);
      pb::updateProgress(idle, [](const Progress<>& p) { return p; });  // changes nothing
    }
    if (second == 30) display.printAbove("halfway");
  }
  display.end();
  // The idle bar changes nothing after its first line, so writes nothing more.
  EXPECT_EQ(buf.take(),
            "job [..............................]  0/60 0s\n"
            "job [..............................] 0/5 0s\n"
            "job [=====>........................] 10/60 10s\n"
            "job [==========>...................] 20/60 20s\n"
            "job [===============>..............] 30/60 30s\n"
            "halfway\n"
            "job [====================>.........] 40/60 40s\n"
            "job [=========================>....] 50/60 50s\n"
            "job [==============================] 60/60 1m00s\n");
}

// A row cut to a width: escapes kept whole (also right after a control
// character, which is dropped), wide characters up to the last that fits.
TEST(ScreenText, CutRowsKeepEscapesAndWholeCharacters) {
  // clang-format off
  const struct {
    const char* row;
    std::int64_t width;
    const char* cut;
    std::size_t columns;
  } rows[] = {
      {"\xe6\x95\xb0\xe6\x8d\xae" "abc", 5, "\xe6\x95\xb0\xe6\x8d\xae" "a", 5},  // 数据abc
      {"\xe6\x95\xb0\xe6\x8d\xae", 3, "\xe6\x95\xb0", 2},
      {"a\x01\x1b[1mbc", 2, "a\x1b[1mb", 2},
      {"ab\x1b[0m", 1, "a\x1b[0m", 1},
  };
  // clang-format on
  for (const auto& r : rows) {
    std::string out;
    EXPECT_EQ(pb::detail::appendCut(out, r.row, r.width), r.columns) << r.row;
    EXPECT_EQ(out, r.cut) << r.row;
  }
}

// Where a changed row starts to differ from the shown one: never inside an
// escape or a character, nor before a mark that combines with the character
// before it.
TEST(ScreenText, RowsDifferFromABoundaryBeforeAVisibleCharacter) {
  // clang-format off
  const struct {
    const char* shown;
    const char* next;
    std::size_t bytes, columns;
  } rows[] = {
      {"ab [==>..] 40%", "ab [===>.] 60%", 6, 6},
      {"same", "same", 4, 4},
      {"longer row", "longer", 6, 6},
      {"", "new", 0, 0},
      {"\xe6\x95\xb0\xe6\x8d\xae" "a", "\xe6\x95\xb0\xe6\x8d\xae" "b", 6, 4},  // 数据a, 数据b
      {"\xe6\x95\xb0x", "\xe6\x95\xb1x", 0, 0},        // 数 and 敱 share two bytes
      {"e\xcc\x81", "e\xcc\x82", 0, 0},                 // e + a combining accent: not split
      {"ae", "ae\xcc\x81", 1, 1},                         // the e gains an accent
      {"\x1b[32m==\x1b[0m", "\x1b[32m=>\x1b[0m", 6, 1},
      {"\x1b[32m=", "\x1b[33m=", 0, 0},
      // Long rows, compared a word at a time: a difference at each place of a word.
      {"0123456789abcdefghij", "0123456789abcdefghiJ", 19, 19},
      {"0123456789abcdefghij", "0123456X89abcdefghij", 7, 7},
      {"0123456789abcdefghij", "01234567X9abcdefghij", 8, 8},
      {"0123456789abcdefghij", "X123456789abcdefghij", 0, 0},
      {"0123456789abcdefghij", "0123456789abcdefghij+", 20, 20},
      {"0123456789abcdefghij\xe6\x95\xb0", "0123456789abcdefghij\xe6\x95\xb1", 20, 20},
      {"task 1 [=====>......] \xe6\x95\xb0x", "task 1 [=====>......] \xe6\x95\xb0y", 25, 24},
      {"task 1 [=====>......]e\xcc\x81", "task 1 [=====>......]e\xcc\x82", 21, 21},
      {"task 1 \x1b[32m=====\x1b[0m>...", "task 1 \x1b[32m======\x1b[0m...", 17, 12},
      {"task 1 \x1b[32m=====", "task 1 \x1b[33m=====", 7, 7},
  };
  // clang-format on
  for (const auto& r : rows) {
    const pb::detail::RowStart start = pb::detail::commonStart(r.shown, r.next);
    EXPECT_EQ(start.bytes, r.bytes) << r.shown << " / " << r.next;
    EXPECT_EQ(start.columns, r.columns) << r.shown << " / " << r.next;
  }
  std::string escapes;
  pb::detail::appendEscapes(escapes, "a\x1b[1mb\x1b[0mc");
  EXPECT_EQ(escapes, "\x1b[1m\x1b[0m");
}

// A row's text as a display keeps it: control characters go, C1 ones too,
// tabs and characters beyond ASCII stay, escape sequences only when asked
// for, wherever they fall in a long row.
TEST(ScreenText, PlainTextDropsControlsAndKeepsEverythingElse) {
  // clang-format off
  const struct {
    const char* line;
    bool escapes;
    const char* plain;
  } rows[] = {
      {"plain ascii text of some length", false, "plain ascii text of some length"},
      {"tab\there\r\x7f\x01" "end", false, "tab\thereend"},
      {"\x1b[31mred\x1b[0m and the rest of it", false, "red and the rest of it"},
      {"\x1b[31mred\x1b[0m and the rest of it", true, "\x1b[31mred\x1b[0m and the rest of it"},
      {"\xe2\x96\x88\xe2\x96\x88 bar \xc2\xa2 cent", false, "\xe2\x96\x88\xe2\x96\x88 bar \xc2\xa2 cent"},
      {"0123456789abcdef\xc2\x85NEL\xc2\x9f" "APC\xc2", false, "0123456789abcdefNELAPC\xc2"},
      {"\xc2", false, "\xc2"},
      {"\xc2\x85", false, ""},
      {"end\xc2\x9f", false, "end"},
      {"", false, ""},
  };
  // clang-format on
  for (const auto& r : rows) {
    std::string plain = "kept:";
    pb::detail::appendPlain(plain, r.line, r.escapes);
    EXPECT_EQ(plain, std::string("kept:") + r.plain) << r.line;
  }
}

// A row rewritten from where it changed leaves the screen as a whole
// rewrite does: colour set before the change still applies, and a row that
// shrinks leaves nothing of its old text.
TEST(DisplayColour, ARowRewrittenFromItsChangeShowsAsAWholeOne) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = true});
  pb::Style<> s{.stylePrefix = "\x1b[31mred\x1b[0m", .styleWidth = pb::ConstantWidth{20}};
  s.styleEscapeDone = [](const Progress<>&) { return "\x1b[32m"; };
  s.styleEscapeTodo = [](const Progress<>&) { return "\x1b[0m"; };
  s.stylePostfix = pb::exact();
  const auto a = display.add(s, Progress<>{5, 1000});
  testsupport::Screen screen(4, 30);
  screen.feed(buf.take());
  testclock::advance(1s);
  pb::incProgress(a, 500);
  const std::string change = buf.take();
  screen.feed(change);
  EXPECT_EQ(change.find("red"), std::string::npos) << "the alike start is not written again";
  testsupport::Screen whole(4, 30);  // the row written whole, by a display of its own
  pb::Display other(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = true});
  other.add(s, Progress<>{505, 1000});
  whole.feed(buf.take());
  EXPECT_EQ(screen.row(0), whole.row(0));
  for (int c = 0; c < 20; ++c) EXPECT_EQ(screen.colourAt(0, c), whole.colourAt(0, c)) << c;
}

// Frames that each change rows below the first leave the screen as a whole
// redraw would, however a row goes back and forth between frames.
TEST(DisplayFrames, RowsChangedFrameAfterFrameShowAsAWholeRedraw) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const pb::Style<> s{.styleWidth = pb::ConstantWidth{20}};
  pb::Display display(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false});
  std::vector<pb::ProgressBar<>> bars;
  for (int i = 0; i < 3; ++i) bars.push_back(display.add(s, Progress<>{0, 10}));
  testsupport::Screen screen(5, 30);
  screen.feed(buf.take());
  // clang-format off
  const struct { std::size_t bar; std::int64_t done; } steps[] = {
      {1, 1}, {1, 2}, {1, 1}, {1, 0}, {2, 5}, {1, 3}, {2, 4}, {2, 0}, {0, 9}, {1, 0},
  };
  // clang-format on
  std::int64_t done[3] = {0, 0, 0};
  for (const auto& step : steps) {
    testclock::advance(1s);
    done[step.bar] = step.done;
    pb::updateProgress(bars[step.bar], [&](const Progress<>&) {
      return Progress<>{step.done, 10};
    });
    screen.feed(buf.take());
    testsupport::RecordingBuf wholeBuf;
    std::ostream wholeOut(&wholeBuf);
    pb::Display other(wholeOut, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false});
    for (const std::int64_t d : done) other.add(s, Progress<>{d, 10});
    testsupport::Screen whole(5, 30);
    whole.feed(wholeBuf.take());
    for (int row = 0; row < 3; ++row) {
      EXPECT_EQ(screen.row(row), whole.row(row)) << "bar " << step.bar << " at " << step.done;
    }
  }
}

// A completing line is written when the bar completes, in its place among
// the other bars' lines; control characters other than tabs are left out.
TEST(DisplayLog, ALineCompletesWhereItHappensAndCarriesNoControlCharacter) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsLog{});
  const pb::Style<> s{.stylePrefix = "a\tb\rc\x01",
                      .stylePostfix = pb::exact(),
                      .styleWidth = pb::ConstantWidth{20}};
  const auto a = display.add(s, Progress<>{0, 2});
  testclock::advance(1s);
  pb::incProgress(a, 2);
  testclock::advance(1s);
  display.add(pb::Style<>{.stylePrefix = "b", .styleWidth = pb::ConstantWidth{20}},
              Progress<>{0, 2});
  display.end();
  EXPECT_EQ(buf.take(),
            "a\tbc [..............................] 0/2\n"
            "a\tbc [==============================] 2/2\n"
            "b [..............................]   0%\n");
}

// A frame that fails reaches the caller whose update failed, and leaves the
// bar and the display as they were.
TEST(DisplayFailure, AFailedFrameLeavesEveryBarAndTheDisplayUsable) {
  testsupport::FailingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsTerminal{40}, pb::DisplayOptions{.colour = false});
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b"), Progress<>{0, 10});
  buf.armed = true;
  testclock::advance(1s);
  EXPECT_THROW(pb::incProgress(a, 4), std::ios_base::failure);
  EXPECT_THROW(display.add(named("c"), Progress<>{0, 1}), std::ios_base::failure);
  EXPECT_EQ(a.pbStateMv().read().stProgress.progressDone, 0);
  buf.armed = false;
  pb::incProgress(b, 10);
  testsupport::Screen screen(6, 40);
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), (Lines{"a [...............................]   0%",
                                   "b [===============================] 100%"}));
}

// A cleared bar started over comes back below the block; when that frame
// fails, only its row goes again, and the rows around it stay.
TEST(DisplayFailure, ARowThatFailsToComeBackTakesNoOtherRowWithIt) {
  testsupport::FailingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsTerminal{40}, pb::DisplayOptions{.colour = false});
  const auto a = display.add(named("a"), Progress<>{0, 10});
  const auto b = display.add(named("b", pb::Clear), Progress<>{0, 10});
  const auto c = display.add(named("c"), Progress<>{0, 10});
  pb::incProgress(b, 10);
  buf.armed = true;
  testclock::advance(1s);
  EXPECT_THROW(pb::reset(b), std::ios_base::failure);
  buf.armed = false;
  testclock::advance(1s);
  pb::incProgress(a, 5);
  testsupport::Screen screen(6, 40);
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), (Lines{"a [===============>...............]  50%",
                                   "c [...............................]   0%"}));
  pb::reset(b);
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), (Lines{"a [===============>...............]  50%",
                                   "c [...............................]   0%",
                                   "b [...............................]   0%"}));
}

// A frame that the stream takes only part of: at every cut point, once the
// stream takes bytes again, the next frame leaves the screen a frame without
// failures leaves.
TEST(DisplayFailure, AFrameCutShortAnywhereIsMendedByTheNextFrame) {
  struct CutBuf : testsupport::RecordingBuf {
    std::size_t cut = SIZE_MAX;  // bytes the next write may take
   protected:
    std::streamsize xsputn(const char* p, std::streamsize n) override {
      const auto take = std::min<std::size_t>(cut, static_cast<std::size_t>(n));
      cut = SIZE_MAX;
      return RecordingBuf::xsputn(p, static_cast<std::streamsize>(take));
    }
  };
  const auto life = [](std::size_t cut, bool above, Lines& shown) {
    CutBuf buf;
    std::ostream out(&buf);
    testsupport::Screen screen(10, 30);
    pb::Display display(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false});
    const auto a = display.add(named("a"), Progress<>{0, 10});
    const auto b = display.add(named("b"), Progress<>{0, 10});
    const auto c = display.add(named("c"), Progress<>{0, 10});
    pb::incProgress(a, 10);  // committed above the block at the next frame
    screen.feed(buf.take());
    buf.cut = cut;
    testclock::advance(1s);
    const auto step = [&] {
      if (above) {
        display.printAbove("a line above");
      } else {
        pb::incProgress(b, 5);
      }
    };
    std::size_t length = 0;
    try {
      step();
    } catch (const std::ios_base::failure&) {
      length = SIZE_MAX;  // cut short
    }
    const std::string got = buf.take();
    if (length != SIZE_MAX) length = got.size();
    screen.feed(got);
    testclock::advance(1s);
    if (length == SIZE_MAX) step();  // the caller tries again
    screen.feed(buf.take());
    testclock::advance(1s);
    pb::incProgress(c, 3);
    screen.feed(buf.take());
    shown = screen.lines();
    return length;
  };
  for (const bool above : {false, true}) {
    Lines reference;
    const std::size_t frame = life(SIZE_MAX, above, reference);
    for (std::size_t cut = 0; cut < frame; ++cut) {
      Lines lines;
      EXPECT_EQ(life(cut, above, lines), SIZE_MAX);
      EXPECT_EQ(lines, reference) << "cut after " << cut << " bytes" << (above ? ", above" : "");
    }
  }
}

using testsupport::Fault;
using testsupport::FaultyBuf;
using testsupport::Injected;

// A stream or a label that fails at the k-th chance, for every k, through
// a display's whole life: each failure reaches the caller, leaves the bars as
// they were, and the retried step ends on the same screen as a life without
// failures.
// Returns the final screen, and whether the fault fired. The screen is fed
// after each step; what a failed step got out is dropped, as if it never
// reached the terminal (the display puts its own state back that way).
std::pair<Lines, bool> displayLife(bool streamFault, int k) {
  testsupport::Screen screen(8, 30);
  Fault fault{k};
  FaultyBuf buf;
  if (streamFault) buf.fault = &fault;
  std::ostream out(&buf);
  pb::Style<> s{.styleWidth = pb::TerminalWidth{30}};
  s.stylePrefix = pb::Label<>([&](const Progress<>& p, const pb::Timing&) {
    if (!streamFault && fault.fire()) throw Injected{};
    return "job" + std::to_string(p.progressTodo);
  });
  pb::Style<> gone = s;
  gone.styleOnComplete = pb::Clear;
  bool fired = false;
  std::optional<pb::Display> display;
  std::optional<pb::ProgressBar<>> a, b, c;
  const std::vector<std::function<void()>> steps = {
      [&] { display.emplace(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false}); },
      [&] {
        a.emplace(display->add(s, Progress<>{0, 10}));
      },
      [&] {
        b.emplace(display->add(gone, Progress<>{0, 20}));
      },
      [&] { pb::incProgress(*a, 4); },
      [&] { pb::printAbove(*b, "log"); },
      [&] {
        c.emplace(display->addBelow(*a, s, Progress<>{0, 30}));
      },
      [&] { pb::incProgress(*b, 20); },
      [&] { pb::finish(*c); },
      [&] { display->end(); },
  };
  for (const auto& step : steps) {
    testclock::advance(1s);
    const auto before =
        a ? std::optional(a->pbStateMv().read().stProgress.progressDone) : std::nullopt;
    try {
      step();
    } catch (const std::ios_base::failure&) {
      EXPECT_TRUE(streamFault);
      fired = true;
    } catch (const Injected&) {
      EXPECT_FALSE(streamFault);
      fired = true;
    }
    if (fired && fault.countdown == 0 && k != 0) {
      EXPECT_TRUE(out.good());
      if (before) {
        EXPECT_EQ(a->pbStateMv().read().stProgress.progressDone, *before);
      }
      buf.take();
      fault.countdown = -1;  // fired once: no more
      step();
    }
    screen.feed(buf.take());
  }
  return {screen.lines(), fired};
}

TEST(DisplayFailure, EveryFaultThroughADisplaysLifeLeavesTheSameScreen) {
  const Lines reference = displayLife(true, 0).first;
  EXPECT_EQ(reference,
            (Lines{"log", "job10 [======>..........]  40%", "job30 [.................]   0%"}));
  for (const bool stream : {true, false}) {
    int fired = 0;
    for (int k = 1;; ++k) {
      const auto [lines, failed] = displayLife(stream, k);
      if (!failed) break;
      ++fired;
      EXPECT_EQ(lines, reference) << (stream ? "stream" : "label") << " fault " << k;
    }
    EXPECT_GT(fired, 0);
  }
}

// Ending a display while handles to its bars are held elsewhere: they go on
// counting and draw nothing.
TEST(DisplayEnd, HandlesOutliveTheDisplayAndDrawNothing) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  std::optional<pb::ProgressBar<>> bar;
  {
    pb::Display display(out, pb::AsTerminal{40}, pb::DisplayOptions{.colour = false});
    bar.emplace(display.add(named("a"), Progress<>{0, 10}));
  }
  buf.take();
  testclock::advance(1s);
  pb::incProgress(*bar, 10);
  pb::printAbove(*bar, "after");
  pb::finish(*bar);
  EXPECT_EQ(bar->pbStateMv().read().stProgress.progressDone, 10);
  EXPECT_EQ(buf.take(), "after\n");
}

// A display ends once, wherever it was moved to: a display moved from writes
// nothing when it goes, and one assigned to ends what it held there and then.
TEST(DisplayEnd, AMovedDisplayEndsOnceWhereItWent) {
  using Move = std::function<void(pb::Display&)>;
  const auto onTerminal = [](std::ostream& out) {
    return pb::Display(out, pb::AsTerminal{40}, pb::DisplayOptions{.colour = false});
  };
  // What a display with a bar at 3 of 10 writes in its whole life, moved as
  // `move` says (which ends it, or leaves it to end when it goes).
  const auto life = [&](const Move& move) {
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    {
      pb::Display display = onTerminal(out);
      const auto bar = display.add(named("a"), Progress<>{0, 10});
      pb::incProgress(bar, 3);
      move(display);
    }
    return buf.take();
  };
  const std::string unmoved = life([](pb::Display&) {});
  ASSERT_NE(unmoved.find("30%"), std::string::npos) << "no final frame: " << unmoved;
  // clang-format off
  const struct { const char* how; Move move; } cases[] = {
      {"into a new display",  [](pb::Display& d) { pb::Display moved(std::move(d)); }},
      {"onto itself",         [](pb::Display& d) { pb::Display& same = d; d = std::move(same); }},
      {"onto a display with a bar of its own", [&](pb::Display& d) {
         testsupport::RecordingBuf otherBuf;
         std::ostream otherOut(&otherBuf);
         pb::Display other = onTerminal(otherOut);
         pb::incProgress(other.add(named("a"), Progress<>{0, 10}), 3);
         other = std::move(d);
         EXPECT_EQ(otherBuf.take(), unmoved) << "the display assigned to did not end";
       }},
  };
  // clang-format on
  for (const auto& [how, move] : cases) EXPECT_EQ(life(move), unmoved) << how;
}

}  // namespace
