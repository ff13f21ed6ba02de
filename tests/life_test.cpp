// A bar's whole life: finishing it, loops that end early, totals that are not
// known, and a steady tick.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/screen.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::styleOfWidth;

namespace {

class LifeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testclock::setCoarse(0ns, 4ms);
    testclock::resetTicks();
  }
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
};

TEST_F(LifeTest, FinishingDrawsTheTrueLastLineOnceAndLaterUpdatesOnlyCount) {
  for (const pb::OnComplete onComplete : {pb::WriteNewline, pb::Clear}) {
    const auto bar =
        pb::hNewProgressBar(out, styleOfWidth(20, onComplete), 10.0, Progress<>{0, 10});
    pb::incProgress(bar, 3);  // throttled
    buf.take();
    pb::finish(bar);
    EXPECT_EQ(buf.take(), onComplete == pb::WriteNewline ? "[===>.........]  30%\n"
                                                         : "[===>.........]  30%\r\x1b[K");
    pb::finish(bar);
    testclock::advance(1s);
    pb::incProgress(bar, 7);
    pb::updateProgress(bar, [](const Progress<>& p) { return Progress<>{p.progressDone, 9}; });
    EXPECT_EQ(buf.take(), "");
    EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 10);
    pb::printAbove(bar, "log");
    EXPECT_EQ(buf.take(), "log\n");
  }
  // A bar whose completing line was drawn keeps it: finishing adds nothing.
  const auto done = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1});
  pb::incProgress(done, 1);
  buf.take();
  pb::finish(done);
  EXPECT_EQ(buf.take(), "");
}

TEST_F(LifeTest, AMessageStandsInsteadOfThePostfixOrAfterIt) {
  const auto a = pb::hNewProgressBar(out, styleOfWidth(30), 10.0, Progress<>{3, 10});
  const auto b = pb::hNewProgressBar(out, styleOfWidth(30), 10.0, Progress<>{3, 10});
  buf.take();
  pb::finish(a, "failed: disk full");
  EXPECT_EQ(buf.take(), "[===>......] failed: disk full\n");
  pb::finish(b, "failed", pb::FinishMessage::AfterPostfix);
  EXPECT_EQ(buf.take(), "[====>...........]  30% failed\n");
}

TEST_F(LifeTest, AGuardEndsATrackedLoopWithItsTrueLineHoweverItEnds) {
  const std::vector<int> items = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const auto run = [&](int stopAt, bool byThrow) {
    const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
    try {
      const auto guard = pb::finishOnExit(bar);
      for (const int item : pb::track(bar, items)) {
        if (item == stopAt && byThrow) throw std::runtime_error("stop");
        if (item == stopAt) break;
      }
    } catch (const std::runtime_error&) {
    }
    const std::string bytes = buf.take();
    return bytes.substr(bytes.rfind('\r') + 1);
  };
  EXPECT_EQ(run(-1, false), "[=============] 100%\n");  // the end: its own line, no second one
  EXPECT_EQ(run(6, false), "[=======>.....]  60%\n");
  EXPECT_EQ(run(6, true), "[=======>.....]  60%\n");
}

TEST_F(LifeTest, UnknownTotalsMoveNeverCompleteAndTurnIntoOrdinaryBars) {
  pb::Style<> s = styleOfWidth(16);
  s.stylePostfix = pb::count();
  const auto bar = pb::hNewProgressBar(out, s, 10.0, Progress<>{0, 0}, pb::unknownTotal);
  std::string lines = buf.take();
  for (int i = 1; i <= 30; ++i) {
    testclock::advance(101ms);
    pb::incProgress(bar, 1);
    lines += buf.take();
  }
  // The mark moves one cell per step (0.1 s) and comes back; a new line
  // never starts.
  EXPECT_EQ(lines.find('\n'), std::string::npos);
  EXPECT_EQ(lines.substr(0, 17 * 4),
            "[>...........] 0\r[.>..........] 1\r[..>.........] 2\r"
            "[...>........] 3\r");
  EXPECT_NE(lines.find("[.........>..] 9\r[..........>] 10\r[.........>.] 11\r"),
            std::string::npos);
  pb::setTotal(bar, 40);
  EXPECT_EQ(buf.take(), "[========>..] 30\r");
  const auto unknown = pb::hNewProgressBar(out, s, 10.0, Progress<>{0, 0}, pb::unknownTotal);
  pb::incProgress(unknown, 5);
  buf.take();
  pb::finish(unknown);
  EXPECT_EQ(buf.take(), "[============] 5\n");
  pb::reset(unknown);  // moves again
  EXPECT_EQ(buf.take(), "[>...........] 0\r");
}

