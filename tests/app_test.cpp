// What an application reaches for: the final frame, totals set late, bars
// started over, messages, finishing that keeps or clears, and the display's
// conveniences; each on an emulated terminal and in a log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <forward_list>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/log_line.hpp"
#include "support/recording_buf.hpp"
#include "support/screen.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using Lines = std::vector<std::string>;

namespace {

pb::Style<> job(const char* name, pb::OnComplete onComplete = pb::WriteNewline,
                bool withMessage = false) {
  return pb::Style<>{.stylePrefix = name,
                     .stylePostfix = withMessage ? pb::exact() + " " + pb::message() : pb::exact(),
                     .styleWidth = pb::ConstantWidth{30},
                     .styleOnComplete = onComplete};
}

// The line of `style` at done of todo with `message`, as a reference.
template <class Custom = std::monostate>
std::string lineOf(const pb::Style<Custom>& style, std::int64_t done, std::int64_t todo,
                   const std::string& message = "") {
  return pb::renderProgressBar(style, Progress<Custom>{done, todo, Custom{}},
                               pb::Timing{.timingMessage = &message});
}

// A display on a stated terminal or a log, and what it shows: the screen's
// lines (without trailing blanks), or every line of the log.
class App : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  bool terminal() const { return GetParam(); }
  pb::Display makeDisplay() {
    if (terminal()) return pb::Display(out, pb::AsTerminal{40, 10});
    return pb::Display(out, pb::AsLog{});
  }
  Lines shown() {
    const std::string bytes = buf.take();
    if (!terminal()) {
      for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find('\n', at);
        log.push_back(bytes.substr(at, end - at));
        at = end + 1;
      }
      return log;
    }
    screen.feed(bytes);
    return screen.lines();
  }
  // A line as the output shows it.
  std::string as(std::string line) const {
    if (terminal()) line.erase(line.find_last_not_of(' ') + 1);
    return line;
  }
  std::string last() { return shown().back(); }
  // The reference line of `style` as this output writes it.
  std::string lineOf(const pb::Style<>& style, std::int64_t done, std::int64_t todo,
                     const std::string& message = "") const {
    if (terminal()) return ::lineOf(style, done, todo, message);
    return testsupport::logLine(style, Progress<>{done, todo},
                                pb::Timing{.timingMessage = &message});
  }

  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  testsupport::Screen screen{10, 40};
  Lines log;
  pb::Display display = makeDisplay();
};

// Updates too soon to draw are shown by the final frame, however the bar or
// the display ends.
TEST_P(App, TheFinalFrameShowsTheStoredProgress) {
  const std::function<void(pb::Display&, const pb::ProgressBar<>&)> ends[] = {
      [](pb::Display& d, const pb::ProgressBar<>&) { d.end(); },
      [this](pb::Display& d, const pb::ProgressBar<>&) { d = makeDisplay(); },  // destroyed
      [](pb::Display&, const pb::ProgressBar<>& bar) { pb::finish(bar); },
  };
  for (const auto& end : ends) {
    pb::Display d = makeDisplay();
    const auto bar = d.add(job("job"), Progress<>{0, 100});
    testclock::advance(1s);
    pb::incProgress(bar, 10);
    pb::incProgress(bar, 30);  // too soon to draw
    end(d, bar);
    d.end();
    EXPECT_EQ(last(), lineOf(job("job"), 40, 100));
  }
}

// A total set late, or a larger one, brings a complete bar back to life.
TEST_P(App, SetTotalRevivesACompleteBar) {
  const auto bar = display.add(job("files"), Progress<>{0, 0});
  pb::setTotal(bar, 50);
  if (terminal()) {
    EXPECT_EQ(last(), lineOf(job("files"), 0, 50));
  }
  for (int i = 0; i < 25; ++i) pb::incProgress(bar, 1);
  testclock::advance(1s);
  pb::incProgress(bar, 25);
  if (terminal()) {
    EXPECT_EQ(last(), lineOf(job("files"), 50, 50));
  }
  pb::setTotal(bar, 100);  // complete, then not
  display.end();
  EXPECT_EQ(last(), lineOf(job("files"), 50, 100));
  if (!terminal()) {
    EXPECT_EQ(shown(), (Lines{lineOf(job("files"), 0, 0), lineOf(job("files"), 0, 50),
                              lineOf(job("files"), 50, 50), lineOf(job("files"), 50, 100)}));
  }
}

