// The terminal's own progress indicator (OSC 9;4), the terminals it is sent
// to, and the switch that hides every bar.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "System/ProgressBar.hpp"
#include "display/display_core.hpp"
#include "display/work_share.hpp"
#include "support/fake_clock.hpp"
#include "support/recording_buf.hpp"
#include "support/scoped_env.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;
using pb::Progress;
using Strings = std::vector<std::string>;

namespace {

// The indicator's "state;percent" of each sequence in `bytes`, in order.
Strings indicatorsIn(std::string_view bytes) {
  constexpr std::string_view kStart = "\x1b]9;4;", kEnd = "\x1b\\";
  Strings found;
  for (std::size_t at = bytes.find(kStart); at != std::string_view::npos;
       at = bytes.find(kStart, at)) {
    at += kStart.size();
    const std::size_t end = bytes.find(kEnd, at);
    if (end == std::string_view::npos) {
      found.emplace_back("unterminated");
      break;
    }
    found.emplace_back(bytes.substr(at, end - at));
  }
  return found;
}

using testsupport::ScopedEnv;

using Bar = pb::ProgressBar<>;
struct Step {
  const char* what;
  // Acts on the display and the bars made so far (it may add more).
  std::function<void(pb::Display&, std::vector<Bar>&)> act;
  Strings sent;  // the indicators written by this step
};

pb::Style<> plain(pb::OnComplete onComplete = pb::WriteNewline) {
  return pb::Style<>{.styleOnComplete = onComplete};
}

auto addBar(std::int64_t total, pb::OnComplete onComplete = pb::WriteNewline) {
  return [=](pb::Display& d, std::vector<Bar>& bars) {
    bars.push_back(d.add(plain(onComplete), Progress<>{0, total}));
  };
}
auto inc(std::size_t bar, std::int64_t n) {
  return [=](pb::Display&, std::vector<Bar>& bars) { pb::incProgress(bars.at(bar), n); };
}

struct IndicatorCase {
  const char* name;
  std::vector<Step> steps;
  Strings atEnd = {"0;0"};
};

class IndicatorBytes : public ::testing::TestWithParam<IndicatorCase> {};

TEST_P(IndicatorBytes, EachFrameThatChangesTheShareSendsItOnce) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  std::vector<Bar> bars;
  {
    pb::Display display(out, pb::AsTerminal{60, 20},
                        pb::DisplayOptions{.colour = false, .terminalProgress = true});
    for (const Step& step : GetParam().steps) {
      testclock::advance(200ms);  // every update is due
      step.act(display, bars);
      EXPECT_EQ(indicatorsIn(buf.take()), step.sent) << step.what;
    }
  }
  EXPECT_EQ(indicatorsIn(buf.take()), GetParam().atEnd) << "the display's end";
}

