// Styles from templates: each renders exactly as the same style built by
// hand, and each malformed template is refused with where it went wrong.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "System/ProgressBar.hpp"

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

const pb::TimePoint kStart{std::chrono::seconds(1'000'000)};

// The lines of `style` at several points of a run, with a message.
std::vector<std::string> linesOf(const pb::Style<>& style) {
  const std::string message = "part 3";
  std::vector<std::string> lines;
  for (const auto& [done, todo, seconds] :
       {std::tuple{0, 100, 0}, std::tuple{37, 100, 65}, std::tuple{1 << 20, 3 << 20, 3},
        std::tuple{9, 9, 4000}}) {
    const pb::Timing timing{kStart, kStart + std::chrono::seconds(seconds), nullptr, &message};
    lines.push_back(pb::renderProgressBar(style, pb::Progress<>{done, todo}, timing));
  }
  return lines;
}

pb::Style<> with(pb::Label<> prefix, pb::Label<> postfix,
                 pb::ProgressBarWidth width = pb::TerminalWidth{50}) {
  pb::Style<> style;
  style.stylePrefix = std::move(prefix);
  style.stylePostfix = std::move(postfix);
  style.styleWidth = width;
  return style;
}

pb::Style<> noBar(pb::Label<> labels) {
  pb::Style<> style = with(std::move(labels), pb::emptyLabel());
  style.styleOpen = "";
  style.styleClose = "";
  style.styleWidth = pb::ConstantWidth{0};
  return style;
}

struct Case {
  const char* text;
  pb::Style<> byHand;
};

TEST(Template, RendersAsTheSameStyleBuiltByHand) {
  using pb::PadUnit;
  const pb::Label<> pct = pb::percentage();
  const Case cases[] = {
      {"{bar}", with(pb::emptyLabel(), pb::emptyLabel())},
      {"{prefix} {bar} {percent}", with(pb::fromString("job"), pct)},
      {"{prefix}  {bar:60}  {counts} files",
       with(pb::fromString("job") + " ", " " + pb::exact() + " files", pb::ConstantWidth{60})},
      {"[{pos}] {bar:40}", with("[" + pb::count() + "]", pb::emptyLabel(), pb::ConstantWidth{40})},
      {"{bar} {percent_floor:>5}|{percent:<5}|{percent:6}",
       with(pb::emptyLabel(), pb::padLeft(5, pb::percentageFloor(), PadUnit::Columns) + "|" +
                                  pb::padRight(5, pct, PadUnit::Columns) + "|" +
                                  pb::padLeft(6, pct, PadUnit::Columns))},
      {"{prefix:10}{msg:>8} {bar}", with(pb::padRight(10, pb::fromString("job"), PadUnit::Columns) +
                                             pb::padLeft(8, pb::message(), PadUnit::Columns),
                                         pb::emptyLabel())},
      {"{bar} {bytes} {bytes_done} {byte_rate} {recent_byte_rate}",
       with(pb::emptyLabel(), pb::bytes() + " " + pb::bytesDone() + " " + pb::byteRate() + " " +
                                  pb::recentByteRate())},
      {"{bar} {rate} {recent_rate}", with(pb::emptyLabel(), pb::throughput("rows/s", "--") + " " +
                                                                pb::recentRate("rows/s", "--"))},
      {"{elapsed} {elapsed_human} {bar} {eta} {eta_human} {recent_eta} {recent_eta_human} "
       "{total_time}",
       with(pb::elapsedTime(pb::renderDuration) + " " + pb::elapsedTime(pb::humanDuration),
            pb::remainingTime(pb::renderDuration, "--") + " " +
                pb::remainingTime(pb::humanDuration, "--") + " " +
                pb::recentRemainingTime(pb::renderDuration, "--") + " " +
                pb::recentRemainingTime(pb::humanDuration, "--") + " " +
                pb::totalTime(pb::renderDuration, "--"))},
      {"{spinner} {spinner_ascii} {pos}",
       noBar(pb::spinner(pb::SpinnerFrames::Braille) + " " + pb::spinner(pb::SpinnerFrames::Ascii) +
             " " + pb::count())},
      {"{{literal}} {bar} }}{{", with(pb::fromString("{literal}"), pb::fromString("}{"))},
      {"}}{bar}", with(pb::fromString("}"), pb::emptyLabel())},
      {"{bar} }}", with(pb::emptyLabel(), pb::fromString("}"))},
      {"écrit {bar} ✓", with(pb::fromString("écrit"), pb::fromString("✓"))},
  };
  for (const Case& c : cases) {
    const pb::Style<> parsed = pb::styleFromTemplate(c.text, {.prefix = "job", .unit = "rows"});
    EXPECT_EQ(linesOf(parsed), linesOf(c.byHand)) << c.text;
  }
  // Rates of bytes.
  EXPECT_EQ(linesOf(pb::styleFromTemplate("{bar} {rate} {recent_rate}", {.bytes = true})),
            linesOf(with(pb::emptyLabel(), pb::byteRate() + " " + pb::recentByteRate())));
}

