// A display on terminals that are resized while it runs, that hold more bars
// than rows, and that may be left at any moment: checked on a terminal that
// cuts its lines on a resize (libvterm) and on one that re-wraps them
// (xterm.js).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/reflow_screen.hpp"
#include "support/screen.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using Lines = std::vector<std::string>;

namespace {

// A terminal of the family asked for; null when xterm.js cannot run here,
// which CI does not allow.
std::unique_ptr<testsupport::Terminal> terminalOf(bool rewraps, int rows, int columns) {
  if (!rewraps) return std::make_unique<testsupport::Screen>(rows, columns);
  if (!testsupport::ReflowScreen::available()) {
    if (std::getenv("CI") != nullptr) ADD_FAILURE() << "xterm.js is needed in CI";
    return nullptr;
  }
  return std::make_unique<testsupport::ReflowScreen>(rows, columns);
}

// The line of `style` at `progress`, `columns` wide, as a reference.
std::string lineAt(pb::Style<> style, const Progress<>& progress, std::int64_t columns) {
  style.styleWidth = pb::ConstantWidth{columns};
  const std::string line = pb::renderProgressBar(style, progress, pb::Timing{});
  return line.substr(0, line.find_last_not_of(' ') + 1);
}

std::size_t rowsStartingWith(const Lines& lines, const std::string& start) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(start); }));
}

struct Family {
  const char* name;
  bool terminalRewraps;  // what the terminal does
  bool displayKnows;     // what the display is told it does
};

void PrintTo(const Family& family, std::ostream* out) { *out << family.name; }

class Resize : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    testclock::setCoarse(0ns, 4ms);
    term = terminalOf(GetParam().terminalRewraps, 12, 100);
    if (!term) GTEST_SKIP() << "xterm.js (node and @xterm/headless) is not available";
  }
  void resize(int columns) {
    term->resize(12, columns);
    display.setColumns(columns);
  }
  Lines look() {
    term->feed(buf.take());
    return term->lines();
  }

  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  std::unique_ptr<testsupport::Terminal> term;
  pb::Display display{
      out, pb::AsTerminal{100, 12},
      pb::DisplayOptions{.colour = false, .rewrapsOnResize = GetParam().displayKnows}};
};

// Lines printed above, a finished row above the block and one inside it, and
// rows that stay idle: after every resize and the frame that follows, the
// printed line and every row are there once, and the block is drawn at the
// new width with the cursor on the line below it.
TEST_P(Resize, KeepsEveryLineAboveAndDrawsEveryRowOnceAtTheNewWidth) {
  const char* names[] = {"done", "alpha.iso", "beta.tar", "gamma.bin"};
  std::vector<pb::Style<>> styles;
  std::vector<pb::ProgressBar<>> bars;
  for (const char* name : names) {
    styles.push_back(pb::Style<>{.stylePrefix = name, .stylePostfix = pb::exact()});
    bars.push_back(display.add(styles.back(), Progress<>{0, 50}));
  }
  pb::incProgress(bars[0], 50);  // finished at the top: leaves the block, above it
  pb::incProgress(bars[2], 50);  // finished inside the block: stays in it
  pb::printAbove(bars[2], "beta.tar: checksum ok");
  look();
  // Each step resizes (once or twice) and then lets one bar draw.
  struct Step {
    std::vector<int> widths;
  };
  const Step steps[] = {{{60}}, {{100}}, {{50, 70}}, {{45}}, {{90, 100}}, {{80}}};
  std::int64_t done = 0;
  for (const Step& step : steps) {
    for (const int w : step.widths) resize(w);
    testclock::advance(1s);
    pb::incProgress(bars[1], 1);
    ++done;
    const int width = step.widths.back();
    SCOPED_TRACE("at width " + std::to_string(width));
    const Lines all = look();
    EXPECT_EQ(std::count(all.begin(), all.end(), "beta.tar: checksum ok"), 1);
    if (GetParam().terminalRewraps == GetParam().displayKnows) {
      for (const char* name : names) {
        EXPECT_EQ(rowsStartingWith(all, std::string(name) + " ["), 1u) << name;
      }
    }
    const Lines block = {lineAt(styles[1], Progress<>{done, 50}, width),
                         lineAt(styles[2], Progress<>{50, 50}, width),
                         lineAt(styles[3], Progress<>{0, 50}, width)};
    const Lines screen = term->visible();
    const int cursor = term->cursorRow();
    ASSERT_GE(cursor, 3);
    EXPECT_EQ(Lines(screen.begin() + cursor - 3, screen.begin() + cursor), block);
    EXPECT_TRUE(std::all_of(screen.begin() + cursor, screen.end(),
                            [](const std::string& l) { return l.empty(); }));
  }
}

