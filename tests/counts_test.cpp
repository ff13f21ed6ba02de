#include "System/ProgressBar/Counts.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace pb = System::ProgressBar;

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct Row {
  std::int64_t done, todo;
  const char* text;
};

std::string percent(std::int64_t done, std::int64_t todo) {
  return pb::percentage().runLabel({done, todo}, {});
}

TEST(Percentage, RoundsToNearestWithTiesToEvenAndPads) {
  // clang-format off
  const Row rows[] = {
      {0, 10, "  0%"},    {1, 3, " 33%"},     {2, 3, " 67%"},       {1, 8, " 12%"},
      {3, 8, " 38%"},     {1, 200, "  0%"},   {3, 200, "  2%"},     {999, 1000, "100%"},
      {10, 10, "100%"},   {15, 10, "150%"},   {1000, 1, "100000%"}, {0, 0, "100%"},
      {7, 0, "100%"},     {-7, 0, "100%"},    {-1, 100, " -1%"},    {-1, 10, "-10%"},
      {-1, 8, "-12%"},    {-3, 8, "-38%"},    {1, -4, "-25%"},      {-1, -4, " 25%"},
      {5, 1000, "  0%"},  {15, 1000, "  2%"}, {25, 1000, "  2%"},   {35, 1000, "  4%"},
      {995, 1000, "100%"}, {985, 1000, " 98%"},
  };
  // clang-format on
  for (const Row& r : rows) EXPECT_EQ(percent(r.done, r.todo), r.text) << r.done << "/" << r.todo;
}

TEST(Percentage, ExactForExtremeCounts) {
  // clang-format off
  const Row rows[] = {
      {kMax, kMax, "100%"},
      {kMin, kMin, "100%"},
      {kMin, kMax, "-100%"},  // -100.0000000000000000108... rounds to -100
      {kMax, kMin, "-100%"},  // -99.99999999999999998...
      {kMax, 1, "922337203685477580700%"},
      {kMin, 1, "-922337203685477580800%"},
      {kMin, -1, "922337203685477580800%"},
      {1, kMin, "  0%"},
      {kMax / 2, kMax, " 50%"},  // just below one half: 49.99...
      {10'000'000'000'000'000, 30'000'000'000'000'000, " 33%"},
  };
  // clang-format on
  for (const Row& r : rows) EXPECT_EQ(percent(r.done, r.todo), r.text) << r.done << "/" << r.todo;
}

// Rounded down, the percentage reaches 100% only with the work.
TEST(PercentageFloor, NeverShowsAHundredBeforeCompletion) {
  // clang-format off
  const Row rows[] = {
      {199, 200, " 99%"}, {200, 200, "100%"}, {999, 1000, " 99%"}, {1, 3, " 33%"},
      {2, 3, " 66%"},     {0, 0, "100%"},     {5, 0, "100%"},      {-1, 1000, " -1%"},
      {-1, 100, " -1%"},  {1, -4, "-25%"},    {1, -3, "-34%"},     {-1, -3, " 33%"},
      {kMax, 1, "922337203685477580700%"},  {kMin, 3, "-307445734561825860267%"},
  };
  // clang-format on
  for (const Row& r : rows) {
    EXPECT_EQ(pb::percentageFloor().runLabel({r.done, r.todo}, {}), r.text)
        << r.done << "/" << r.todo;
  }
}

TEST(Count, IsDoneAlone) {
  EXPECT_EQ(pb::count().runLabel({1234, 0}, {}), "1234");
  EXPECT_EQ(pb::count().runLabel({kMin, 5}, {}), "-9223372036854775808");
}

TEST(Exact, RightAlignsDoneToTheWidthOfTodo) {
  // clang-format off
  const Row rows[] = {
      {5, 100, "  5/100"},    {0, 1000, "   0/1000"}, {100, 100, "100/100"},
      {1000, 100, "1000/100"}, {0, 0, "0/0"},         {-5, 10, "-5/10"},
      {5, -10, "  5/-10"},    {7, -1, " 7/-1"},
      {kMin, kMax, "-9223372036854775808/9223372036854775807"},
      {0, kMin, "                   0/-9223372036854775808"},
  };
  // clang-format on
  for (const Row& r : rows) {
    EXPECT_EQ(pb::exact().runLabel({r.done, r.todo}, {}), r.text);
  }
}

}  // namespace