TEST(Template, MalformedTemplatesAreRefusedWithWhereAndWhat) {
  const std::pair<const char*, const char*> cases[] = {
      {"{bar} {nope}", "unknown key \"nope\" at 6"},
      {"{}", "unknown key \"\" at 0"},
      {"ab {percent", "\"{\" is never closed (write \"{{\" for a brace) at 3"},
      {"{percent {bar}", "\"{\" is never closed (write \"{{\" for a brace) at 0"},
      {"done} {bar}", "\"}\" closes no key (write \"}}\" for a brace) at 4"},
      {"{bar} {bar}", "a second \"{bar}\" at 6"},
      {"{bar} {", "\"{\" is never closed (write \"{{\" for a brace) at 6"},
      {"{bar:wide}", "bad width \"wide\" for key \"bar\" at 0"},
      {"{bar:>20}", "the bar takes a width, not an alignment, in \"{bar}\" at 0"},
      {"{eta:>}", "bad width \"\" for key \"eta\" at 0"},
      {"{eta:0}", "bad width \"0\" for key \"eta\" at 0"},
      {"{eta:5x}", "bad width \"5x\" for key \"eta\" at 0"},
      {"{eta:99999999999999999999}", "bad width \"99999999999999999999\" for key \"eta\" at 0"},
      // Widths past any terminal, which no draw could allocate; the bound holds.
      {"{bar:10001}", "width 10001 for key \"bar\" is past 10000 columns at 0"},
      {"ab {bar:99999999999}", "width 99999999999 for key \"bar\" is past 10000 columns at 3"},
      {"{prefix:<10001}", "width 10001 for key \"prefix\" is past 10000 columns at 0"},
      {"{bar} {eta:>99999999}", "width 99999999 for key \"eta\" is past 10000 columns at 6"},
      {"{eta:5000}{eta:5000}{eta:1}", "widths adding up to 10001 columns, past 10000, at 20"},
      {"{prefix:10000} {bar} {msg:1}", "widths adding up to 10001 columns, past 10000, at 21"},
      // A message goes to terminals: what the template holds is shown escaped.
      {"{\x1b]0;owned\x07}", "unknown key \"\\e]0;owned\\x07\" at 0"},
      {"{a\nb\tc\r}", "unknown key \"a\\nb\\tc\\r\" at 0"},
      {"{\xc2\x9b"
       "2J\x7f}",
       "unknown key \"\\xC2\\x9B2J\\x7F\" at 0"},
      {"{\xff\xc3}", "unknown key \"\\xFF\\xC3\" at 0"},
      {"{a b~}", "unknown key \"a b~\" at 0"},
      {"{caf\xc3\xa9}", "unknown key \"caf\xc3\xa9\" at 0"},
      {"{eta:\x1b[2J}", "bad width \"\\e[2J\" for key \"eta\" at 0"},
      {"{bar:>\x1b}", "the bar takes a width, not an alignment, in \"{bar}\" at 0"},
  };
  for (const auto& [text, what] : cases) {
    try {
      (void)pb::styleFromTemplate(text);
      ADD_FAILURE() << text << ": accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), std::string("styleFromTemplate: ") + what) << text;
    }
  }
}

TEST(Template, WidthsUpToTheBoundAreDrawn) {
  // A line without a bar keeps the space the empty bar leaves after its labels.
  for (const auto& [text, size] : {std::pair{"{bar:10000}", 10000u},
                                   {"{prefix:10000}", 10001u},
                                   {"{eta:>10000}", 10001u},
                                   {"{eta:5000}{pos:5000}", 10001u}}) {
    const pb::Style<> style = pb::styleFromTemplate(text, {.prefix = "x"});
    for (const std::string& line : linesOf(style)) EXPECT_EQ(line.size(), size) << text;
  }
}

}  // namespace
