#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "System/ProgressBar/Gmp.hpp"
#include "System/ProgressBar/Time.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Duration;
using pb::Progress;
using pb::Timing;

namespace {

const pb::TimePoint kStart{std::chrono::nanoseconds(1'700'000'000'000'000'000)};

Timing after(std::chrono::nanoseconds dt) { return Timing{kStart, kStart + dt}; }

mpz_class picos(const char* digits) { return mpz_class(digits); }

std::string text(const Duration& d) { return pb::renderDuration(d); }

// Records what the renderer was given.
struct Spy {
  int calls = 0;
  mpz_class last;
  pb::DurationRenderer renderer() {
    return [this](const Duration& d) {
      ++calls;
      last = pb::picosecondsOf(d);
      return std::string("spy");
    };
  }
};

TEST(Duration, ConvertsChronoDurationsExactly) {
  EXPECT_EQ(pb::picosecondsOf(Duration(1s)), picos("1000000000000"));
  EXPECT_EQ(pb::picosecondsOf(Duration(-3ns)), -3000);
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::hours(-2))), picos("-7200000000000000"));
  EXPECT_EQ(
      pb::picosecondsOf(Duration(std::chrono::duration<std::uint64_t, std::nano>(UINT64_MAX))),
      picos("18446744073709551615000"));
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<double>(1.5))),
            picos("1500000000000"));
  // 0.1 s as a double is slightly above 0.1: floor keeps the exact picoseconds.
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<double>(0.1))), picos("100000000000"));
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<double>(-0.1))),
            picos("-100000000001"));
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<long double, std::femto>(2.5L))), 0);
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<int, std::ratio<1, 3>>(1))),
            picos("333333333333"));
  // Negative fractions round toward negative infinity too.
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<double, std::milli>(-2.5e-10))), -1);
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<int, std::ratio<1, 3>>(-1))),
            picos("-333333333334"));
  // 128-bit counts, signed and not, beyond 64 bits.
  __extension__ typedef __int128 Int128;
  __extension__ typedef unsigned __int128 UInt128;
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<Int128, std::pico>(Int128{1} << 70))),
            picos("1180591620717411303424"));
  EXPECT_EQ(
      pb::picosecondsOf(Duration(std::chrono::duration<Int128, std::pico>(-(Int128{1} << 70)))),
      picos("-1180591620717411303424"));
  EXPECT_EQ(pb::picosecondsOf(Duration(std::chrono::duration<UInt128, std::nano>(~UInt128{0}))),
            picos("340282366920938463463374607431768211455000"));
  EXPECT_THROW(Duration(std::chrono::duration<double>(std::numeric_limits<double>::infinity())),
               std::domain_error);
  EXPECT_THROW(Duration(std::chrono::duration<float>(std::numeric_limits<float>::quiet_NaN())),
               std::domain_error);
}

TEST(RenderDuration, RoundsTiesToEvenAndJoinsParts) {
  // clang-format off
  const struct {
    const char* ps;
    const char* text;
  } rows[] = {
      {"0", "00"},
      {"59000000000000", "59"},
      {"59500000000000", "01:00"},  // 59.5 goes to the even 60
      {"58500000000000", "58"},
      {"58500000000001", "59"},
      {"500000000000", "00"},
      {"1500000000000", "02"},
      {"2500000000000", "02"},
      {"-1500000000000", "-2"},
      {"-400000000000", "00"},
      {"61000000000000", "01:01"},
      {"3599000000000000", "59:59"},
      {"3600000000000000", "01:00"},  // minutes alone, hours zero
      {"3605000000000000", "01:05"},
      {"3661000000000000", "01:01:01"},
      {"90061000000000000", "25:01:01"},
      {"86400000000000000", "24:00"},  // hours only, minutes and seconds zero
      {"360000000000000000", "100:00"},
      {"-65000000000000", "-1:-5"},
      {"-3661000000000000", "-1:-1:-1"},
      // Seconds beyond 64 bits: hours printed in full, nothing wrapped.
      {"9223372036854775808000000000000", "2562047788015215:30:08"},
      {"-9223372036854775809000000000000", "-2562047788015215:-30:-9"},
      {"36893488147419103232000000000000", "10248191152060862:32"},
      // Halves of a second on both sides of 2^127 and 2^128 picoseconds.
      {"170141183460469231731687302500000000000", "47261439850130342147690:55:02"},
      {"-170141183460469231731687302500000000000", "-47261439850130342147690:-55:-2"},
      {"170141183460469231731687303500000000000", "47261439850130342147690:55:04"},
      {"-170141183460469231731687303500000000000", "-47261439850130342147690:-55:-4"},
      {"340282366920938463463374606500000000000", "94522879700260684295381:50:06"},
      {"-340282366920938463463374607500000000000", "-94522879700260684295381:-50:-8"},
  };
  // clang-format on
  for (const auto& r : rows) EXPECT_EQ(text(pb::durationOf(picos(r.ps))), r.text) << r.ps;
}

