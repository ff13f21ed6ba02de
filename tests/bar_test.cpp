// The live bar on a stream of its own: creation, the throttle and its
// lock-free shortcut, updates, and the misuses a caller can make.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "base/arithmetic.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::styleOfWidth;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class BarTest : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
};

TEST_F(BarTest, CreationDrawsTheFirstLineWithItsTerminator) {
  // clang-format off
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
  // clang-format on
  for (const auto& r : rows) {
    buf.flushes = 0;
    const auto bar =
        pb::hNewProgressBar(out, styleOfWidth(20, r.onComplete), 10.0, Progress<>{r.done, r.todo});
    EXPECT_EQ(buf.take(), r.bytes);
    EXPECT_EQ(buf.flushes, 1);
    EXPECT_EQ(bar.pbStartTime(), testclock::now());
    EXPECT_EQ(bar.pbStateMv().read().stRenderTime, testclock::now());
    EXPECT_EQ(&bar.pbHandle(), &out);
  }
  std::ostringstream s;
  const auto bar = pb::hNewProgressBar(s, styleOfWidth(20), 10.0, Progress<>{0, 100});
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
  EXPECT_TRUE(std::isnan(
      pb::hNewProgressBar(out, styleOfWidth(20), kNaN, Progress<>{0, 1}).pbRefreshDelay()));
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

// The decisions of the throttle, whichever way an update takes: the coarse
// clock (lag 0 to 4 ms, bound 4 ms), the precise one, or the lock.
TEST_F(BarTest, ThrottleDecisions) {
  // clang-format off
  const struct {
    double rate;
    std::chrono::nanoseconds after;
    bool drawn;
  } rows[] = {
      {10, 50ms, false},
      {10, 96ms, false},   // the last coarse reading that proves it too soon
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
      {1e-30, 1000h, false},  // a delay beyond any elapsed time
      {-1e-30, -1000h, true},
  };
  // clang-format on
  for (const std::chrono::nanoseconds lag :
       {std::chrono::nanoseconds(0), std::chrono::nanoseconds(4ms)}) {
    testclock::setCoarse(lag, 4ms);
    for (const auto& r : rows) {
      EXPECT_EQ(drawnAfter(out, buf, r.rate, r.after), r.drawn)
          << "rate " << r.rate << " after " << r.after.count() << "ns, lag " << lag.count();
    }
  }
  for (const std::int64_t inc : {std::int64_t{-1}, -(std::int64_t{1} << 33)}) {  // under the lock
    EXPECT_FALSE(drawnAfter(out, buf, 10, 50ms, inc));
    EXPECT_TRUE(drawnAfter(out, buf, 10, 101ms, inc));
  }
}

// Far from the deadline the coarse clock decides alone; within the lag bound
// of it the precise clock is read; a lag seen beyond the bound widens it.
TEST_F(BarTest, TheCoarseClockDecidesOnlyWhereItsLagCannotMatter) {
  // One update of a fresh bar at `at` after its start, the coarse clock
  // lagging by `lag` and said to lag by at most `bound`: how many times it
  // read the precise clock.
  // clang-format off
  const struct {
    std::chrono::nanoseconds lag, bound, at;
    std::int64_t reads;
  } rows[] = {
      {1ms, 4ms, 50ms, 0},
      {1ms, 4ms, 97ms, 0},  // coarse 96 ms: proves too soon
      {1ms, 4ms, 97ms + 1ns, 1},
      {0ns, 4ms, 96ms + 1ns, 1},
      {4ms, 4ms, 97ms, 0},        // a lag equal to the bound leaves it
      {0ns, 0ns, 100ms, 0},       // a perfect coarse clock decides up to the deadline
      {0ns, 0ns, 100ms + 1ns, 1},
      {3ms, 0ns, 97ms + 1ns, 1},  // a lag beyond a bound of 0 widens it to 6 ms
      {1s, 4ms, 50ms, 1},         // a lag of a second is still a lag
      {1s + 1ns, 4ms, 50ms, 0},   // beyond: a clock set, not a lag
      {5ms, -1ns, 50ms, 1},       // no known bound: never trusted
  };
  // clang-format on
  for (const auto& r : rows) {
    testclock::setCoarse(r.lag, r.bound);
    const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1000});
    testclock::set(bar.pbStartTime() + r.at);
    const std::int64_t before = testclock::preciseReads();
    pb::incProgress(bar, 1);
    EXPECT_EQ(testclock::preciseReads() - before, r.reads)
        << "lag " << r.lag.count() << " bound " << r.bound.count() << " at " << r.at.count();
  }
  buf.take();

  testclock::setCoarse(1ms, 4ms);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1000});
  const auto preciseReadsFor = [&](std::chrono::nanoseconds at) {
    testclock::set(bar.pbStartTime() + at);
    const std::int64_t before = testclock::preciseReads();
    pb::incProgress(bar, 1);
    return testclock::preciseReads() - before;
  };
  EXPECT_EQ(preciseReadsFor(50ms), 0);
  EXPECT_EQ(buf.take(), "[.............]   0%\r") << "nothing drawn but the first line";
  // A lag of 9 ms shows at the next precise reading (which also finds the
  // draw due): from that draw on the bound is 18 ms.
  testclock::setCoarse(9ms, 4ms);
  EXPECT_EQ(preciseReadsFor(106ms), 1);
  EXPECT_NE(buf.take(), "");
  testclock::setCoarse(0ns, 4ms);
  EXPECT_EQ(preciseReadsFor(106ms + 81ms), 0);
  EXPECT_EQ(preciseReadsFor(106ms + 83ms), 1);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 4);
}

