#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::styleOfWidth;

namespace {

TEST(PrintAbove, ErasesWritesAndRedrawsWithoutTouchingTheThrottle) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
  pb::incProgress(bar, 3);  // throttled: stored, not drawn
  buf.take();
  buf.flushes = 0;
  const auto before = bar.pbStateMv().read();
  pb::printAbove(bar, "copied a.txt");
  EXPECT_EQ(buf.take(), "\r\x1b[Kcopied a.txt\n[===>.........]  30%\r");
  EXPECT_EQ(buf.flushes, 1);
  EXPECT_EQ(bar.pbStateMv().read().stRenderTime, before.stRenderTime);
  pb::incProgress(bar, 7);
  buf.take();
  pb::printAbove(bar, "finished");  // a finished bar stays where it is
  EXPECT_EQ(buf.take(), "finished\n");
}

// The line drawn again below the text is the stored progress at the time of
// the call; the next update is still throttled from the last real draw.
TEST(PrintAbove, RedrawsAtTheTimeOfTheCallAndLeavesTheThrottleAlone) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  pb::Style<> s = styleOfWidth(24);
  s.stylePrefix = pb::elapsedTime(pb::humanDuration);
  const auto bar = pb::hNewProgressBar(out, s, 10.0, Progress<>{0, 10});
  testclock::advance(70ms);
  pb::incProgress(bar, 1);  // too soon
  testclock::advance(2s);
  buf.take();
  pb::printAbove(bar, "log");
  EXPECT_EQ(buf.take(), "\r\x1b[Klog\n2s [=>............]  10%\r");
  pb::incProgress(bar, 1);  // 2.07 s after the last draw: drawn
  EXPECT_EQ(buf.take(), "2s [==>...........]  20%\r");
}

TEST(PrintAbove, AFailingStreamPropagatesAndLeavesTheBarUsable) {
  testsupport::FailingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 10});
  buf.armed = true;
  EXPECT_THROW(pb::printAbove(bar, "log"), std::ios_base::failure);
  EXPECT_TRUE(out.good());
  buf.armed = false;
  buf.take();
  pb::printAbove(bar, "log");
  EXPECT_EQ(buf.take(), "\r\x1b[Klog\n[.............]   0%\r");
}

TEST(PrintAbove, LogLinesAndBarLinesFromManyThreadsNeverMix) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), std::nan(""), Progress<>{0, 4000});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&bar, t] {
      for (int i = 0; i < 500; ++i) {
        pb::incProgress(bar, 2);
        pb::printAbove(bar, "worker " + std::to_string(t) + " step " + std::to_string(i));
      }
    });
  }
  for (auto& t : threads) t.join();
  // Split at every carriage return and line feed: each piece is a whole bar
  // line or a whole log line (after the erase, while the bar is unfinished).
  const std::string bytes = buf.take();
  std::size_t logs = 0, bars = 0, at = 0;
  while (at < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    std::string piece = bytes.substr(at, end - at);
    if (piece.rfind("\x1b[K", 0) == 0) piece.erase(0, 3);  // the erased bar line
    if (piece.rfind("worker ", 0) == 0) {
      EXPECT_EQ(bytes[end], '\n');
      ++logs;
    } else if (!piece.empty()) {
      EXPECT_EQ(piece.size(), 20u) << piece;
      EXPECT_EQ(piece.front(), '[');
      ++bars;
    }
    at = end + 1;
  }
  EXPECT_EQ(logs, 2000u);
  EXPECT_GE(bars, 2000u);
}

}  // namespace
