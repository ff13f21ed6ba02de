#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <ranges>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using pb::Progress;

namespace {

class TrackTest : public ::testing::Test {
 protected:
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  pb::ProgressBar<> make(std::int64_t todo) {
    pb::Style<> s = pb::defStyle();
    s.styleWidth = pb::ConstantWidth{20};
    return pb::hNewProgressBar(out, s, 10.0, Progress<>{0, todo});
  }
  std::int64_t done(const pb::ProgressBar<>& bar) {
    return bar.pbStateMv().read().stProgress.progressDone;
  }
};

using Tracked = decltype(pb::track(std::declval<const pb::ProgressBar<>&>(),
                                   std::declval<std::vector<int>&>()));
static_assert(std::ranges::view<Tracked>);
static_assert(std::ranges::input_range<Tracked>);
static_assert(std::ranges::sized_range<Tracked>);
static_assert(!std::ranges::forward_range<Tracked>);

TEST_F(TrackTest, CountsEveryElementAndDrawsTheCompletingLine) {
  std::vector<int> items(1000);
  const auto bar = make(1000);
  buf.take();
  int sum = 0;
  for (int& item : pb::track(bar, items)) {
    item = 1;
    sum += item;
  }
  EXPECT_EQ(sum, 1000);
  EXPECT_EQ(done(bar), 1000);
  const std::string bytes = buf.take();
  EXPECT_EQ(bytes.substr(bytes.size() - 21), "[=============] 100%\n");
}

TEST_F(TrackTest, EarlyExitsCountTheElementsBeforeThem) {
  const std::list<int> items = {1, 2, 3, 4, 5};  // not random access
  const auto bar = make(5);
  for (const int item : pb::track(bar, items)) {
    if (item == 3) break;
  }
  EXPECT_EQ(done(bar), 2);
  EXPECT_THROW(
      for (const int item : pb::track(bar, items)) {
        if (item == 4) throw std::runtime_error("stop");
      },
      std::runtime_error);
  EXPECT_EQ(done(bar), 2 + 3);
}

// clang 14 cannot compile libstdc++ 12's range adaptors, whatever they adapt.
#if !defined(__clang__) || __clang_major__ >= 15
TEST_F(TrackTest, WorksWithTheRangesLibrary) {
  const auto bar = make(10);
  auto evens = pb::track(bar, std::views::iota(0, 10)) |
               std::views::filter([](int i) { return i % 2 == 0; });
  int count = 0;
  for (const int i : evens) count += i >= 0 ? 1 : 0;
  EXPECT_EQ(count, 5);
  EXPECT_EQ(done(bar), 10);
}
#endif

TEST_F(TrackTest, OwnsRvalueRangesAndIsSized) {
  const auto bar = make(7);
  auto tracked = pb::track(bar, std::vector<int>(7, 2));
  EXPECT_EQ(std::ranges::size(tracked), 7u);
  int sum = 0;
  for (const int i : tracked) sum += i;
  EXPECT_EQ(sum, 14);
  EXPECT_EQ(done(bar), 7);
}

}  // namespace