// Which increments count without the lock (and so read no precise clock):
// one that uses up the room exactly, any of a bar whose total is not known,
// and those of a thread whose cell has joined the bar.
TEST_F(BarTest, IncrementsThatCannotMatterCountWithoutTheLock) {
  const auto preciseReadsOf = [](auto&& step) {
    const std::int64_t before = testclock::preciseReads();
    step();
    return testclock::preciseReads() - before;
  };
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 11});
  testclock::advance(50ms);
  EXPECT_EQ(preciseReadsOf([&] { pb::incProgress(bar, 10); }), 0) << "the whole room";
  EXPECT_EQ(buf.take(), "[.............]   0%\r");
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), "[=============] 100%\n");

  const auto unknown =
      pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 0}, pb::unknownTotal);
  EXPECT_EQ(preciseReadsOf([&] {
              for (int i = 0; i < 1000; ++i) pb::incProgress(unknown, 1'000'000);
            }),
            0)
      << "no total: nothing to complete";

  const auto big =
      pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, std::int64_t{1} << 40});
  EXPECT_EQ(preciseReadsOf([&] { pb::incProgress(big, std::int64_t{1} << 32); }), 0);
  EXPECT_EQ(preciseReadsOf([&] { pb::incProgress(big, (std::int64_t{1} << 32) + 1); }), 1)
      << "a large step takes the lock";

  // The thread that takes the lock gives its cell half the room, the other
  // cells the other half.
  const auto shared = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1'000'000});
  std::int64_t reads = -1, overHalf = -1;
  std::thread([&] {
    pb::incProgress(shared, 1);  // its cell joins under the lock: 499,999 each
    reads = preciseReadsOf([&] {
      for (int i = 0; i < 1000; ++i) pb::incProgress(shared, 1);
    });
    overHalf = preciseReadsOf([&] { pb::incProgress(shared, 499'000); });
  }).join();
  EXPECT_EQ(reads, 0) << "a thread whose cell has joined";
  EXPECT_EQ(overHalf, 1) << "beyond its half";
  EXPECT_EQ(preciseReadsOf([&] { pb::incProgress(shared, 249'999); }), 0) << "the other half";
  EXPECT_EQ(shared.pbStateMv().read().stProgress.progressDone, 750'000);
}

// The first draw that is due comes on time whatever the coarse clock's lag:
// a lag beyond the bound the system gives is seen when the bar is made, and
// a coarse clock without a known bound is never trusted.
TEST_F(BarTest, DrawsComeOnTimeWhateverTheCoarseClocksLag) {
  const struct {
    std::chrono::nanoseconds lag, bound;
  } rows[] = {{12ms, 8ms}, {30ms, 8ms}, {3ms, 0ns}, {1s, 8ms}, {5ms, -1ns}, {0ns, -1ns}};
  for (const auto& r : rows) {
    testclock::setCoarse(r.lag, r.bound);
    const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1000});
    buf.take();
    std::chrono::milliseconds firstDraw{0};
    for (std::chrono::milliseconds t{1}; t <= 150ms && firstDraw == 0ms; ++t) {
      testclock::set(bar.pbStartTime() + t);
      pb::incProgress(bar, 1);
      if (!buf.take().empty()) firstDraw = t;
    }
    EXPECT_EQ(firstDraw, 101ms) << "lag " << r.lag.count() << " bound " << r.bound.count();
  }
}

TEST_F(BarTest, TheCompletingIncrementIsDrawnAtOnceWithoutTheThrottle) {
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
  buf.take();
  for (int i = 1; i <= 9; ++i) {
    pb::incProgress(bar, 1);
    EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, i);
  }
  EXPECT_EQ(buf.take(), "");
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), "[=============] 100%\n");
  pb::incProgress(bar, 0);  // a complete bar redraws on every update
  EXPECT_EQ(buf.take(), "[=============] 100%\n");
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
  testclock::advance(1ms);  // measured from the last draw: too soon again
  pb::incProgress(bar, 498);
  EXPECT_EQ(buf.take(), "");
  testclock::advance(1ms);
  pb::incProgress(bar, 1);
  EXPECT_EQ(buf.take(), "[=============] 100%\n");
}

TEST_F(BarTest, CompleteBarsRedrawUntilMadeIncompleteAgain) {
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
  // Complete again after a change no line showed: the completing update is drawn.
  const auto again = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{10, 10});
  pb::incProgress(again, -3);
  buf.take();
  pb::incProgress(again, 3);
  EXPECT_EQ(buf.take(), "[=============] 100%\n");
}

TEST_F(BarTest, IncrementsWrapAndAreNeverClamped) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{max, max});
  pb::incProgress(bar, 1);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone,
            std::numeric_limits<std::int64_t>::min());
  pb::incProgress(bar, -1);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, max);
  // Fast increments count exactly too, far from any limit.
  const auto big = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{max - 10, max});
  for (int i = 0; i < 9; ++i) pb::incProgress(big, 1);
  EXPECT_EQ(big.pbStateMv().read().stProgress.progressDone, max - 1);
}