INSTANTIATE_TEST_SUITE_P(Terminals, Resize,
                         ::testing::Values(Family{"cuts", false, false},
                                           Family{"rewraps", true, true},
                                           // A terminal the display cannot tell: fragments of old
                                           // rows may stay above the block, no printed line goes.
                                           Family{"rewrapsUntold", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

pb::Style<> job(int i) {
  const std::string name = std::string("job ") + (i < 10 ? "0" : "") + std::to_string(i);
  return pb::Style<>{.stylePrefix = name, .styleWidth = pb::ConstantWidth{30}};
}

// 40 bars on a 20-row screen: the running ones that fit and a row that
// counts the rest, never a scrolled copy; at the end every bar's final line
// once, in order.
TEST(MoreBarsThanRows, ShowWhatFitsWithASummaryAndLeaveEachBarOnceAtTheEnd) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  testsupport::Screen screen(20, 40);
  Lines expected;
  {  // as many bars as rows above the cursor's: all shown
    testsupport::RecordingBuf fitsBuf;
    std::ostream fitsOut(&fitsBuf);
    testsupport::Screen fits(20, 40);
    pb::Display display(fitsOut, pb::AsTerminal{40, 20}, pb::DisplayOptions{.colour = false});
    std::vector<pb::ProgressBar<>> bars;
    for (int i = 0; i < 19; ++i) bars.push_back(display.add(job(i), Progress<>{0, 4}));
    fits.feed(fitsBuf.take());
    EXPECT_EQ(fits.visible()[18], lineAt(job(18), Progress<>{0, 4}, 30));
  }
  {
    pb::Display display(out, pb::AsTerminal{40, 20}, pb::DisplayOptions{.colour = false});
    std::vector<pb::ProgressBar<>> bars;
    for (int i = 0; i < 40; ++i) bars.push_back(display.add(job(i), Progress<>{0, 4}));
    screen.feed(buf.take());
    Lines visible = screen.visible();
    EXPECT_EQ(visible[17], lineAt(job(17), Progress<>{0, 4}, 30));
    EXPECT_EQ(visible[18], "\u2026 and 22 more");
    EXPECT_EQ(screen.cursorRow(), 19);
    // Finished bars give their places to running ones.
    for (int i = 5; i < 10; ++i) pb::incProgress(bars[i], 4);
    screen.feed(buf.take());
    visible = screen.visible();
    EXPECT_EQ(visible[4], lineAt(job(4), Progress<>{0, 4}, 30));
    EXPECT_EQ(visible[5], lineAt(job(10), Progress<>{0, 4}, 30));
    EXPECT_EQ(visible[17], lineAt(job(22), Progress<>{0, 4}, 30));
    EXPECT_EQ(visible[18], "\u2026 and 22 more");
    testclock::advance(1s);
    for (int i = 0; i < 40; ++i) {
      const std::int64_t done = i >= 5 && i < 10 ? 4 : i % 3;
      if (i < 5 || i >= 10) pb::incProgress(bars[i], done);
      expected.push_back(lineAt(job(i), Progress<>{done, 4}, 30));
    }
    screen.feed(buf.take());
    EXPECT_EQ(screen.cursorRow(), 19);
  }
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), expected);
}

// A steady tick is a frame like any other: it counts the rows that do not
// fit instead of showing them all.
TEST(MoreBarsThanRows, ATickStillCountsWhatDoesNotFit) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  testsupport::Screen screen(4, 40);
  pb::Display display(out, pb::AsTerminal{40, 4}, pb::DisplayOptions{.colour = false});
  std::vector<pb::ProgressBar<>> bars;
  for (int i = 0; i < 6; ++i) bars.push_back(display.add(job(i), Progress<>{0, 4}));
  screen.feed(buf.take());
  const Lines before = screen.visible();
  EXPECT_EQ(before[2], "\u2026 and 4 more");
  testclock::advance(1s);
  display.redraw();
  screen.feed(buf.take());
  EXPECT_EQ(screen.visible(), before);
}

