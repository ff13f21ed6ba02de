#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "System/ProgressBar/Bar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::styleOfWidth;
using pb::Style;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();


class BarTest : public ::testing::Test {
 protected:
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
};

TEST_F(BarTest, CreationDrawsTheFirstLineWithItsTerminator) {
  const struct {
    std::int64_t done, todo;
    pb::OnComplete onComplete;
    const char* bytes;
  } rows[] = {
      {0, 100, pb::WriteNewline, "[.............]   0%\r"},
      {0, 100, pb::Clear, "[.............]   0%\r"},
      {100, 100, pb::WriteNewline, "[=============] 100%\n"},
      {100, 100, pb::Clear, "[=============] 100%\r\x1b[K"},
      {0, 0, pb::WriteNewline, "[.............] 100%\n"},
  };
  for (const auto& r : rows) {
    buf.flushes = 0;
    const auto bar = pb::hNewProgressBar(out, styleOfWidth(20, r.onComplete), 10.0,
                                         Progress<>{r.done, r.todo});
    EXPECT_EQ(buf.take(), r.bytes);
    EXPECT_EQ(buf.flushes, 1);
    EXPECT_EQ(bar.pbStartTime(), testclock::now());
    EXPECT_EQ(bar.pbStateMv().read().stRenderTime, testclock::now());
    EXPECT_EQ(&bar.pbHandle(), &out);
  }
}

TEST_F(BarTest, OnAStringStream) {
  std::ostringstream s;
  const auto bar = pb::hNewProgressBar(s, styleOfWidth(20), 10.0, Progress<>{0, 100});
  EXPECT_EQ(s.str(), "[.............]   0%\r");
  pb::incProgress(bar, 100);
  EXPECT_EQ(s.str(), "[.............]   0%\r[=============] 100%\n");
}

TEST_F(BarTest, RefreshDelayIsTheReciprocalOfTheRate) {
  const struct {
    double rate, delay;
  } rows[] = {{10, 0.1}, {0.0, kInf}, {-0.0, -kInf}, {kInf, 0.0}, {-4, -0.25}};
  for (const auto& r : rows) {
    EXPECT_EQ(pb::hNewProgressBar(out, styleOfWidth(20), r.rate, Progress<>{0, 1}).pbRefreshDelay(),
              r.delay);
  }
  EXPECT_TRUE(std::isnan(pb::hNewProgressBar(out, styleOfWidth(20), kNaN, Progress<>{0, 1})
                             .pbRefreshDelay()));
}

// Creates a bar at the current fake time, then moves the clock by `after` and
// applies one increment; says whether that update was drawn.
bool drawnAfter(std::ostream& out, testsupport::RecordingBuf& buf, double rate,
                std::chrono::nanoseconds after, std::int64_t inc = 1) {
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), rate, Progress<>{0, 1000});
  buf.take();
  testclock::advance(after);
  pb::incProgress(bar, inc);
  const bool drawn = !buf.take().empty();
  const auto state = bar.pbStateMv().read();
  EXPECT_EQ(state.stProgress.progressDone, inc);
  EXPECT_EQ(state.stRenderTime, drawn ? testclock::now() : bar.pbStartTime());
  return drawn;
}

TEST_F(BarTest, ThrottleDecisions) {
  const struct {
    double rate;
    std::chrono::nanoseconds after;
    bool drawn;
  } rows[] = {
      {10, 50ms, false},
      {10, 100ms, false},  // equal to the delay is too soon
      {10, 100ms + 1ns, true},
      {10, -1h, false},  // clock set back
      {0.0, 1000h, false},
      {kInf, 0ns, false},  // no time at all has passed
      {kInf, 1ns, true},
      {-10, -100ms, false},  // negative delay: too soon once the clock is 0.1 s back
      {-10, -100ms + 1ns, true},
      {-10, 0ns, true},
      {kNaN, 0ns, true},
      {kNaN, -1h, true},
      {3, 333'333'333ns, false},  // 1/3 rounds to 0.33333333333333331
      {3, 333'333'334ns, true},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(drawnAfter(out, buf, r.rate, r.after), r.drawn)
        << "rate " << r.rate << " after " << r.after.count() << "ns";
  }
}

TEST_F(BarTest, CompleteProgressIsAlwaysDrawn) {
  EXPECT_TRUE(drawnAfter(out, buf, 0.0, 0ns, 1000));
  EXPECT_TRUE(drawnAfter(out, buf, 10, -1h, 5000));
}

TEST_F(BarTest, ThrottledUpdatesAccumulateUntilTheNextDraw) {
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1000});
  buf.take();
  buf.flushes = 0;
  for (int i = 0; i < 500; ++i) {
    testclock::advance(100us);
    pb::incProgress(bar, 1);
  }
  EXPECT_EQ(buf.take(), "");
  EXPECT_EQ(buf.flushes, 0);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 500);
  testclock::advance(51ms);
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), "[======>......]  50%\r");
  EXPECT_EQ(buf.flushes, 1);
  // Measured from the last draw: 1 ms later is too soon again.
  testclock::advance(1ms);
  pb::incProgress(bar, 498);
  EXPECT_EQ(buf.take(), "");
  testclock::advance(1ms);
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), "[=============] 100%\n");
}

TEST_F(BarTest, CompleteBarsRedrawOnEveryUpdateUntilMadeIncompleteAgain) {
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20, pb::Clear), 10.0, Progress<>{10, 10});
  buf.take();
  pb::incProgress(bar, 0);
  pb::incProgress(bar, 0);
  EXPECT_EQ(buf.take(), "[=============] 100%\r\x1b[K[=============] 100%\r\x1b[K");
  pb::incProgress(bar, -3);  // incomplete again, and too soon
  EXPECT_EQ(buf.take(), "");
  testclock::advance(200ms);
  pb::updateProgress(bar, [](const Progress<>& p) { return Progress<>{p.progressDone, 20}; });
  EXPECT_EQ(buf.take(), "[====>........]  35%\r");
}

TEST_F(BarTest, IncrementsWrapAndAreNeverClamped) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{max, max});
  pb::incProgress(bar, 1);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone,
            std::numeric_limits<std::int64_t>::min());
  pb::incProgress(bar, -1);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, max);
}

TEST_F(BarTest, UpdatesSeeTheTimeOfTheCallAndCarryCustomValues) {
  Style<std::string> s = pb::defStyle<std::string>();
  s.styleWidth = pb::ConstantWidth{30};
  s.stylePrefix = pb::Label<std::string>(
      [](const Progress<std::string>& p, const pb::Timing& t) {
        return p.progressCustom + "@" +
               std::to_string((t.timingLastUpdate - t.timingStart) / 1ms);
      });
  const auto bar = pb::hNewProgressBar(out, s, kNaN, Progress<std::string>{0, 4, "a"});
  EXPECT_EQ(buf.take(), "a@0 [...................]   0%\r");
  testclock::advance(250ms);
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), "a@250 [====>............]  25%\r");
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressCustom, "a");
  pb::updateProgress(bar, [](const Progress<std::string>& p) {
    return Progress<std::string>{p.progressDone + 1, p.progressTodo, "b"};
  });
  EXPECT_EQ(buf.take(), "b@250 [========>........]  50%\r");
}

TEST_F(BarTest, CopiesShareOneState) {
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 100});
  const auto copy = bar;
  pb::incProgress(copy, 5);
  pb::incProgress(bar, 5);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 10);
  EXPECT_EQ(&copy.pbStateMv(), &bar.pbStateMv());
}

}  // namespace
