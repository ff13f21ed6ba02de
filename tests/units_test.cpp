// Labels that read the counts as sizes and rates: bytes, byte rates,
// throughput, the recent speed, and padding to a steady width.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

std::string size(std::int64_t bytes, pb::ByteUnits units = pb::ByteUnits::Iec) {
  return pb::bytesDone(units).runLabel({bytes, 0}, {});
}

TEST(Bytes, ThreeSignificantDigitsOnBothSidesOfEachUnit) {
  // clang-format off
  const struct {
    std::int64_t bytes;
    pb::ByteUnits units;
    const char* text;
  } rows[] = {
      {0, pb::ByteUnits::Iec, "0 B"},
      {512, pb::ByteUnits::Iec, "512 B"},
      {1023, pb::ByteUnits::Iec, "1023 B"},  // plain bytes below 1 KiB
      {1024, pb::ByteUnits::Iec, "1.00 KiB"},
      {1535, pb::ByteUnits::Iec, "1.50 KiB"},
      {10'240, pb::ByteUnits::Iec, "10.0 KiB"},
      {1'023'436, pb::ByteUnits::Iec, "999 KiB"},    // 999.45 KiB
      {1'023'488, pb::ByteUnits::Iec, "0.98 MiB"},   // 999.5 KiB: ties to even 1000, one unit up
      {1'024'000, pb::ByteUnits::Iec, "0.98 MiB"},   // never "1000 KiB"
      {1'048'575, pb::ByteUnits::Iec, "1.00 MiB"},
      {1'299'227'607, pb::ByteUnits::Iec, "1.21 GiB"},
      {kMax, pb::ByteUnits::Iec, "8.00 EiB"},
      {kMin, pb::ByteUnits::Iec, "-8.00 EiB"},
      {-1536, pb::ByteUnits::Iec, "-1.50 KiB"},
      {-512, pb::ByteUnits::Iec, "-512 B"},
      {999, pb::ByteUnits::Si, "999 B"},
      {1000, pb::ByteUnits::Si, "1.00 kB"},
      {999'499, pb::ByteUnits::Si, "999 kB"},
      {999'500, pb::ByteUnits::Si, "1.00 MB"},  // 999.5 kB: ties to even 1000, one unit up
      {1'234'567, pb::ByteUnits::Si, "1.23 MB"},
      {12'345'678, pb::ByteUnits::Si, "12.3 MB"},
      {kMax, pb::ByteUnits::Si, "9.22 EB"},
  };
  // clang-format on
  for (const auto& r : rows) EXPECT_EQ(size(r.bytes, r.units), r.text) << r.bytes;
  EXPECT_EQ(pb::bytes().runLabel({1'299'227'607, std::int64_t{4} << 30}, {}),
            "1.21 GiB / 4.00 GiB");
}

std::string byteRate(std::int64_t done, std::chrono::nanoseconds elapsed,
                     pb::ByteUnits units = pb::ByteUnits::Iec) {
  const pb::TimePoint start{};
  return pb::byteRate(units, "--").runLabel({done, 0}, {start, start + elapsed});
}

TEST(ByteRate, TheUnitsPrefixWithTheUnitAfterOneSpace) {
  EXPECT_EQ(byteRate(100, 0s), "--");
  EXPECT_EQ(byteRate(512, 1s), "512 B/s");
  EXPECT_EQ(byteRate(1, 2s), "0.50 B/s");
  EXPECT_EQ(byteRate(std::int64_t{338} << 20, 1s), "338 MiB/s");
  EXPECT_EQ(byteRate(12'000'000, 1s, pb::ByteUnits::Si), "12.0 MB/s");
  EXPECT_EQ(byteRate(1999, 2s), "0.98 KiB/s");  // 999.5 B/s
  EXPECT_EQ(byteRate(-1, 1000s), "0.00 B/s");   // too small for a sign
  EXPECT_EQ(byteRate(-3000, 1s), "-2.93 KiB/s");
  EXPECT_EQ(byteRate(kMax, 1ns), "7.45 RiB/s");
}

std::string rate(std::int64_t done, std::chrono::nanoseconds elapsed) {
  const pb::TimePoint start{};
  return pb::throughput("it/s", "--").runLabel({done, 0}, {start, start + elapsed});
}

TEST(Throughput, ThreeSignificantDigitsWithTiesToEvenAcrossEachBoundary) {
  // clang-format off
  const struct {
    std::int64_t done;
    std::chrono::nanoseconds elapsed;
    const char* text;
  } rows[] = {
      {5, 0s, "--"},           {5, -1s, "--"},
      {0, 1s, "0.00 it/s"},    {1, 2s, "0.50 it/s"},
      {1, 200s, "0.00 it/s"},  // 0.005: tie to even 0.00
      {3, 200s, "0.02 it/s"},  // 0.015: tie to even 0.02
      {9985, 1000s, "9.98 it/s"},  // 9.985: tie to even 998
      {9995, 1000s, "10.0 it/s"},  // 9.995: tie goes up to 1000, so one digit fewer after the point
      {99949, 1000s, "99.9 it/s"}, {99950, 1000s, "100 it/s"},
      {999, 1s, "999 it/s"},   {9994, 10s, "999 it/s"},   {9995, 10s, "1.00k it/s"},
      {1000, 1s, "1.00k it/s"}, {1250, 1s, "1.25k it/s"}, {12'000'000, 1s, "12.0M it/s"},
      {999'499, 1s, "999k it/s"}, {999'500, 1s, "1.00M it/s"},
      {999'499'999, 1s, "999M it/s"}, {999'500'000, 1s, "1.00G it/s"},
      {-1250, 1s, "-1.25k it/s"}, {-1, 1000s, "0.00 it/s"},
      {kMax, 1ns, "9.22R it/s"},
  };
  // clang-format on
  for (const auto& r : rows) EXPECT_EQ(rate(r.done, r.elapsed), r.text) << r.done;
}

// Recent labels under a controlled clock, through bars that draw every
// update, so that each draw is one sample.
class RecentTest : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  // The number a rate label shows, with its SI prefix applied.
  static double value(const std::string& text) {
    std::size_t end = 0;
    const double number = std::stod(text, &end);
    return text[end] == 'k' ? number * 1e3 : text[end] == 'M' ? number * 1e6 : number;
  }
  std::ostringstream out;
};

TEST_F(RecentTest, FollowsASpeedChangeHalfOfTheRemainingWayEachHalfLife) {
  pb::Style<> style{.stylePrefix = "",
                    .stylePostfix = pb::recentRate("/s", "--", 1s),
                    .styleWidth = pb::ConstantWidth{0}};
  style.styleOpen = style.styleClose = "";
  const auto bar = pb::hNewProgressBar(out, style, std::nan(""), Progress<>{0, kMax});
  const auto at = [&](int steps, std::int64_t perStep) {
    for (int i = 0; i < steps; ++i) {
      testclock::advance(100ms);
      out.str("");
      pb::incProgress(bar, perStep);
    }
    return value(out.str().substr(out.str().find_first_not_of(' ')));
  };
  EXPECT_NEAR(at(100, 100), 1000, 1);  // ten seconds at 1000/s
  // Four times faster: three half-lives later within 10 % of the new speed.
  EXPECT_NEAR(at(30, 400), 4000 - 3000 / 8.0, 40);
  EXPECT_NEAR(at(100, 400), 4000, 40);
  // Six times slower: the error halves with every half-life.
  const double first = at(10, 400 / 6);
  const double second = at(10, 400 / 6);
  EXPECT_NEAR((first - 666) / (second - 666), 2.0, 0.05);
}

// Labels of different half-lives on one bar each follow at their own pace.
TEST_F(RecentTest, EachHalfLifeOfABarKeepsItsOwnHistory) {
  pb::Style<> style{.stylePrefix = pb::recentRate("/s", "--", 1s),
                    .stylePostfix = pb::recentRate("/s", "--", 10s),
                    .styleWidth = pb::ConstantWidth{0}};
  style.styleOpen = style.styleClose = "";
  const auto bar = pb::hNewProgressBar(out, style, std::nan(""), Progress<>{0, kMax});
  for (int i = 0; i < 110; ++i) {  // ten seconds at 1000/s, then one at 4000/s
    testclock::advance(100ms);
    out.str("");
    pb::incProgress(bar, i < 100 ? 100 : 400);
  }
  // 1 s half-life: the last second weighs as much as the ten before it;
  // 10 s: it weighs 0.97 against their 6.73.
  EXPECT_EQ(out.str(), "2.50k /s  1.38k /s\r");
}

TEST_F(RecentTest, EachBarOfASharedStyleKeepsItsOwnEstimate) {
  pb::Style<> style{.stylePostfix = pb::recentByteRate(pb::ByteUnits::Si, "--", 2s) + " " +
                                    pb::recentRemainingTime(pb::humanDuration, "?", 2s),
                    .styleWidth = pb::ConstantWidth{0}};
  style.styleOpen = style.styleClose = "";
  std::ostringstream outA, outB;
  const auto a = pb::hNewProgressBar(outA, style, std::nan(""), Progress<>{0, 100'000'000});
  const auto b = pb::hNewProgressBar(outB, style, std::nan(""), Progress<>{0, 100'000'000});
  EXPECT_EQ(outA.str(), " -- ?\r");
  for (int i = 0; i < 50; ++i) {
    testclock::advance(100ms);
    pb::incProgress(a, 100'000);  // 1 MB/s
    pb::incProgress(b, 1'000);    // 10 kB/s
  }
  const std::string lastA = outA.str().substr(outA.str().rfind(" 1.00"));
  EXPECT_EQ(lastA, " 1.00 MB/s 1m35s\r");
  EXPECT_NE(outB.str().rfind(" 10.0 kB/s 2h46m\r"), std::string::npos);
}

TEST_F(RecentTest, ARecentLabelOutsideABarIsTheAverageSinceTheStart) {
  const pb::TimePoint start{};
  EXPECT_EQ(pb::recentRate("it/s", "--").runLabel({50, 100}, {start, start + 10s}), "5.00 it/s");
  EXPECT_EQ(pb::recentRate("it/s", "--").runLabel({50, 100}, {start, start}), "--");
  // A count that went down: the sign stays, and a tiny rate is plain zero.
  EXPECT_EQ(pb::recentRate("it/s", "--").runLabel({-50, 100}, {start, start + 10s}), "-5.00 it/s");
  EXPECT_EQ(pb::recentRate("it/s", "--").runLabel({-1, 100}, {start, start + 1000s}), "0.00 it/s");
  EXPECT_EQ(pb::recentByteRate().runLabel({-3072, 100}, {start, start + 1s}), "-3.00 KiB/s");
  EXPECT_EQ(
      pb::recentRemainingTime(pb::humanDuration, "?").runLabel({50, 100}, {start, start + 10s}),
      "10s");
  EXPECT_EQ(
      pb::recentRemainingTime(pb::humanDuration, "?").runLabel({0, 100}, {start, start + 10s}),
      "?");
}

TEST_F(RecentTest, ABarUpdatedFromSeveralThreadsKeepsOneConsistentEstimate) {
  pb::Style<> style{.stylePostfix = pb::recentRate("/s", "--", 1s)};
  const auto bar = pb::hNewProgressBar(out, style, std::nan(""), Progress<>{0, 40'000});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&bar] {
      for (int i = 0; i < 10'000; ++i) {
        testclock::advance(10us);
        pb::incProgress(bar, 1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bar.pbStateMv().read().stProgress.progressDone, 40'000);
  EXPECT_EQ(out.str().back(), '\n');
}

TEST(Padding, PadsToCodePointsOrColumnsAndNeverCuts) {
  const pb::Label<> text = "ab";
  const pb::Label<> wide = "äöü";
  const pb::Label<> cjk = "数据";
  // clang-format off
  const struct {
    pb::Label<> label;
    const char* text;
  } rows[] = {
      {pb::padLeft(5, text), "   ab"},  {pb::padRight(5, text), "ab   "},
      {pb::padLeft(1, text), "ab"},     {pb::padLeft(-3, text), "ab"},
      {pb::padLeft(4, wide), " äöü"},   {pb::padRight(3, wide), "äöü"},
      {pb::padRight(6, cjk), "数据    "}, {pb::padRight(6, cjk, pb::PadUnit::Columns), "数据  "},
      {pb::padLeft(5, pb::remainingTime(pb::renderDuration, "?")), "    ?"},
  };
  // clang-format on
  for (const auto& r : rows) EXPECT_EQ(r.label.runLabel({1, 2}, {}), r.text);
}

}  // namespace