TEST_F(LifeTest, ASpinnerStyleShowsMotionCountTimeAndRate) {
  const auto bar = pb::hNewProgressBar(out, pb::spinnerStyle("lines", pb::SpinnerFrames::Ascii),
                                       10.0, Progress<>{0, 0}, pb::unknownTotal);
  EXPECT_EQ(buf.take(), "| 0 lines 0s -- \r");
  testclock::advance(250ms);
  pb::incProgress(bar, 500);
  EXPECT_EQ(buf.take(), "- 500 lines 0s 2.00k lines/s \r");
}

TEST_F(LifeTest, ATickRedrawsTheStoredProgressAtTheCurrentTime) {
  pb::Style<> s = styleOfWidth(24);
  s.stylePrefix = pb::elapsedTime(pb::humanDuration);
  const auto bar = pb::hNewProgressBar(out, s, 10.0, Progress<>{0, 10});
  {
    pb::Ticker ticker(bar, 1s);
    buf.take();
    testclock::advance(1s);
    testclock::tick();
    EXPECT_EQ(buf.take(), "1s [..............]   0%\r");
    pb::incProgress(bar, 2);  // too soon after the tick's draw
    EXPECT_EQ(buf.take(), "");
    testclock::advance(1s);
    testclock::tick();
    EXPECT_EQ(buf.take(), "2s [==>...........]  20%\r");
    pb::incProgress(bar, 8);
    buf.take();
    testclock::advance(1s);
    testclock::tick();  // complete: nothing to redraw
    EXPECT_EQ(buf.take(), "");
  }
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 10);
}

// While a ticker watches a bar, its updates read no clock: the ticker's
// thread has given its word that no draw is due until it looks again, by the
// time the coarse clock would stop proving that. A look that finds that time
// come withdraws the word and the clocks decide; a draw that brings that time
// before the ticker's next look asks it to look by then, and the word holds
// until that time; a tick gives it again. A ticker that has stopped leaves
// the clocks to decide.
TEST_F(LifeTest, AWatchingTickerKeepsUpdatesOffTheClocksUntilADrawCanBeDue) {
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1000});
  const auto reads = [] { return testclock::coarseReads() + testclock::preciseReads(); };
  const auto update = [&] {
    buf.take();
    const std::int64_t before = reads();
    pb::incProgress(bar, 1);
    return std::make_pair(!buf.take().empty(), reads() != before);
  };
  // clang-format off
  const struct {
    const char* what;
    std::chrono::milliseconds advance;
    void (*ticker)();
    bool drawn, clocksRead;
    std::int64_t asks;
  } steps[] = {
      {"too soon, on the ticker's word", 10ms, nullptr, false, false, 0},
      {"the deadline passed, the ticker yet to look", 190ms, nullptr, false, false, 0},
      {"its look finds the deadline passed: drawn, and a look asked for", 0ms, testclock::look, true, true, 1},
      {"on the word until the next deadline, before the tick", 10ms, nullptr, false, false, 1},
      {"a tick draws and gives the word again", 790ms, testclock::tick, false, false, 1},
      {"a look before the deadline keeps it", 50ms, testclock::look, false, false, 1},
  };
  // clang-format on
  {
    pb::Ticker ticker(bar, 1s);
    testclock::look();  // by then its first look is done
    for (const auto& step : steps) {
      testclock::advance(step.advance);
      if (step.ticker != nullptr) step.ticker();
      const std::int64_t asked = testclock::asks();
      const auto [drawn, clocksRead] = update();
      EXPECT_EQ(drawn, step.drawn) << step.what;
      EXPECT_EQ(clocksRead, step.clocksRead) << step.what;
      while (testclock::asks() < step.asks) std::this_thread::yield();
      EXPECT_EQ(testclock::asks(), step.asks) << step.what;
      if (testclock::asks() != asked)
        testclock::look();  // the asked look is done by this one's end
    }
  }
  testclock::advance(100ms);
  const auto [drawn, clocksRead] = update();
  EXPECT_TRUE(drawn && clocksRead) << "the ticker gone, the clocks decide";
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 7);
}