TEST_F(BarTest, UpdatesSeeTheTimeOfTheCallAndCarryCustomValues) {
  pb::Style<std::string> s{.stylePrefix = pb::Label<std::string>(
                               [](const Progress<std::string>& p, const pb::Timing& t) {
                                 return p.progressCustom + "@" +
                                        std::to_string((t.timingLastUpdate - t.timingStart) / 1ms);
                               }),
                           .styleWidth = pb::ConstantWidth{30}};
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

// A custom type needs nothing but to be copyable: no default constructor.
struct Tag {
  explicit Tag(std::string name) : name(std::move(name)) {}
  std::string name;
};

TEST_F(BarTest, ACustomTypeWithoutADefaultConstructorWorksEverywhere) {
  pb::Style<Tag> s{.stylePrefix = pb::Label<Tag>([](const Progress<Tag>& p, const pb::Timing&) {
                     return p.progressCustom.name;
                   }),
                   .styleWidth = pb::ConstantWidth{20}};
  const auto bar = pb::hNewProgressBar(out, s, kNaN, Progress<Tag>{0, 4, Tag("a")});
  pb::updateProgress(bar, [](const Progress<Tag>& p) {
    return Progress<Tag>{p.progressDone + 1, p.progressTodo, Tag("b")};
  });
  for (const int i : pb::track(bar, std::vector<int>{1, 2})) (void)i;
  pb::finish(bar);
  pb::Display display(out, pb::AsLog{});
  const auto row = display.add(s, Progress<Tag>{0, 1, Tag("c")}, pb::unknownTotal);
  pb::setTotal(row, 1);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressCustom.name, "b");
  EXPECT_EQ(
      buf.take(),
      "a [...........]   0%\rb [==>........]  25%\rb [=====>.....]  50%\r"
      "b [========>..]  75%\rb [========>..]  75%\nc [>.............................]   0%\n");
}

