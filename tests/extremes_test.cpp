// Counts at the ends of the 64-bit range through every public operation, on
// a bar of its own and on a display's rows: each one stores the count wrapped
// modulo 2^64 and draws it, and none is undefined behaviour (the sanitizer
// build stops at the first). And counts given in every integer type: an
// increment counts modulo 2^64, a total beyond the 64-bit range is refused,
// a range's size counts whatever its type.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "System/ProgressBar.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Every key a template knows, so that each label draws the extreme counts.
pb::Style<> everyLabel() {
  return pb::styleFromTemplate(
      "{msg} {percent} {percent_floor} {pos} {counts} {bytes} {bytes_done} {rate} "
      "{recent_rate} {byte_rate} {recent_byte_rate} {elapsed} {elapsed_human} {eta} "
      "{eta_human} {recent_eta} {recent_eta_human} {total_time} {spinner} {bar:400}");
}

// Where a bar draws: a stream of its own, or a row of a display.
enum class Place { kStream, kTerminal, kLog };

class Extremes : public ::testing::Test {
 protected:
  void SetUp() override {
    testclock::setCoarse(0ns, 4ms);
    testclock::resetTicks();
  }

  pb::ProgressBar<> make(Place place, double rate, Progress<> start, bool known) {
    if (place == Place::kStream) {
      return known ? pb::hNewProgressBar(out, everyLabel(), rate, start)
                   : pb::hNewProgressBar(out, everyLabel(), rate, start, pb::unknownTotal);
    }
    pb::DisplayOptions options{.refreshRate = rate, .logInterval = 1s, .colour = false};
    display = place == Place::kTerminal
                  ? std::make_unique<pb::Display>(out, pb::AsTerminal{500, 24}, options)
                  : std::make_unique<pb::Display>(out, pb::AsLog{}, options);
    return known ? display->add(everyLabel(), start)
                 : display->add(everyLabel(), start, pb::unknownTotal);
  }

  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  std::unique_ptr<pb::Display> display;
};

using Op = std::function<void(const pb::ProgressBar<>&)>;

Op inc(std::int64_t n) {
  return [n](const pb::ProgressBar<>& bar) { pb::incProgress(bar, n); };
}
Op update(std::int64_t done, std::int64_t todo) {
  return [=](const pb::ProgressBar<>& bar) {
    pb::updateProgress(bar, [=](const Progress<>&) { return Progress<>{done, todo}; });
  };
}
Op both(Op first, Op second) {
  return [=](const pb::ProgressBar<>& bar) {
    first(bar);
    testclock::advance(1s);
    second(bar);
  };
}

struct Case {
  const char* name;
  Progress<> start;
  bool known;
  Op op;
  Progress<> after;
};