// Between its looks the ticker's thread still ticks once an interval: a
// look does not bring the tick forward, nor does a tick the one after it.
TEST_F(LifeTest, ATickerWaitsItsIntervalForTheNextTickWhateverItLooksAt) {
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1000});
  pb::Ticker ticker(bar, 1s);
  testclock::look();
  EXPECT_GT(testclock::lastTickIn(), 500ms) << "after the first look";
  testclock::tick();
  EXPECT_GT(testclock::lastTickIn(), 500ms) << "after a tick";
  EXPECT_LE(testclock::lastTickIn(), 1s);
}

// However long its interval, up to the longest a duration holds, a ticker
// looks at its bar by the time a draw can be due (0.1 s after the last).
TEST_F(LifeTest, ATickerOfAnyIntervalLooksByTheTimeADrawCanBeDue) {
  for (const std::chrono::nanoseconds interval :
       {std::chrono::nanoseconds(1h), std::chrono::nanoseconds(7'000'000'000'000'000'000),
        std::chrono::nanoseconds(8'000'000'000'000'000'000), std::chrono::nanoseconds::max()}) {
    testclock::resetTicks();
    const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1000});
    pb::Ticker ticker(bar, interval);
    testclock::look();
    EXPECT_GT(testclock::lastTickIn(), 30min) << interval.count();
    EXPECT_GT(testclock::lastLookIn(), 0ns) << interval.count();
    EXPECT_LE(testclock::lastLookIn(), 100ms) << interval.count();
  }
}

// A display's ticker watches every live bar it finds at a look, those added
// after it started too.
TEST_F(LifeTest, ADisplaysTickerWatchesTheBarsItFindsAtALook) {
  pb::Display display(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false});
  pb::Ticker ticker(display, 1h);
  testclock::look();
  const auto bar = display.add(styleOfWidth(20), Progress<>{0, 100});
  const auto clocksReadBy = [&] {
    const std::int64_t before = testclock::coarseReads();
    pb::incProgress(bar, 1);
    return testclock::coarseReads() != before;
  };
  EXPECT_TRUE(clocksReadBy()) << "not watched yet";
  testclock::look();
  EXPECT_FALSE(clocksReadBy()) << "watched";
}

// A display's tick reads the clock once for all its bars: a bar drawn after
// that reading, before the tick reaches it, is redrawn at the time then,
// never at the older reading.
TEST_F(LifeTest, ADisplaysTickNeverDrawsALineOlderThanTheBarsLast) {
  pb::Display display(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false});
  std::vector<pb::TimePoint> stamps;  // written under the bar's lock
  const auto bar = display.add(
      pb::Style<>{.stylePostfix = pb::Label<>([&](const Progress<>&, const pb::Timing& timing) {
                    stamps.push_back(timing.timingLastUpdate);
                    return std::string("x");
                  })},
      Progress<>{0, 10});
  pb::Ticker ticker(display, 1h);
  testclock::look();
  // The reads of the ticker's thread at its tick: the tick's own, during
  // which the bar is drawn a second later; then any read for the bar's line.
  static const pb::ProgressBar<>* s_bar;
  static pb::TimePoint s_start;
  static std::atomic<int> s_read;
  s_bar = &bar;
  s_start = testclock::now();
  s_read = 0;
  testclock::onPreciseRead([] {
    const int read = s_read++;
    if (read == 0) {
      testclock::advance(1s);
      pb::updateProgress(*s_bar, [](const Progress<>& p) {
        return Progress<>{p.progressDone + 1, 10};
      });
      testclock::set(s_start);
    } else if (read == 2) {  // the first read after that draw: the time has come back
      testclock::set(s_start + 1s);
    }
  });
  testclock::tick();
  testclock::onPreciseRead(nullptr);
  ASSERT_GE(stamps.size(), 3u);
  EXPECT_EQ(stamps[stamps.size() - 2], s_start + 1s) << "drawn during the tick";
  EXPECT_EQ(stamps.back(), s_start + 1s) << "the tick's line";
}