const IndicatorCase kIndicatorCases[] = {
    {"OneBarInWholePercentRoundedDown",
     {{"added", addBar(200), {"1;0"}},
      {"half a percent", inc(0, 1), {}},
      {"one and a half", inc(0, 2), {"1;1"}},
      {"199 of 200", inc(0, 196), {"1;99"}},
      {"complete", inc(0, 1), {"1;100"}}}},
    {"TheShareOfEveryKnownTotal",
     {{"a: 3", addBar(3), {"1;0"}},
      {"b: 7", addBar(7), {}},
      {"one of ten", inc(0, 1), {"1;10"}},
      {"a complete", inc(0, 2), {"1;30"}},
      {"b complete", inc(1, 7), {"1;100"}}}},
    {"AFinishedRowThatLeftStaysInTheWork",
     {{"a: 10", addBar(10), {"1;0"}},
      {"b: 10", addBar(10), {}},
      {"a done, leaves the block", inc(0, 10), {"1;50"}},
      {"b half", inc(1, 5), {"1;75"}},
      {"a cleared row too", addBar(20, pb::Clear), {"1;37"}},
      {"c done and gone", inc(2, 20), {"1;87"}}}},
    {"ARemovedRowLeavesTheWork",
     {{"a: 10", addBar(10), {"1;0"}},
      {"b: 30", addBar(30), {}},
      {"a half", inc(0, 5), {"1;12"}},
      {"b removed", [](pb::Display& d, std::vector<Bar>& bars) { d.remove(bars[1]); }, {"1;50"}}}},
    {"BusyWhileNoTotalIsKnown",
     {{"unknown",
       [](pb::Display& d, std::vector<Bar>& bars) {
         bars.push_back(d.add(pb::spinnerStyle(), Progress<>{0, 0}, pb::unknownTotal));
       },
       {"3;0"}},
      {"counting", inc(0, 5), {}},
      {"a known total", addBar(4), {"1;0"}},
      {"the total told",
       [](pb::Display&, std::vector<Bar>& bars) { pb::setTotal(bars[0], 8); },
       {"1;41"}}}},
    {"ATotalOfZeroIsWorkComplete", {{"zero", addBar(0), {"1;100"}}}},
    {"CountsOutsideTheTotalCountAsAllOrNothing",
     {{"a: 10 from -5",
       [](pb::Display& d, std::vector<Bar>& bars) {
         bars.push_back(d.add(plain(), Progress<>{-5, 10}));
       },
       {"1;0"}},
      {"b: 10 beyond",
       [](pb::Display& d, std::vector<Bar>& bars) {
         bars.push_back(d.add(plain(), Progress<>{25, 10}));
       },
       {"1;50"}}}},
    {"AnAbandonedBarMakesItAnErrorFromThenOn",
     {{"a: 10", addBar(10), {"1;0"}},
      {"b: 10", addBar(10), {}},
      {"a at 4", inc(0, 4), {"1;20"}},
      {"a abandoned", [](pb::Display&, std::vector<Bar>& bars) { pb::abandon(bars[0]); }, {"2;20"}},
      {"b goes on", inc(1, 10), {"2;70"}},
      {"a complete bar leaves it an error",
       [](pb::Display& d, std::vector<Bar>& bars) {
         bars.push_back(d.add(plain(), Progress<>{2, 2}));
       },
       {"2;72"}}}},
    {"SuspendedItIsClearedThenSentAgain",
     {{"a: 4", addBar(4), {"1;0"}},
      {"a at 1", inc(0, 1), {"1;25"}},
      {"suspended",
       [](pb::Display& d, std::vector<Bar>& bars) {
         d.suspend([&] { pb::incProgress(bars[0], 1); });
       },
       {"0;0", "1;50"}}}},
    {"NothingBeforeTheFirstBar", {}, {}},
    {"TheWorkOfRowsThatAllLeftIsShownAgainAfterASuspension",
     {{"a: 2", addBar(2), {"1;0"}},
      {"a done, leaves the block", inc(0, 2), {"1;100"}},
      {"suspended",
       [](pb::Display& d, std::vector<Bar>&) { d.suspend([] {}); },
       {"0;0", "1;100"}}}},
};

INSTANTIATE_TEST_SUITE_P(Shares, IndicatorBytes, ::testing::ValuesIn(kIndicatorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Indicator, NeverInALogNorWhenOff) {
  testclock::setCoarse(0ns, 4ms);
  testsupport::RecordingBuf buf;
  std::ostream out(&buf);
  for (auto make : std::vector<std::function<pb::Display()>>{
           [&] { return pb::Display(out, pb::AsLog{}, {.terminalProgress = true}); },
           [&] {
             return pb::Display(out, pb::AsTerminal{60, 20}, {.terminalProgress = false});
           },
           [&] {
             return pb::Display(out, pb::AsTerminal{60, 20});
           }}) {
    const ScopedEnv on("PROGRESSBAR_TERMINAL_PROGRESS", "1");  // names the real terminal only
    pb::Display display = make();
    const Bar a = display.add(plain(), Progress<>{0, 10});
    testclock::advance(200ms);
    pb::incProgress(a, 5);
    pb::abandon(a);
    display.end();
    EXPECT_EQ(indicatorsIn(buf.take()), Strings{});
  }
}

TEST(Indicator, AFailedFrameSendsItAgain) {
  testclock::setCoarse(0ns, 4ms);
  struct FailOnce : testsupport::RecordingBuf {
    bool fail = false;
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      if (std::exchange(fail, false)) return 0;
      return RecordingBuf::xsputn(s, n);
    }
  } buf;
  std::ostream out(&buf);
  out.exceptions(std::ios::badbit);
  pb::Display display(out, pb::AsTerminal{60, 20}, {.colour = false, .terminalProgress = true});
  const Bar a = display.add(plain(), Progress<>{0, 10});
  EXPECT_EQ(indicatorsIn(buf.take()), Strings{"1;0"});
  testclock::advance(200ms);
  buf.fail = true;
  EXPECT_ANY_THROW(pb::incProgress(a, 3));
  out.clear();
  testclock::advance(200ms);
  pb::incProgress(a, 1);
  EXPECT_EQ(indicatorsIn(buf.take()), Strings{"1;10"}) << "the failed update was not kept";
}