TEST(HumanDuration, TwoLargestUnitsAtEachBoundary) {
  // clang-format off
  const struct {
    const char* ps;
    const char* text;
  } rows[] = {
      {"0", "0s"},
      {"499999999999", "0s"},
      {"500000000000", "0s"},  // half a second: ties to the even 0
      {"1500000000000", "2s"},
      {"45000000000000", "45s"},
      {"59499999999999", "59s"},
      {"59500000000000", "1m00s"},  // 59.5 goes to the even 60
      {"125000000000000", "2m05s"},
      {"3599000000000000", "59m59s"},
      {"3600000000000000", "1h00m"},
      {"3725000000000000", "1h02m"},  // seconds dropped, not rounded
      {"86399000000000000", "23h59m"},
      {"86400000000000000", "1d00h"},
      {"273600000000000000", "3d04h"},
      {"-125000000000000", "-2m05s"},
      {"-400000000000", "0s"},
      {"-1500000000000", "-2s"},
      // Beyond 128 bits of picoseconds: days in full.
      {"340282366920938463463374607431768211457000000", "3938453320844195178974243141d13h"},
      {"170141183460469231731687303715884105727", "1969226660422097589487d02h"},  // 2^127 - 1
      {"-170141183460469231731687303715884105729", "-1969226660422097589487d02h"},
  };
  // clang-format on
  for (const auto& r : rows)
    EXPECT_EQ(pb::humanDuration(pb::durationOf(picos(r.ps))), r.text) << r.ps;
  EXPECT_EQ(pb::elapsedTime(pb::humanDuration).runLabel({0, 0}, after(125s)), "2m05s");
}

TEST(ElapsedTime, PassesTheExactDifferenceToTheRenderer) {
  Spy spy;
  const pb::Label<> label = pb::elapsedTime(spy.renderer());
  EXPECT_EQ(label.runLabel({0, 0}, after(0ns)), "spy");
  EXPECT_EQ(spy.last, 0);
  label.runLabel({0, 0}, after(-1500ms));
  EXPECT_EQ(spy.last, picos("-1500000000000"));
  // Time points at the far ends of the 64-bit range differ by more than 2^63 ns.
  const pb::TimePoint lo{std::chrono::nanoseconds(std::numeric_limits<std::int64_t>::min())};
  const pb::TimePoint hi{std::chrono::nanoseconds(std::numeric_limits<std::int64_t>::max())};
  label.runLabel({0, 0}, Timing{lo, hi});
  EXPECT_EQ(spy.last, picos("18446744073709551615000"));
  EXPECT_EQ(spy.calls, 3);
  EXPECT_EQ(pb::elapsedTime(pb::renderDuration).runLabel({0, 0}, after(0ns)), "00");
}