// A ticker whose tick failed has stopped looking: its word is gone with it.
TEST_F(LifeTest, ATickerThatFailedLeavesTheClocksToDecide) {
  testsupport::FailingBuf failing;
  std::ostream failingOut(&failing);
  const auto bar = pb::hNewProgressBar(failingOut, styleOfWidth(20), 10.0, Progress<>{0, 10});
  pb::Ticker ticker(bar, 1s);
  testclock::look();
  failing.armed = true;
  testclock::releaseTick();
  while (ticker.failure() == nullptr) std::this_thread::yield();
  failing.armed = false;
  failing.take();
  testclock::advance(200ms);
  pb::incProgress(bar, 1);
  EXPECT_NE(failing.take().find("10%"), std::string::npos) << "drawn as due";
  EXPECT_THROW(ticker.stop(), std::ios_base::failure);
}

// A display's tick holds each bar only while it draws it: the bar (and its
// custom value) goes with its last handle.
TEST_F(LifeTest, ATickHoldsABarNoLongerThanItsDraw) {
  using Shared = std::shared_ptr<int>;
  pb::Display display(out, pb::AsTerminal{40}, pb::DisplayOptions{.colour = false});
  auto value = std::make_shared<int>(7);
  const std::weak_ptr<int> seen = value;
  {
    const auto bar = display.add(pb::Style<Shared>{}, Progress<Shared>{0, 10, std::move(value)});
    testclock::advance(1s);
    display.redraw();
    EXPECT_FALSE(seen.expired());
  }
  EXPECT_TRUE(seen.expired());
}

TEST_F(LifeTest, ATickThatFailsStopsAndItsFailureReachesTheCaller) {
  testsupport::FailingBuf failing;
  std::ostream failingOut(&failing);
  const auto bar = pb::hNewProgressBar(failingOut, styleOfWidth(20), 10.0, Progress<>{0, 10});
  failing.take();
  pb::Ticker ticker(bar, 1s);
  failing.armed = true;
  testclock::releaseTick();
  while (ticker.failure() == nullptr) std::this_thread::yield();
  failing.armed = false;
  for (int i = 0; i < 3; ++i) testclock::releaseTick();  // a stopped ticker takes none
  EXPECT_THROW(ticker.stop(), std::ios_base::failure);   // joins after the tick failed
  EXPECT_EQ(failing.take(), "");
  EXPECT_TRUE(ticker.failure() == nullptr) << "rethrown once";
  pb::incProgress(bar, 10);  // the bar is unharmed
  EXPECT_NE(failing.take().find("100%"), std::string::npos);
}

// A ticker's or a guard's failure is thrown from its destructor on a normal
// exit, and dropped while another exception unwinds the scope.
TEST_F(LifeTest, DestructorsThrowOnANormalExitAndNeverDuringUnwinding) {
  testsupport::FailingBuf failing;
  std::ostream failingOut(&failing);
  const auto bar = pb::hNewProgressBar(failingOut, styleOfWidth(20), 10.0, Progress<>{0, 10});
  const auto untilItFails = [](const pb::Ticker& ticker) {
    testclock::releaseTick();
    while (ticker.failure() == nullptr) std::this_thread::yield();
  };
  failing.armed = true;
  EXPECT_THROW(
      {
        const pb::Ticker ticker(bar, 1s);
        untilItFails(ticker);
      },
      std::ios_base::failure);
  EXPECT_THROW({ const auto guard = pb::finishOnExit(bar); }, std::ios_base::failure);
  struct Mine {};
  EXPECT_THROW(
      {
        const pb::Ticker ticker(bar, 1s);
        untilItFails(ticker);
        throw Mine{};
      },
      Mine);
  EXPECT_THROW(
      {
        const auto guard = pb::finishOnExit(bar);
        throw Mine{};
      },
      Mine);
  failing.armed = false;
  { const auto guard = pb::finishOnExit(bar); }
  EXPECT_NE(failing.take().find("\n"), std::string::npos) << "finished once it could";
}