TEST(Indicator, ThePercentOfSumsOfAnySizeIsRoundedDown) {
  using pb::detail::UInt128;
  const UInt128 big = UInt128{1} << 126, max = ~UInt128{0} >> 1;
  struct Case {
    UInt128 done, todo;
    int percent;
  };
  for (const Case c :
       {Case{0, 0, 100}, Case{0, 7, 0}, Case{1, 3, 33}, Case{2, 3, 66}, Case{199, 200, 99},
        Case{7, 7, 100}, Case{big, max, 50}, Case{max - 1, max, 99}, Case{max, max, 100},
        Case{big / 3, big, 33}, Case{(UInt128{1} << 120) - 1, UInt128{1} << 120, 99},
        Case{UInt128{1} << 119, (UInt128{1} << 121) - 1, 25}}) {
    EXPECT_EQ(pb::detail::percentOf(c.done, c.todo), c.percent);
  }
}

// Which terminals get it when the caller leaves it to the environment.
struct Environment {
  const char* name;
  std::vector<std::pair<const char*, const char*>> set;
  bool shown;
};

class IndicatorTerminals : public ::testing::TestWithParam<Environment> {};

TEST_P(IndicatorTerminals, OnlyThoseKnownToShowIt) {
  std::vector<std::unique_ptr<ScopedEnv>> env;
  for (const char* name : {"PROGRESSBAR_TERMINAL_PROGRESS", "TMUX", "STY", "WT_SESSION",
                           "ConEmuANSI", "TERM_PROGRAM", "TERM_PROGRAM_VERSION", "VTE_VERSION"}) {
    env.push_back(std::make_unique<ScopedEnv>(name, nullptr));
  }
  for (const auto& [name, value] : GetParam().set) {
    env.push_back(std::make_unique<ScopedEnv>(name, value));
  }
  EXPECT_EQ(pb::detail::terminalProgressWanted(std::nullopt), GetParam().shown);
  EXPECT_TRUE(pb::detail::terminalProgressWanted(true)) << "the caller decides";
  EXPECT_FALSE(pb::detail::terminalProgressWanted(false)) << "the caller decides";
}

