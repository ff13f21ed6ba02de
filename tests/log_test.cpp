// A display writing a log, read as a person scanning a CI log reads it:
// every bar proper of one width on every line, whatever the style and the
// labels, and nothing blank at the end of a line; and a long run of bars,
// whose finished rows the log lets go.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "System/ProgressBar.hpp"
#include "base/text.hpp"
#include "display/display_core.hpp"
#include "display/screen_text.hpp"
#include "support/fake_clock.hpp"
#include "support/log_line.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using Lines = std::vector<std::string>;

namespace {

Lines linesOf(const std::string& bytes) {
  Lines lines;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find('\n', at);
    lines.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Terminal columns of `text`, escapes left out.
std::size_t columnsOf(std::string_view text) {
  std::string plain;
  pb::detail::appendPlain(plain, text, false);
  return pb::detail::measure(plain, pb::detail::Measure::kColumns).length;
}

// Where a line's bar proper stands: the columns before its open text, and
// the columns between its open and close texts.
struct BarAt {
  std::size_t start, columns;
  bool operator==(const BarAt&) const = default;
};
BarAt barOf(std::string_view line, std::string_view open, std::string_view close) {
  const std::size_t from = line.find(open);
  const std::size_t to = line.find(close, from + open.size());
  if (from == std::string_view::npos || to == std::string_view::npos) return {SIZE_MAX, SIZE_MAX};
  return {columnsOf(line.substr(0, from)),
          columnsOf(line.substr(from + open.size(), to - from - open.size()))};
}

bool endsInABlank(std::string_view line) {
  std::string plain;
  pb::detail::appendPlain(plain, line, false);
  return !plain.empty() && (plain.back() == ' ' || plain.back() == '\t');
}

pb::Style<> counted(pb::ProgressBarWidth width, pb::Label<> prefix = "job") {
  return pb::Style<>{.stylePrefix = std::move(prefix),
                     .stylePostfix = pb::exact() + " " + pb::percentage(),
                     .styleWidth = width};
}

// Every line of a bar, from its first to its final one, whatever its style's
// width and however its labels grow: the bar proper 30 columns wide, and
// nothing blank at the end; with aligned columns, at one column on every
// line as well, or further right only when a wider prefix has come.
TEST(LogLines, EveryBarProperHasOneWidthWhateverTheStyleAndTheLabels) {
  testclock::setCoarse(0ns, 4ms);
  pb::Style<> blocks = counted(pb::TerminalWidth{40});
  blocks.styleOpen = "\u2595";   // ▕
  blocks.styleClose = "\u258f";  // ▏
  blocks.styleDone = U'\u2588';  // █
  blocks.styleTodo = U' ';
  pb::Style<> wideCells = counted(pb::ConstantWidth{24});
  wideCells.styleDone = U'\U0001F7E9';  // 🟩, two columns: fifteen cells
  wideCells.styleCurrent = wideCells.styleTodo = U'\u2B1C';
  pb::Style<> coloured = counted(pb::ConstantWidth{30});
  coloured.styleEscapeDone = [](const Progress<>&) { return "\x1b[32m"; };
  coloured.styleEscapeClose = [](const Progress<>&) { return "\x1b[0m"; };
  // clang-format off
  const struct {
    const char* name;
    pb::Style<> style;
    bool unknownTotal;
    bool colour;
    bool prefixGrows;
  } cases[] = {
      {"constant width, narrower than the labels", counted(pb::ConstantWidth{12}, "a label wider than the line"), false, false, false},
      {"constant width, wide", counted(pb::ConstantWidth{120}), false, false, false},
      {"terminal width, the default", counted(pb::TerminalWidth{50}), false, false, false},
      {"terminal width, narrower than the labels", counted(pb::TerminalWidth{8}), false, false, false},
      {"a prefix that grows", counted(pb::ConstantWidth{40}, pb::exact()), false, false, true},
      {"unknown total", counted(pb::TerminalWidth{50}), true, false, false},
      {"blocks, a blank todo cell", blocks, false, false, false},
      {"two-column cells", wideCells, false, false, false},
      {"colour", coloured, false, true, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    for (const bool align : {false, true}) {
      const std::string name = std::string(c.name) + (align ? ", aligned" : "");
      testsupport::RecordingBuf buf;
      std::ostream out(&buf);
      pb::Display display(
          out, pb::AsLog{},
          pb::DisplayOptions{.logInterval = 1s, .colour = c.colour, .alignColumns = align});
      const auto bar = c.unknownTotal ? display.add(c.style, Progress<>{0, 5}, pb::unknownTotal)
                                      : display.add(c.style, Progress<>{0, 5});
      // From "0/5" to "10000/50000", then done.
      for (const Progress<> next : {Progress<>{1, 5}, Progress<>{40, 500}, Progress<>{10000, 50000},
                                    Progress<>{49999, 50000}}) {
        testclock::advance(2s);
        pb::updateProgress(bar, [&](const Progress<>&) { return next; });
      }
      testclock::advance(2s);
      if (c.unknownTotal) {
        pb::finish(bar);
      } else {
        pb::incProgress(bar, 1);
      }
      const Lines lines = linesOf(buf.take());
      ASSERT_EQ(lines.size(), 6u) << name;
      const BarAt first = barOf(lines[0], c.style.styleOpen, c.style.styleClose);
      EXPECT_EQ(first.columns, 30u) << name << ": " << lines[0];
      BarAt before = first;
      for (const std::string& line : lines) {
        const BarAt at = barOf(line, c.style.styleOpen, c.style.styleClose);
        EXPECT_EQ(at.columns, first.columns) << name << ": " << line;
        if (align) {
          EXPECT_TRUE(c.prefixGrows ? at.start >= before.start : at.start == first.start)
              << name << ": " << line;
        }
        before = at;
        EXPECT_FALSE(endsInABlank(line)) << name << ": '" << line << "'";
      }
    }
  }
}

// Lines whose end would be blank: a bar with no close text, blank todo
// cells and no postfix; a postfix that ends in blanks; a spinner's style,
// which has no bar proper, in a log either. With colour the escapes stay.
TEST(LogLines, NoLineEndsInABlank) {
  testclock::setCoarse(0ns, 4ms);
  pb::Style<> open{.styleOpen = "", .styleClose = "", .styleTodo = U' ', .stylePrefix = "copy"};
  open.stylePostfix = pb::emptyLabel();
  pb::Style<> coloured = open;
  coloured.styleEscapeTodo = [](const Progress<>&) { return "\x1b[2m"; };
  coloured.styleEscapeClose = [](const Progress<>&) { return "\x1b[0m"; };
  const pb::Style<> spacedPostfix{.stylePrefix = "job", .stylePostfix = "left  \t"};
  // clang-format off
  const struct {
    const char* name;
    pb::Style<> style;
    bool unknownTotal, colour;
    const char* line;  // each line, as written
  } cases[] = {
      {"no close text, blank todo cells", open, false, false, "copy"},
      {"the same in colour", coloured, false, true, "copy\x1b[2m\x1b[0m"},
      {"a postfix that ends in blanks", spacedPostfix, false, false, "job [..............................] left"},
      {"a spinner", pb::spinnerStyle("files"), true, false, "\u280b 0 files 0s --"},
  };
  // clang-format on
  for (const auto& c : cases) {
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    pb::Display display(out, pb::AsLog{}, pb::DisplayOptions{.colour = c.colour});
    const auto bar = c.unknownTotal ? display.add(c.style, Progress<>{0, 0}, pb::unknownTotal)
                                    : display.add(c.style, Progress<>{0, 5});
    pb::finish(bar);
    EXPECT_EQ(linesOf(buf.take()), (Lines{c.line, c.line})) << c.name;
  }
}

// A line the log fails to write leaves everything as it was: a bar whose
// first line failed was never added and writes nothing, not even at the
// end; a bar whose final line failed is still running, so its next update
// is a running bar's (no line within the interval), not a new bar's first
// line, and it completes with one final line.
TEST(LogLines, ALineThatFailsLeavesTheLogAsItWas) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::FailingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsLog{});
  const pb::Style<> s{.stylePrefix = "job", .stylePostfix = pb::exact()};
  buf.armed = true;
  EXPECT_THROW(display.add(s, Progress<>{3, 10}), std::ios_base::failure);
  buf.armed = false;
  const auto bar = display.add(s, Progress<>{0, 10});
  testclock::advance(1s);
  buf.armed = true;
  EXPECT_THROW(pb::incProgress(bar, 10), std::ios_base::failure);
  buf.armed = false;
  testclock::advance(1s);
  pb::incProgress(bar, 5);
  testclock::advance(1s);
  pb::incProgress(bar, 5);
  display.end();
  EXPECT_EQ(linesOf(buf.take()), (Lines{testsupport::logLine(s, Progress<>{0, 10}),
                                        testsupport::logLine(s, Progress<>{10, 10})}));
}

// The places finished bars leave are taken out as soon as they are as many
// as the rows left: one of two at once, and the running row stays.
TEST(LogRun, APlaceLeftIsTakenOutOnceHalfTheRowsAreEmpty) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsLog{});
  const pb::detail::DisplayCore& core = pb::detail::DisplayAccess::core(display);
  const pb::Style<> style{.stylePostfix = pb::exact()};
  const auto running = display.add(style, Progress<>{0, 10});
  const auto done = display.add(style, Progress<>{0, 10});
  pb::incProgress(done, 10);
  EXPECT_EQ(core.rowsHeld(), 1u);
  testclock::advance(10s);
  pb::incProgress(running, 5);
  EXPECT_EQ(linesOf(buf.take()).back(), testsupport::logLine(style, Progress<>{5, 10}));
}