// Epochs over one bar: its row comes back live, in place, or below the
// block once its final line has left it; the message stays.
TEST_P(App, ResetStartsAFinishedRowOver) {
  const pb::Style<> epochStyle = job("epoch", pb::WriteNewline, true);
  const auto epoch = display.add(epochStyle, Progress<>{0, 4});
  const auto other = display.add(job("other"), Progress<>{0, 4});
  pb::incProgress(epoch, 4);  // finished at the top: its line leaves the block
  pb::incProgress(other, 4);
  pb::setMessage(epoch, "loss 0.5");
  pb::reset(epoch, 8);
  Lines lines = shown();
  EXPECT_EQ(lines.back(), lineOf(epochStyle, 0, 8, "loss 0.5"));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), as(lineOf(epochStyle, 4, 4))), 1);
  testclock::advance(1s);
  pb::incProgress(epoch, 8);
  EXPECT_EQ(last(), lineOf(epochStyle, 8, 8, "loss 0.5"));
  EXPECT_EQ(pb::progressOf(epoch).progressDone, 8);
  pb::reset(other);
  display.end();
  lines = shown();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), lineOf(job("other"), 0, 4)), terminal() ? 1 : 2);
  EXPECT_EQ(lines.back(), lineOf(job("other"), 0, 4));  // its final line had left the block
}

// Messages from several threads: each an update, the last one set shown.
TEST_P(App, TheLastMessageSetIsShown) {
  const pb::Style<> style = job("train", pb::WriteNewline, true);
  const auto bar = display.add(style, Progress<>{0, 10});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&bar, t] {
      for (int i = 0; i < 200; ++i) pb::setMessage(bar, "t" + std::to_string(t));
    });
  }
  for (auto& t : threads) t.join();
  pb::setMessage(bar, "loss 0.25");  // too soon to draw: at the end
  display.end();
  EXPECT_EQ(last(), lineOf(style, 0, 10, "loss 0.25"));
}