TEST(Estimates, ChooseTheAlternativeTextBeforeCallingTheRenderer) {
  // clang-format off
  const struct {
    std::int64_t done, todo;
    std::chrono::nanoseconds dt;
  } rows[] = {
      {0, 100, 10s},
      {0, 0, 10s},  // nothing done: no estimate, even of work that is complete
      {0, -5, 10s},
      {-1, 100, 10s},
      {50, 100, 0ns},
      {50, 100, 1s},  // exactly one second is not enough
      {50, 100, -10s},
      {1, 1'000'000'000'000'001, 100s},  // todo beyond 10^12 times done
      {std::numeric_limits<std::int64_t>::min(), 5, 100s},
  };
  // clang-format on
  for (const auto& r : rows) {
    Spy spy;
    EXPECT_EQ(pb::remainingTime(spy.renderer(), "?").runLabel({r.done, r.todo}, after(r.dt)), "?");
    EXPECT_EQ(pb::totalTime(spy.renderer(), "--").runLabel({r.done, r.todo}, after(r.dt)), "--");
    EXPECT_EQ(spy.calls, 0);
  }
}

TEST(Estimates, FixedPointArithmetic) {
  // clang-format off
  const struct {
    std::int64_t done, todo;
    std::chrono::nanoseconds dt;
    const char* remaining;
    const char* total;
  } rows[] = {
      {50, 100, 90s, "90000000000000", "180000000000000"},
      // fraction 333333333333, factor 3000000000003: not 2 * dt exactly.
      {1, 3, 10s, "20000000000030", "30000000000030"},
      {2, 1, 10s, "-5000000000000", "5000000000000"},
      {5, 0, 10s, "0", "10000000000000"},
      {5, -7, 10s, "0", "10000000000000"},
      {1, 1, 1s + 1ns, "0", "1000000001000"},
      {3, 0, 10s, "0", "10000000000000"},  // todo 0: the factor is one
      {1, 1'000'000'000'000, 2s, "1999999999998000000000000", "2000000000000000000000000"},
  };
  // clang-format on
  for (const auto& r : rows) {
    Spy spy;
    pb::remainingTime(spy.renderer(), "?").runLabel({r.done, r.todo}, after(r.dt));
    EXPECT_EQ(spy.last, picos(r.remaining)) << r.done << "/" << r.todo;
    pb::totalTime(spy.renderer(), "?").runLabel({r.done, r.todo}, after(r.dt));
    EXPECT_EQ(spy.last, picos(r.total)) << r.done << "/" << r.todo;
    EXPECT_EQ(spy.calls, 2);
  }
  const Timing oneThirdAfter10s = after(10s);
  EXPECT_EQ(pb::remainingTime(pb::renderDuration, "?").runLabel({1, 3}, oneThirdAfter10s), "20");
  EXPECT_EQ(pb::remainingTime(pb::renderDuration, "?").runLabel({50, 100}, after(90s)), "01:30");
  EXPECT_EQ(pb::totalTime(pb::renderDuration, "?").runLabel({50, 100}, after(90s)), "03:00");
  EXPECT_EQ(pb::remainingTime(pb::renderDuration, "?").runLabel({2, 1}, after(10s)), "-5");
}

TEST(Estimates, LongRunsPrintExactHours) {
  // 1 of 10^12 after 100 days: the total is 8.64e18 s, beyond nothing but GMP.
  const Timing t = after(std::chrono::hours(24 * 100));
  EXPECT_EQ(pb::totalTime(pb::renderDuration, "?").runLabel({1, 1'000'000'000'000}, t),
            "2400000000000000:00");
  // 1 of 2*10^11 after 200 years of nanoseconds: more than 2^63 seconds.
  const Timing years{
      pb::TimePoint{},
      pb::TimePoint{std::chrono::nanoseconds(std::numeric_limits<std::int64_t>::max())}};
  EXPECT_EQ(pb::totalTime(pb::renderDuration, "?").runLabel({1, 200'000'000'000}, years),
            "512409557603043100:23:20");
}

}  // namespace