TEST_F(Extremes, EveryOperationStoresTheWrappedCountsAndDrawsThem) {
  const std::vector<std::int64_t> threeItems{1, 2, 3};
  // clang-format off
  const Case cases[] = {
      {"increment by the least from the least", {kMin, kMax}, true, inc(kMin), {0, kMax}},
      {"increment by the most from the least", {kMin, kMax}, true, inc(kMax), {-1, kMax}},
      {"increment by the most from the most", {kMax, kMax}, true, inc(kMax), {-2, kMax}},
      {"increment by the least from the most", {kMax, kMax}, true, inc(kMin), {-1, kMax}},
      {"one past the most", {kMax, kMin}, true, inc(1), {kMin, kMin}},
      {"one below the least", {kMin, kMin}, true, inc(-1), {kMax, kMin}},
      {"update from the least to the most", {kMin, kMax}, true, update(kMax, kMin), {kMax, kMin}},
      {"update from the most to the least", {kMax, kMin}, true, update(kMin, kMax), {kMin, kMax}},
      {"update that keeps the least", {kMin, kMin}, true, update(kMin, kMin), {kMin, kMin}},
      {"update, then an increment by the least", {kMax, kMax}, true,
       both(update(kMin, kMax), inc(kMin)), {0, kMax}},
      {"the least total", {kMin, kMax}, true,
       [](const pb::ProgressBar<>& bar) { pb::setTotal(bar, kMin); }, {kMin, kMin}},
      {"the most total", {kMax, kMin}, true,
       [](const pb::ProgressBar<>& bar) { pb::setTotal(bar, kMax); }, {kMax, kMax}},
      {"reset from the least", {kMin, kMax}, true,
       [](const pb::ProgressBar<>& bar) { pb::reset(bar); }, {0, kMax}},
      {"reset from the most to the least total", {kMax, 5}, true,
       [](const pb::ProgressBar<>& bar) { pb::reset(bar, kMin); }, {0, kMin}},
      {"reset from the least to the most total", {kMin, kMin}, true,
       [](const pb::ProgressBar<>& bar) { pb::reset(bar, kMax); }, {0, kMax}},
      {"reset, then an increment by the least", {kMin, kMax}, true,
       both([](const pb::ProgressBar<>& bar) { pb::reset(bar); }, inc(kMin)), {kMin, kMax}},
      {"finish, then an increment by the least", {kMin, kMax}, true,
       both([](const pb::ProgressBar<>& bar) { pb::finish(bar); }, inc(kMin)), {0, kMax}},
      {"finish with a message after the postfix", {kMax, kMin}, true,
       [](const pb::ProgressBar<>& bar) {
         pb::finish(bar, "failed", pb::FinishMessage::AfterPostfix);
       }, {kMax, kMin}},
      {"abandon, then one below the least", {kMin, kMax}, true,
       both([](const pb::ProgressBar<>& bar) { pb::abandon(bar, "skipped"); }, inc(-1)),
       {kMax, kMax}},
      {"finish and clear, then reset", {kMax, kMax}, true,
       both([](const pb::ProgressBar<>& bar) { pb::finishAndClear(bar); },
            [](const pb::ProgressBar<>& bar) { pb::reset(bar); }), {0, kMax}},
      {"a message", {kMin, kMax}, true,
       [](const pb::ProgressBar<>& bar) { pb::setMessage(bar, "working"); }, {kMin, kMax}},
      {"a line above", {kMin, kMax}, true,
       [](const pb::ProgressBar<>& bar) { pb::printAbove(bar, "a line"); }, {kMin, kMax}},
      {"a loop past the most", {kMax - 1, kMax}, true,
       [&](const pb::ProgressBar<>& bar) {
         for (const std::int64_t item : pb::track(bar, threeItems)) (void)item;
       }, {kMin + 1, kMax}},
      {"bytes written past the most", {kMax - 2, kMin}, true,
       [](const pb::ProgressBar<>& bar) {
         std::ostringstream sink;
         const auto counted = pb::trackWrite(bar, sink);
         sink << "12345";
       }, {kMin + 2, kMin}},
      {"a copy from the least", {kMin, kMax}, true,
       [](const pb::ProgressBar<>& bar) {
         std::istringstream in("1234");
         std::ostringstream copied;
         pb::copy(in, copied, bar);
       }, {kMin + 4, kMax}},
      {"a tick at the least", {kMin, kMax}, true,
       [](const pb::ProgressBar<>& bar) {
         const pb::Ticker ticker(bar, 1s);
         testclock::tick();
       }, {kMin, kMax}},
      {"an unknown total, incremented by the least", {kMin, 0}, false, inc(kMin), {0, 0}},
      {"an unknown total becomes the least", {kMin, 0}, false,
       [](const pb::ProgressBar<>& bar) { pb::setTotal(bar, kMin); }, {kMin, kMin}},
      {"an unknown total updated to the most", {kMin, 0}, false, update(kMax, kMax),
       {kMax, kMax}},
      {"an unknown total reset from the least", {kMin, 0}, false,
       [](const pb::ProgressBar<>& bar) { pb::reset(bar); }, {0, 0}},
  };
  // clang-format on
  for (const Place place : {Place::kStream, Place::kTerminal, Place::kLog}) {
    for (const double rate : {std::nan(""), 10.0}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.name << ", place " << static_cast<int>(place) << ", rate " << rate);
        const auto bar = make(place, rate, c.start, c.known);
        testclock::advance(1s);
        c.op(bar);
        // Once more with a speed history that spans the jump.
        testclock::advance(1s);
        pb::incProgress(bar, 0);
        const Progress<> p = pb::progressOf(bar);
        EXPECT_EQ(p.progressDone, c.after.progressDone);
        EXPECT_EQ(p.progressTodo, c.after.progressTodo);
        EXPECT_TRUE(out.good());
        if (display) display->end();
        buf.take();
      }
    }
  }
}

