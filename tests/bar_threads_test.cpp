#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar/Bar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/styles.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using testsupport::styleOfWidth;

namespace {

TEST(BarThreads, NoUpdateIsLostAndTheCompletingOneIsDrawn) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), 10.0, Progress<>{0, 20'000});
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([copy = bar] {  // each thread holds its own copy
      for (int i = 0; i < 10'000; ++i) {
        testclock::advance(1us);
        pb::incProgress(copy, 1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 20'000);
  const std::string bytes = buf.take();
  const std::string last = "[=============] 100%\n";
  ASSERT_GE(bytes.size(), last.size());
  EXPECT_EQ(bytes.substr(bytes.size() - last.size()), last);
  // Whole lines only: every line is 20 characters plus its terminator.
  EXPECT_EQ(bytes.size() % 21, 0u);
}

TEST(BarThreads, EveryUpdateDrawnUnderContentionYieldsWholeLines) {
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  const auto bar = pb::hNewProgressBar(out, styleOfWidth(20), std::nan(""), Progress<>{0, 4'000});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&bar] {
      for (int i = 0; i < 1'000; ++i) pb::incProgress(bar, 1);
    });
  }
  for (auto& t : threads) t.join();
  const std::string bytes = buf.take();
  EXPECT_EQ(bytes.size(), 4'001u * 21);
  EXPECT_EQ(buf.flushes, 4'001);
  for (std::size_t at = 0; at < bytes.size(); at += 21) {
    const char end = bytes[at + 20];
    EXPECT_TRUE(end == '\r' || end == '\n');
    EXPECT_EQ(bytes[at], '[');
  }
}

}  // namespace