// Each row's labels padded to the widest, in columns: every bar proper
// starts and ends at the same columns, CJK and emoji included, and a row
// that leaves the block keeps the columns it had.
TEST(AlignedColumns, StartAndEndEveryBarAtTheSameColumns) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  testsupport::Screen screen(8, 60);
  pb::Display display(out, pb::AsTerminal{60, 8},
                      pb::DisplayOptions{.colour = false, .alignColumns = true});
  const auto add = [&](const char* name, std::int64_t total) {
    return display.add(pb::Style<>{.stylePrefix = name, .stylePostfix = pb::exact()},
                       Progress<>{0, total});
  };
  const auto first = add("数据数据.bin", 10);  // the widest prefix, 12 columns
  add("a", 1000);
  add("🎉 party", 7);
  const auto wide = add("z", 100000);  // the widest postfix
  pb::incProgress(first, 10);          // finished at the top: leaves the block
  pb::incProgress(wide, 100000);
  add("b", 1);  // after the widest has left: still lined up with it
  screen.feed(buf.take());
  EXPECT_EQ(screen.columnOf(0, U'['), 13) << "the widest prefix and a space";
  for (int r = 0; r < 5; ++r) {
    SCOPED_TRACE(screen.row(r));
    EXPECT_EQ(screen.columnOf(r, U'['), screen.columnOf(0, U'['));
    EXPECT_EQ(screen.columnOf(r, U']'), screen.columnOf(0, U']'));
  }
}

// A wider label that comes later moves the bars of the rows laid out before it.
TEST(AlignedColumns, ARowLaidOutBeforeAWiderLabelMovesWithTheOthers) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  testsupport::Screen screen(8, 60);
  pb::Display display(out, pb::AsTerminal{60, 8},
                      pb::DisplayOptions{.colour = false, .alignColumns = true});
  const pb::Style<> narrow{.stylePrefix = "a", .stylePostfix = pb::exact()};
  const pb::Style<> wide{.stylePrefix = "a wider name", .stylePostfix = pb::exact()};
  display.add(narrow, Progress<>{0, 10});
  display.add(wide, Progress<>{0, 10});
  screen.feed(buf.take());
  EXPECT_EQ(screen.columnOf(0, U'['), 13);
  EXPECT_EQ(screen.columnOf(1, U'['), 13);
}

// In a log, each line lined up with the bars so far, with no padding at its end.
TEST(AlignedColumns, InALogWithNoTrailingPadding) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsLog{}, pb::DisplayOptions{.alignColumns = true});
  const auto add = [&](const char* name, pb::Label<> postfix) {
    display.add(
        pb::Style<>{
            .stylePrefix = name, .stylePostfix = postfix, .styleWidth = pb::ConstantWidth{24}},
        Progress<>{0, 10});
  };
  add("wide name", pb::percentage());
  add("a", "x");
  EXPECT_EQ(buf.take(),
            "wide name [..............................]   0%\n"
            "a         [..............................] x\n");
}

// A frame rewrites only the rows that changed, in one synchronised update; a
// frame in which nothing changed writes nothing.
TEST(FrameBytes, OnlyChangedRowsAndNothingForNoChange) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  testsupport::Screen screen(12, 60);
  pb::Display display(out, pb::AsTerminal{60, 12}, pb::DisplayOptions{.colour = false});
  std::vector<pb::ProgressBar<>> bars;
  for (int i = 0; i < 8; ++i) bars.push_back(display.add(job(i), Progress<>{0, 100}));
  screen.feed(buf.take());
  display.redraw();
  EXPECT_EQ(buf.take(), "") << "nothing changed";
  // Updates too soon after the last frame to draw, then one frame for them.
  const auto frameFor = [&](int changed) {
    for (int i = 0; i < changed; ++i) pb::incProgress(bars[i], 1);
    display.redraw();
    std::string bytes = buf.take();
    screen.feed(bytes);
    return bytes;
  };
  const std::string one = frameFor(1), all = frameFor(8);
  EXPECT_TRUE(one.starts_with("\x1b[?2026h") && one.ends_with("\x1b[?2026l")) << one;
  EXPECT_LE(2 * one.size(), all.size());
  Lines expected;
  for (int i = 0; i < 8; ++i)
    expected.push_back(lineAt(job(i), Progress<>{i == 0 ? 2 : 1, 100}, 30));
  EXPECT_EQ(screen.lines(), expected);
  EXPECT_EQ(screen.cursorRow(), 8);
}

}  // namespace