TEST_F(BarTest, CopiesAndMovedFromHandlesShareOneState) {
  auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 100});
  const auto copy = bar;
  pb::incProgress(copy, 5);
  const auto moved = std::move(bar);
  pb::incProgress(bar, 5);  // NOLINT(bugprone-use-after-move): still the same bar
  pb::incProgress(moved, 5);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 15);  // NOLINT
  EXPECT_EQ(&copy.pbStateMv(), &moved.pbStateMv());
  auto other = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 1});
  other = std::move(bar);  // NOLINT
  EXPECT_EQ(&other.pbStateMv(), &moved.pbStateMv());
  EXPECT_EQ(&bar.pbStateMv(), &moved.pbStateMv());  // NOLINT
}

TEST_F(BarTest, AStreamThatCannotWriteFailsTheDrawInsteadOfLosingIt) {
  std::stringstream readToEnd("x");
  std::string word;
  readToEnd >> word;  // eofbit only
  ASSERT_TRUE(readToEnd.eof() && !readToEnd.fail());
  EXPECT_THROW(pb::hNewProgressBar(readToEnd, styleOfWidth(20), 10.0, Progress<>{0, 10}),
               std::ios_base::failure);
  std::stringstream s;
  const auto bar = pb::hNewProgressBar(s, styleOfWidth(20), kNaN, Progress<>{0, 10});
  s.setstate(std::ios_base::eofbit);
  EXPECT_THROW(pb::incProgress(bar, 3), std::ios_base::failure);
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 0);
  EXPECT_TRUE(s.eof()) << "the caller's own bits stay";
}

// A custom value whose copy fails during an update: nothing is drawn and the
// bar keeps its whole previous state. Its assignment is never used.
struct Brittle {
  int value = 0;
  static inline bool failCopies = false;
  Brittle() = default;
  explicit Brittle(int v) : value(v) {}
  Brittle(const Brittle& other) : value(other.value) {
    if (failCopies) throw std::runtime_error("copy");
  }
  Brittle(Brittle&& other) : Brittle(static_cast<const Brittle&>(other)) {}
  Brittle& operator=(const Brittle&) { throw std::logic_error("assigned"); }
  Brittle& operator=(Brittle&&) { throw std::logic_error("assigned"); }
};

TEST_F(BarTest, ACustomValueThatFailsToCopyLeavesTheStateWhole) {
  pb::Style<Brittle> s{.styleWidth = pb::ConstantWidth{20}};
  const auto bar = pb::hNewProgressBar(out, s, kNaN, Progress<Brittle>{0, 10, Brittle(1)});
  testclock::advance(1s);
  pb::updateProgress(bar, [](const Progress<Brittle>& p) {
    return Progress<Brittle>{p.progressDone + 2, p.progressTodo, Brittle(2)};
  });
  buf.take();
  const auto before = bar.pbStateMv().read();
  testclock::advance(1s);
  Brittle::failCopies = true;
  EXPECT_THROW(
      pb::updateProgress(bar,
                         [](const Progress<Brittle>& p) {
                           return Progress<Brittle>{p.progressDone + 5, 10, p.progressCustom};
                         }),
      std::runtime_error);
  Brittle::failCopies = false;
  const auto after = bar.pbStateMv().read();
  EXPECT_EQ(buf.take(), "");
  EXPECT_EQ(after.stProgress.progressDone, 2);
  EXPECT_EQ(after.stProgress.progressCustom.value, 2);
  EXPECT_EQ(after.stRenderTime, before.stRenderTime);
}

TEST(WallClock, SaturatesOutsideTheRangeOfATimePoint) {
  using pb::detail::saturatedNanoseconds;
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(saturatedNanoseconds(1'767'225'600, 5), 1'767'225'600'000'000'005);
  EXPECT_EQ(saturatedNanoseconds(9'223'372'036, 854'775'807), max);
  EXPECT_EQ(saturatedNanoseconds(9'223'372'037, 0), max);  // the year 2262
  EXPECT_EQ(saturatedNanoseconds(max, 999'999'999), max);
  EXPECT_EQ(saturatedNanoseconds(min, 0), min);
}

}  // namespace