// A long run: ten thousand bars added and finished one after another, one
// or a hundred under way at once. Each writes its first and its final line
// once, and the display holds no row for a finished bar; an old bar's handle
// still works: removing it does nothing, a bar added below it is added, and
// a revived one (started over, given a larger total, a count taken back)
// starts over with a first line as a new bar would. The widest label seen
// still aligns the lines after its row has gone.
TEST(LogRun, FinishedBarsLeaveTheDisplayAndTheirHandlesStillWork) {
  testclock::setCoarse(0ns, 4ms);
  constexpr int kBars = 10000;
  const pb::Style<> widest{.stylePrefix = "the widest name of all", .stylePostfix = pb::exact()};
  const auto named = [](const std::string& name) {
    return pb::Style<>{.stylePrefix = name + std::string(22 - name.size(), ' '),
                       .stylePostfix = pb::exact()};
  };
  for (const std::size_t running : {std::size_t{1}, std::size_t{100}}) {
    testsupport::RecordingBuf buf;
    std::ostream out(&buf);
    pb::Display display(out, pb::AsLog{}, pb::DisplayOptions{.alignColumns = true});
    const pb::detail::DisplayCore& core = pb::detail::DisplayAccess::core(display);
    std::vector<pb::ProgressBar<>> old;
    for (int i = 0; i < 3; ++i) {
      old.push_back(display.add(widest, Progress<>{0, 10}));
      pb::incProgress(old.back(), 10);
    }
    std::deque<pb::ProgressBar<>> live;
    for (int i = 0; i < kBars; ++i) {
      live.push_back(display.add(named("bar " + std::to_string(i)), Progress<>{0, 10}));
      pb::incProgress(live.back(), 5);  // too soon to write
      if (live.size() > running) {
        pb::incProgress(live.front(), 5);
        live.pop_front();
      }
    }
    EXPECT_LE(core.rowsHeld(), 2 * running) << "the running bars, and the places they leave";
    for (const auto& bar : live) pb::incProgress(bar, 5);
    live.clear();
    EXPECT_EQ(core.rowsHeld(), 0u) << running;
    std::map<std::string, int> times;
    for (const std::string& line : linesOf(buf.take())) ++times[line];
    EXPECT_EQ(times.size(), 2u + 2 * kBars) << running;
    for (int i = 0; i < kBars; ++i) {
      const std::string name = "bar " + std::to_string(i);
      EXPECT_EQ(times[testsupport::logLine(named(name), Progress<>{0, 10})], 1) << name;
      EXPECT_EQ(times[testsupport::logLine(named(name), Progress<>{10, 10})], 1) << name;
    }

    display.remove(old[0]);
    const auto below = display.addBelow(old[0], named("below"), Progress<>{0, 3});
    EXPECT_EQ(buf.take(), testsupport::logLine(named("below"), Progress<>{0, 3}) + "\n");
    pb::finish(below);
    buf.take();
    pb::reset(old[0]);
    pb::setTotal(old[1], 20);
    testclock::advance(1s);  // not too soon to draw
    pb::incProgress(old[2], -1);
    EXPECT_EQ(linesOf(buf.take()), (Lines{testsupport::logLine(widest, Progress<>{0, 10}),
                                          testsupport::logLine(widest, Progress<>{10, 20}),
                                          testsupport::logLine(widest, Progress<>{9, 10})}));
    EXPECT_EQ(core.rowsHeld(), 3u);
    pb::incProgress(old[0], 10);
    pb::incProgress(old[1], 10);
    pb::incProgress(old[2], 1);
    display.end();
    EXPECT_EQ(linesOf(buf.take()), (Lines{testsupport::logLine(widest, Progress<>{10, 10}),
                                          testsupport::logLine(widest, Progress<>{20, 20}),
                                          testsupport::logLine(widest, Progress<>{10, 10})}));
    EXPECT_EQ(core.rowsHeld(), 0u);
  }
}

}  // namespace
