// Loops that drive a bar: counts exact however the loop is left, redraws on
// time whatever the elements cost, and no element lost from a single-pass range.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <forward_list>
#include <iostream>
#include <iterator>
#include <list>
#include <optional>
#include <ranges>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;

namespace {

class TrackTest : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  pb::ProgressBar<> make(std::int64_t todo, double rate = 10.0) {
    return pb::hNewProgressBar(out, pb::Style<>{.styleWidth = pb::ConstantWidth{20}}, rate,
                               Progress<>{0, todo});
  }
  static std::int64_t done(const pb::ProgressBar<>& bar) {
    return bar.pbStateMv().read().stProgress.progressDone;
  }
};

using Tracked = decltype(pb::track(std::declval<const pb::ProgressBar<>&>(),
                                   std::declval<std::vector<int>&>()));
static_assert(std::ranges::view<Tracked>);
static_assert(std::ranges::input_range<Tracked>);
static_assert(std::ranges::sized_range<Tracked>);
static_assert(!std::ranges::forward_range<Tracked>);

template <class View>
concept HasEmpty = requires(View& v) {
  v.empty();
};

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
      for (const int item
           : pb::track(bar, items)) {
        if (item == 4) throw std::runtime_error("stop");
      },
      std::runtime_error);
  EXPECT_EQ(done(bar), 2 + 3);
}

// The element that completes the work is drawn when the loop moves past it,
// not at the end of a batch.
TEST_F(TrackTest, TheCompletingElementIsDrawnAtOnceInsideALongRange) {
  const std::vector<int> items(300, 1);
  // Totals at, around and past a batch's size; the body of the element after
  // the completing one already finds its line drawn. Under a watching ticker
  // too, where batches end by the ticker's word instead of the clock.
  for (const bool ticking : {false, true}) {
    for (const std::int64_t total : {1, 2, 3, 63, 64, 65, 100, 129, 200}) {
      const auto bar = make(total);
      std::optional<pb::Ticker> ticker;
      if (ticking) {
        testclock::resetTicks();
        ticker.emplace(bar, 1h);
        testclock::look();
      }
      buf.take();
      std::int64_t seen = 0;
      for (const int item : pb::track(bar, items)) {
        if (seen++ == total) {
          EXPECT_NE(buf.take().find("100%\n"), std::string::npos)
              << "drawn at the " << total << "th" << (ticking ? ", ticking" : "");
        }
        (void)item;
      }
      EXPECT_EQ(done(bar), 300);
    }
  }
}

// Words read from a stream: a single-pass range whose begin() reads one.
class Words {
 public:
  class Iterator {
   public:
    using iterator_concept = std::input_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    explicit Iterator(std::istream* in) : in_(in) { ++*this; }
    const std::string& operator*() const { return word_; }
    Iterator& operator++() {
      if (!(*in_ >> word_)) in_ = nullptr;
      return *this;
    }
    void operator++(int) { ++*this; }
    bool operator==(std::default_sentinel_t) const { return in_ == nullptr; }

   private:
    std::istream* in_;
    std::string word_;
  };
  explicit Words(std::istream& in) : in_(&in) {}
  Iterator begin() { return Iterator(in_); }
  std::default_sentinel_t end() { return {}; }

 private:
  std::istream* in_;
};
static_assert(std::ranges::input_range<Words> && !std::ranges::forward_range<Words>);

// A single-pass range: asking whether it is empty would consume an element,
// so the view does not offer it; iterating loses nothing.
TEST_F(TrackTest, ASinglePassRangeLosesNoElement) {
  std::istringstream words("a b c d");
  Words input(words);
  const auto bar = make(4);
  auto tracked = pb::track(bar, input);
  static_assert(!HasEmpty<decltype(tracked)>);
  std::string all;
  for (const std::string& w : tracked) all += w;
  EXPECT_EQ(all, "abcd");
  EXPECT_EQ(done(bar), 4);
  const std::vector<int> some = {1};
  auto sized = pb::track(bar, some);
  EXPECT_FALSE(sized.empty());
}