TEST_F(LifeTest, TicksAndUpdatesFromOtherThreadsNeverRaceAndStopCleanly) {
  pb::Style<> s = styleOfWidth(30);
  s.stylePrefix = pb::elapsedTime(pb::humanDuration);
  const auto bar = pb::hNewProgressBar(out, s, std::nan(""), Progress<>{0, 40'000});
  std::vector<std::thread> workers;
  {
    pb::Ticker ticker(bar, 1ms);
    for (int t = 0; t < 2; ++t) {
      workers.emplace_back([&bar] {
        for (int i = 0; i < 20'000; ++i) pb::incProgress(bar, 1);
      });
    }
    for (int i = 0; i < 50; ++i) {
      testclock::advance(1ms);
      testclock::tick();
    }
  }  // destroyed while the updates may still run
  for (auto& w : workers) w.join();
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 40'000);
  // Whole lines only, the completing one last.
  const std::string bytes = buf.take();
  EXPECT_EQ(bytes.substr(bytes.size() - 5), "100%\n");
  for (std::size_t at = 0, end; at < bytes.size(); at = end + 1) {
    end = bytes.find_first_of("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(end - at, 30u) << bytes.substr(at, end - at);
  }
}

// A ticker of one bar of a display draws the display's frames; a display
// whose ticks meet a failing bar draws every other bar and reports the
// failure once it has.
TEST_F(LifeTest, TickersOfADisplaysBarsAndADisplaysTicksDrawEveryBarThatCan) {
  pb::Display display(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false});
  const auto spin = display.add(pb::Style<>{.stylePrefix = pb::spinner(pb::SpinnerFrames::Ascii)},
                                Progress<>{0, 0}, pb::unknownTotal);
  bool failing = false;
  pb::Style<> fails{.stylePostfix = pb::Label<>([&](const Progress<>&, const pb::Timing&) {
                      if (failing) throw std::runtime_error("label");
                      return std::string("x");
                    })};
  const auto bad = display.add(fails, Progress<>{0, 10});
  const auto timed = display.add(pb::Style<>{.stylePrefix = pb::elapsedTime(pb::humanDuration)},
                                 Progress<>{0, 10});
  testsupport::Screen screen(6, 30);
  screen.feed(buf.take());
  {
    pb::Ticker ticker(spin, 100ms);
    for (int i = 0; i < 2; ++i) {
      testclock::advance(100ms);
      testclock::tick();
    }
  }
  screen.feed(buf.take());
  EXPECT_EQ(screen.row(0), "- [..>..................] 100%");
  failing = true;
  testclock::advance(1s);
  EXPECT_THROW(display.redraw(), std::runtime_error);
  screen.feed(buf.take());
  EXPECT_EQ(screen.row(2), "1s [....................]   0%");
  EXPECT_EQ(bad.pbStateMv().read().stProgress.progressDone, 0);
  (void)timed;
}

TEST_F(LifeTest, ADisplaysBarsFinishKeepingOrRemovingTheirRowsAndTickTogether) {
  pb::Display display(out, pb::AsTerminal{30}, pb::DisplayOptions{.colour = false});
  pb::Style<> keep{.stylePrefix = pb::elapsedTime(pb::humanDuration)};
  pb::Style<> gone = keep;
  gone.styleOnComplete = pb::Clear;
  const auto a = display.add(keep, Progress<>{1, 10});
  const auto b = display.add(gone, Progress<>{2, 10});
  const auto c = display.add(keep, Progress<>{3, 10});
  {
    pb::Ticker ticker(display, 1s);
    testclock::advance(1s);
    testclock::tick();
  }
  pb::finish(b);
  pb::finish(a, "stopped");
  testsupport::Screen screen(6, 30);
  screen.feed(buf.take());
  EXPECT_EQ(screen.lines(), (std::vector<std::string>{"1s [=>...............] stopped",
                                                      "1s [======>.............]  30%"}));
}

}  // namespace