// finish can keep or clear a line whatever the style says, also a final one.
TEST_P(App, FinishingKeepsOrClearsAsAsked) {
  const auto run = display.add(job("run"), Progress<>{0, 10});
  const auto transient = display.add(job("tmp", pb::Clear), Progress<>{0, 10});
  const auto kept = display.add(job("kept"), Progress<>{0, 10});
  const auto spare = display.add(job("spare"), Progress<>{0, 10});
  pb::abandon(transient, "failed: disk full");
  pb::finishAndClear(kept);
  pb::incProgress(spare, 10);
  pb::finishAndClear(spare);  // after its final line: that line goes too
  display.end();
  pb::Style<> failed = job("tmp");
  failed.stylePostfix = "failed: disk full";
  if (terminal()) {
    EXPECT_EQ(shown(), (Lines{lineOf(job("run"), 0, 10), lineOf(failed, 0, 10)}));
  } else {  // a log writes each final line once, cleared or not
    EXPECT_EQ(shown(),
              (Lines{lineOf(job("run"), 0, 10), lineOf(job("tmp"), 0, 10),
                     lineOf(job("kept"), 0, 10), lineOf(job("spare"), 0, 10), lineOf(failed, 0, 10),
                     lineOf(job("kept"), 0, 10), lineOf(job("spare"), 10, 10)}));
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, App, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Terminal" : "Log"; });

// A bar alone: started over, then finished otherwise than its style says.
TEST(AppAlone, ResetAndFinishingAsAskedOnAStream) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const pb::Style<> style = job("a", pb::Clear);
  const auto bar = pb::hNewProgressBar(out, style, 10.0, Progress<>{0, 2});
  pb::incProgress(bar, 2);
  EXPECT_EQ(buf.take(), lineOf(style, 0, 2) + "\r" + lineOf(style, 2, 2) + "\r\x1b[K");
  pb::reset(bar);
  pb::abandon(bar, "stopped");
  pb::Style<> stopped = style;
  stopped.stylePostfix = "stopped";
  EXPECT_EQ(buf.take(), lineOf(style, 0, 2) + "\r" + lineOf(stopped, 0, 2) + "\n");
}

// The conveniences: a total of any integer type, a loop's bar on the
// display, a display returned from a function.
TEST(AppDisplay, IntegerTotalsTrackAndMoves) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Display display(out, pb::AsLog{});
  const std::vector<int> files(7);
  EXPECT_EQ(pb::progressOf(display.add(job("files"), files.size())).progressTodo, 7);
  EXPECT_EQ(pb::progressOf(display.add(job("u8"), std::uint8_t{200})).progressTodo, 200);
  EXPECT_THROW(display.add(job("big"), std::numeric_limits<std::uint64_t>::max()),
               std::out_of_range);
  auto sized = display.track(files);
  for ([[maybe_unused]] const int f : sized) {
  }
  EXPECT_EQ(pb::progressOf(sized.bar()).progressDone, 7);
  const std::forward_list<int> unsized{1, 2, 3};
  auto loop = display.track(unsized, pb::spinnerStyle());
  int sum = 0;
  for (const int f : loop) sum += f;
  EXPECT_EQ(sum, 6);
  EXPECT_EQ(pb::progressOf(loop.bar()).progressDone, 3);
  buf.take();
  // A loop's own bar is finished when its view goes, even if the loop was left early.
  const auto leftEarly = [&](const auto& range) {
    std::optional<pb::ProgressBar<>> kept;
    {
      auto left = display.track(range, job("left"));
      for ([[maybe_unused]] const int f : left) break;
      kept.emplace(left.bar());
      buf.take();
    }
    return buf.take();
  };
  EXPECT_EQ(leftEarly(files), testsupport::logLine(job("left"), Progress<>{0, 7}) + "\n");
  EXPECT_EQ(leftEarly(std::forward_list<int>{1, 2, 3}),
            "left [==============================] 0/0\n");
  const auto made = [&out] { return pb::Display(out, pb::AsLog{}); };
  pb::Display moved = made();
  moved.add(job("m"), 3);
  moved = made();
  EXPECT_EQ(buf.take(), testsupport::logLine(job("m"), Progress<>{0, 3}) + "\n");
}

// message() needs no custom type, and works with any.
TEST(AppMessage, WorksForEveryCustomType) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Style<int> s{.stylePrefix = "n", .stylePostfix = pb::message<int>()};
  s.styleWidth = pb::ConstantWidth{20};
  const auto bar = pb::hNewProgressBar(out, s, 10.0, Progress<int>{0, 2, 5});
  pb::setMessage(bar, "hello");  // too soon: at the next draw
  testclock::advance(1s);
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), lineOf(s, 0, 2) + "\r" + lineOf(s, 1, 2, "hello") + "\r");
  EXPECT_EQ(pb::progressOf(bar).progressCustom, 5);
  EXPECT_EQ(pb::message<int>().runLabel(Progress<int>{0, 1, 0}, pb::Timing{}), "");
}

// A message whose draw fails is not kept: the old one stays.
TEST(AppMessage, AFailedDrawKeepsTheOldMessage) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::FailingBuf buf;
  std::ostream out(&buf);
  const pb::Style<> style = job("m", pb::WriteNewline, true);
  const auto bar = pb::hNewProgressBar(out, style, 10.0, Progress<>{0, 4});
  buf.armed = true;
  testclock::advance(1s);
  EXPECT_THROW(pb::setMessage(bar, "new"), std::ios_base::failure);
  buf.armed = false;
  buf.take();
  testclock::advance(1s);
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), lineOf(style, 1, 4) + "\r");
}

}  // namespace