// Cheap elements, then slow ones: redraws come at the rate, and the final
// line has the time of the last element, however the cost changed.
TEST_F(TrackTest, RedrawsStayOnTimeWhenElementsTurnSlow) {
  const auto bar = make(301'000);
  buf.take();
  std::int64_t i = 0;
  std::size_t draws = 0;
  for (const int item : pb::track(bar, std::vector<int>(301'000, 1))) {
    (void)item;
    if (i++ >= 300'000) testclock::advance(1ms);  // 1,000 elements of 1 ms
    if (i == 300'001) buf.take();
    if (i % 100 == 0 && i > 300'000) {
      const std::string bytes = buf.take();
      for (const char c : bytes) draws += c == '\r' ? 1 : 0;
    }
  }
  EXPECT_GE(draws, 9u) << "a second of slow elements at rate 10";
  EXPECT_EQ(done(bar), 301'000);
  const auto state = bar.pbStateMv().read();
  EXPECT_EQ(state.stRenderTime, testclock::now()) << "the completing line shows the end";
}

// The end of the range adds the last batch and draws it when due, so the
// last line shows every element.
TEST_F(TrackTest, TheEndOfTheRangeDrawsTheLastBatch) {
  const auto bar = make(1000, std::nan(""));
  for (const int item : pb::track(bar, std::vector<int>(10, 1))) (void)item;
  const std::string bytes = buf.take();
  EXPECT_TRUE(bytes.ends_with("[.............]   1%\r")) << bytes;
  EXPECT_EQ(done(bar), 10);
}

// Cheap elements, then suddenly slow ones: the batch under way ends after
// the first slow element, so every redraw comes within a refresh period of
// being due and a reader sees every slow element moved past.
TEST_F(TrackTest, ASuddenSlowdownEndsTheBatchUnderWay) {
  const auto bar = make(20'200, 20.0);
  std::int64_t moved = 0;
  for (const int item : pb::track(bar, std::vector<int>(20'200, 1))) {
    (void)item;
    if (moved > 20'000) {
      const auto state = bar.pbStateMv().read();
      EXPECT_LE(testclock::now() - state.stRenderTime, 100ms) << "element " << moved;
      EXPECT_EQ(state.stProgress.progressDone, moved) << "element " << moved;
    }
    if (moved >= 20'000) testclock::advance(2ms);
    ++moved;
  }
  EXPECT_EQ(done(bar), 20'200);
}

// Cheap elements far from the end count in whole batches: one precise
// reading of the clock a batch, not one an element.
TEST_F(TrackTest, CheapElementsReadThePreciseClockOnceABatch) {
  const auto bar = make(1'000'000);
  const std::int64_t before = testclock::preciseReads();
  for (const int item : pb::track(bar, std::vector<int>(6'400, 1))) (void)item;
  EXPECT_LE(testclock::preciseReads() - before, 6'400 / 64 + 4);
  EXPECT_EQ(done(bar), 6'400);
}

// Another thread reading the bar sees it behind by at most one batch.
TEST_F(TrackTest, AReaderNeverSeesTheBarFarBehindTheLoop) {
  const auto bar = make(1'000'000);
  std::int64_t moved = 0;
  for (const int item : pb::track(bar, std::vector<int>(100'000))) {
    (void)item;
    if (moved % 997 == 0) {
      const std::int64_t seen = done(bar);
      EXPECT_LE(seen, moved);
      EXPECT_GE(seen, moved - 64);
    }
    ++moved;
  }
  EXPECT_EQ(done(bar), 100'000);
}

// While a ticker watches the bar, elements read no clock; a batch ends at
// each of the ticker's looks, so the draw that a look lets come shows every
// element moved past.
TEST_F(TrackTest, UnderAWatchingTickerABatchEndsAtItsLook) {
  testclock::resetTicks();
  const auto bar = make(1'000'000);
  pb::Ticker ticker(bar, 1h);
  testclock::look();
  const std::int64_t before = testclock::coarseReads() + testclock::preciseReads();
  std::int64_t moved = 0;
  for (const int item : pb::track(bar, std::vector<int>(10'000, 1))) {
    (void)item;
    if (moved == 5'000) {
      EXPECT_LE(testclock::coarseReads() + testclock::preciseReads() - before, 2)
          << "not one an element";
      EXPECT_GE(done(bar), moved - 64);
      testclock::advance(200ms);
      testclock::look();
      buf.take();
    }
    if (moved == 5'001) {
      EXPECT_EQ(done(bar), moved);
      EXPECT_FALSE(buf.take().empty()) << "drawn at the first element after";
    }
    ++moved;
  }
  EXPECT_EQ(done(bar), 10'000);
}

// Without a bar: one of the view's own on standard error, finished when the
// view goes, so a loop left early still ends its line.
TEST_F(TrackTest, MakesAndFinishesItsOwnBar) {
  testsupport::RecordingBuf err;
  std::streambuf* const saved = std::cerr.rdbuf(&err);
  for (const int item : pb::track(std::vector<int>(10, 1))) {
    if (item == 1 && err.bytes.size() > 1'000'000) break;  // never
  }
  const std::string sized = err.take();
  std::istringstream words("a b c");
  for (const std::string& w : pb::track(Words(words))) {
    if (w == "b") break;
  }
  const std::string unsized = err.take();
  std::cerr.rdbuf(saved);
  // Its width follows whatever standard output is: only the shape is fixed.
  const std::string last = sized.substr(sized.rfind('\r') + 1);
  EXPECT_EQ(last.find_first_not_of('=', 1), last.size() - 7) << last;
  EXPECT_TRUE(last.starts_with("[=") && last.ends_with("] 100%\n")) << last;
  EXPECT_EQ(std::count(sized.begin(), sized.end(), '\n'), 1) << "the end is not drawn twice";
  const std::string spun = unsized.substr(unsized.rfind('\r') + 1);
  EXPECT_EQ(spun.substr(spun.find(' ')), " 1 items 0s -- \n") << "a spinner, finished at 1";
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

// empty() is there where asking does not consume an element: sized ranges
// and forward ones, each on its own.
TEST_F(TrackTest, AskingWhetherItIsEmptyWorksForSizedAndForwardRanges) {
  const auto bar = make(10);
  std::forward_list<int> none, some = {1};
  auto forwardNone = pb::track(bar, none);
  auto forwardSome = pb::track(bar, some);
  static_assert(HasEmpty<decltype(forwardSome)>);
  EXPECT_TRUE(forwardNone.empty());
  EXPECT_FALSE(forwardSome.empty());
  // Post-increment moves on and counts like pre-increment.
  auto it = forwardSome.begin();
  it++;
  EXPECT_TRUE(it == forwardSome.end());
  EXPECT_EQ(done(bar), 1);
}

// A view that made its own bar hands the bar over when it is moved: the one
// moved from never finishes it.
TEST_F(TrackTest, AMovedViewKeepsItsBarRunning) {
  testsupport::RecordingBuf err;
  std::streambuf* const saved = std::cerr.rdbuf(&err);
  {
    auto first = pb::track(std::vector<int>(10, 1));
    auto third = pb::track(std::vector<int>(3, 1));
    {
      auto second = std::move(first);
      { auto gone = std::move(first); }  // NOLINT(bugprone-use-after-move): an empty view
      third = std::move(second);         // the third view's own bar finishes here
    }                                    // the moved-from view owns nothing
    for (const int item : third) (void)item;
  }
  std::cerr.rdbuf(saved);
  const std::string bytes = err.take();
  EXPECT_TRUE(bytes.ends_with("] 100%\n")) << bytes;
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 2) << "one end for each bar";
}

// An iterator assigned another's place counts what it moved past into its
// own bar, and from then on into the other's.
TEST_F(TrackTest, AnAssignedIteratorCountsIntoTheBarItTookOver) {
  const auto a = make(10), b = make(10);
  std::vector<int> items(10, 1);
  auto viewA = pb::track(a, items), viewB = pb::track(b, items);
  {
    auto i = viewA.begin();
    for (int k = 0; k < 3; ++k) ++i;
    auto j = viewB.begin();
    for (int k = 0; k < 2; ++k) ++j;
    i = std::move(j);
    ++i;
  }
  EXPECT_EQ(done(a), 3);
  EXPECT_EQ(done(b), 3);
}

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