// A sized range whose size is of type N.
template <class N>
struct SizedIn {
  std::vector<int> items;
  auto begin() const { return items.begin(); }
  auto end() const { return items.end(); }
  N size() const { return static_cast<N>(items.size()); }
};

template <class N>
class CountTypes : public ::testing::Test {
 protected:
  void SetUp() override { testclock::setCoarse(0ns, 4ms); }
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  pb::Display display{out, pb::AsLog{}};
};

using StandardIntegers =
    ::testing::Types<short, unsigned short, int, unsigned, long, unsigned long, long long,
                     unsigned long long, std::size_t, std::int64_t, signed char, unsigned char>;
TYPED_TEST_SUITE(CountTypes, StandardIntegers);

TYPED_TEST(CountTypes, EveryStandardIntegerTypeCounts) {
  using N = TypeParam;
  using pb::detail::Int128;
  constexpr N least = std::numeric_limits<N>::min(), most = std::numeric_limits<N>::max();
  // A sum of such values as a stored count: modulo 2^64.
  const auto modulo = [](Int128 v) {
    return static_cast<std::int64_t>(
        static_cast<std::uint64_t>(static_cast<pb::detail::UInt128>(v)));
  };
  const auto counts = [](const pb::ProgressBar<>& bar) {
    const Progress<> p = pb::progressOf(bar);
    return std::pair(p.progressDone, p.progressTodo);
  };
  using Counts = std::pair<std::int64_t, std::int64_t>;

  const auto bar = this->display.add(pb::defStyle(), N{3});
  EXPECT_EQ(counts(bar), Counts(0, 3));
  pb::incProgress(bar, N{2});
  pb::incProgress(bar, most);
  EXPECT_EQ(counts(bar).first, modulo(Int128{2} + most));
  pb::incProgress(bar, least);
  EXPECT_EQ(counts(bar).first, modulo(Int128{2} + most + least));
  pb::setTotal(bar, least);
  EXPECT_EQ(counts(bar).second, static_cast<std::int64_t>(least));
  pb::reset(bar, N{9});
  pb::incProgress(bar, N{4});
  EXPECT_EQ(counts(bar), Counts(4, 9));
  if (Int128{most} <= kMax) {
    const auto total = static_cast<std::int64_t>(most);
    pb::setTotal(bar, most);
    EXPECT_EQ(counts(bar), Counts(4, total));
    pb::reset(bar, most);
    EXPECT_EQ(counts(bar), Counts(0, total));
    EXPECT_EQ(counts(this->display.add(pb::defStyle(), most)), Counts(0, total));
  } else {
    // Beyond a count: refused whole, the bar as it was.
    EXPECT_THROW(pb::setTotal(bar, most), std::out_of_range);
    EXPECT_THROW(pb::reset(bar, most), std::out_of_range);
    EXPECT_THROW(this->display.add(pb::defStyle(), most), std::out_of_range);
    EXPECT_EQ(counts(bar), Counts(4, 9));
  }

  auto loop = this->display.track(SizedIn<N>{{1, 2, 3}});
  for (const int item : loop) (void)item;
  EXPECT_EQ(counts(loop.bar()), Counts(3, 3));
}

// A range's size is a count whatever its type, a character type included
// (a character given as a total does not compile: see compile_errors).
TEST(SizeTypes, ARangesSizeCountsInACharacterTypeToo) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out{&buf};
  pb::Display display{out, pb::AsLog{}};
  auto wide = display.track(SizedIn<char32_t>{{1, 2, 3, 4}});
  EXPECT_EQ(pb::progressOf(wide.bar()).progressTodo, 4);
  auto narrow = display.track(SizedIn<char>{{1, 2}}, pb::defStyle());
  for (const int item : narrow) (void)item;
  EXPECT_EQ(pb::progressOf(narrow.bar()).progressDone, 2);
  EXPECT_EQ(pb::progressOf(narrow.bar()).progressTodo, 2);
}

}  // namespace
