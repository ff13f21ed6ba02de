#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "System/ProgressBar/Padding.hpp"
#include "System/ProgressBar/Rates.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

std::string rate(std::int64_t done, std::chrono::nanoseconds elapsed) {
  const pb::TimePoint start{};
  return pb::throughput("it/s", "--").runLabel({done, 0}, {start, start + elapsed});
}

TEST(Throughput, ThreeSignificantDigitsWithTiesToEvenAcrossEachBoundary) {
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
      {-1250, 1s, "-1.25k it/s"},
      {INT64_MAX, 1ns, "9.22R it/s"},
  };
  for (const auto& r : rows) EXPECT_EQ(rate(r.done, r.elapsed), r.text) << r.done;
}

TEST(Padding, PadsToCodePointsAndNeverCuts) {
  const pb::Label<> text = "ab";
  const pb::Label<> wide = "äöü";
  const struct {
    pb::Label<> label;
    const char* text;
  } rows[] = {
      {pb::padLeft(5, text), "   ab"},  {pb::padRight(5, text), "ab   "},
      {pb::padLeft(1, text), "ab"},     {pb::padLeft(-3, text), "ab"},
      {pb::padLeft(4, wide), " äöü"},   {pb::padRight(3, wide), "äöü"},
      {pb::padLeft(5, pb::remainingTime(pb::renderDuration, "?")), "    ?"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.label.runLabel({1, 2}, {}), r.text);
}

}  // namespace