const Environment kEnvironments[] = {
    {"Unknown", {}, false},
    {"WindowsTerminal", {{"WT_SESSION", "5c2f"}}, true},
    {"ConEmu", {{"ConEmuANSI", "ON"}}, true},
    {"ConEmuWithoutAnsi", {{"ConEmuANSI", "OFF"}}, false},
    {"Ghostty12", {{"TERM_PROGRAM", "ghostty"}, {"TERM_PROGRAM_VERSION", "1.2.0"}}, true},
    {"Ghostty2", {{"TERM_PROGRAM", "ghostty"}, {"TERM_PROGRAM_VERSION", "2.0.1"}}, true},
    {"Ghostty11", {{"TERM_PROGRAM", "ghostty"}, {"TERM_PROGRAM_VERSION", "1.1.3"}}, false},
    {"GhosttyNoVersion", {{"TERM_PROGRAM", "ghostty"}}, false},
    {"ITerm36", {{"TERM_PROGRAM", "iTerm.app"}, {"TERM_PROGRAM_VERSION", "3.6.2"}}, true},
    {"ITerm4", {{"TERM_PROGRAM", "iTerm.app"}, {"TERM_PROGRAM_VERSION", "4.0"}}, true},
    {"ITerm35", {{"TERM_PROGRAM", "iTerm.app"}, {"TERM_PROGRAM_VERSION", "3.5.14"}}, false},
    {"WezTermLater",
     {{"TERM_PROGRAM", "WezTerm"}, {"TERM_PROGRAM_VERSION", "20250512-081207-0ab1b7e1"}},
     true},
    {"WezTermRelease",
     {{"TERM_PROGRAM", "WezTerm"}, {"TERM_PROGRAM_VERSION", "20240203-110809-5046fc22"}},
     false},
    {"Vte080", {{"VTE_VERSION", "8000"}}, true},
    {"Vte078", {{"VTE_VERSION", "7803"}}, false},
    {"VteMalformed", {{"VTE_VERSION", "x8000"}}, false},
    {"OtherProgram", {{"TERM_PROGRAM", "Apple_Terminal"}, {"TERM_PROGRAM_VERSION", "455"}}, false},
    {"InsideTmux", {{"TMUX", "/tmp/tmux-0/default,1,0"}, {"WT_SESSION", "5c2f"}}, false},
    {"InsideScreen", {{"STY", "12.pts-0"}, {"VTE_VERSION", "8200"}}, false},
    {"ForcedOn", {{"PROGRESSBAR_TERMINAL_PROGRESS", "1"}, {"TMUX", "x"}}, true},
    {"ForcedOff", {{"PROGRESSBAR_TERMINAL_PROGRESS", "0"}, {"WT_SESSION", "5c2f"}}, false},
    {"OtherValueIsNoOverride", {{"PROGRESSBAR_TERMINAL_PROGRESS", "yes"}}, false},
};

INSTANTIATE_TEST_SUITE_P(Environments, IndicatorTerminals, ::testing::ValuesIn(kEnvironments),
                         [](const auto& info) { return std::string(info.param.name); });

// What a program writes with bars hidden: only its lines.
void hiddenRun(pb::Display& display, std::ostream& out) {
  const Bar a = display.add(plain(), Progress<>{0, 10});
  const Bar b = display.add(pb::spinnerStyle(), Progress<>{0, 0}, pb::unknownTotal);
  testclock::advance(200ms);
  pb::incProgress(a, 4);
  display.printAbove("one\ttab");
  display.lines() << "two" << std::endl;
  pb::printAbove(b, "three");
  display.suspend([&] { out << "mine\n"; });
  pb::incProgress(b, 3);
  display.redraw();
  pb::finish(a);
  display.end();
  EXPECT_EQ(pb::progressOf(a).progressDone, 4) << "counting still counts";
  EXPECT_EQ(pb::progressOf(b).progressDone, 3);
}

TEST(Hidden, ByTheOptionOrTheVariableOnlyTheLinesAreWritten) {
  testclock::setCoarse(0ns, 4ms);
  struct Way {
    const char* hide;  // PROGRESSBAR_HIDE
    bool option;
    bool hidden;
  };
  for (const Way way : {Way{nullptr, true, true}, Way{"1", false, true}, Way{"yes", false, true},
                        Way{"0", false, false}, Way{"", false, false}, Way{"0", true, true}}) {
    const ScopedEnv hide("PROGRESSBAR_HIDE", way.hide);
    for (const bool terminal : {true, false}) {
      testsupport::RecordingBuf buf;
      std::ostream out(&buf);
      const pb::DisplayOptions options{.colour = false, .hidden = way.option};
      pb::Display display = terminal ? pb::Display(out, pb::AsTerminal{60, 20}, options)
                                     : pb::Display(out, pb::AsLog{}, options);
      hiddenRun(display, out);
      const std::string lines = "one\ttab\ntwo\nthree\nmine\n";
      if (way.hidden) {
        EXPECT_EQ(buf.bytes, lines) << (way.hide ? way.hide : "option") << terminal;
      } else {
        EXPECT_NE(buf.bytes.find('['), std::string::npos) << "a bar is drawn";
      }
      EXPECT_EQ(display.isTerminal(), terminal);
    }
  }
}

}  // namespace
