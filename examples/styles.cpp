// A gallery of styles, each rendered at 37 of 100 on its own line.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <iostream>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

// One line at `done` of 100, as if `elapsed` had passed since the start.
void show(const pb::Style<>& style, std::int64_t done, std::chrono::seconds elapsed) {
  const pb::TimePoint start{};
  std::cout << pb::renderProgressBar(style, pb::Progress<>{done, 100},
                                     pb::Timing{start, start + elapsed})
            << "\n";
}

}  // namespace

int main() {
  const pb::Style<> plain{.styleWidth = pb::ConstantWidth{60}};
  show(plain, 37, 10s);

  pb::Style<> blocks = plain;  // Unicode characters; widths count code points
  blocks.styleOpen = "│";
  blocks.styleClose = "│";
  blocks.styleDone = U'█';
  blocks.styleCurrent = U'▌';
  blocks.styleTodo = U' ';
  show(blocks, 37, 10s);

  pb::Style<> timed = plain;  // labels combine with +
  timed.stylePrefix = pb::elapsedTime(pb::humanDuration) + " elapsed";
  timed.stylePostfix = pb::exact() + ", " + pb::remainingTime(pb::humanDuration, "?") + " left";
  show(timed, 37, 100s);

  pb::Style<> eta = plain;  // a bar with no brackets, the estimate after it
  eta.styleOpen = eta.styleClose = "";
  eta.styleDone = eta.styleCurrent = U'#';
  eta.styleTodo = U'-';
  eta.stylePrefix = pb::percentage();
  eta.stylePostfix = "ETA " + pb::totalTime(pb::renderDuration, "unknown");
  show(eta, 37, 100s);

  pb::Style<> coloured = blocks;  // escapes are written, never counted
  coloured.styleEscapeDone = [](const pb::Progress<>& p) {
    return p.progressDone < 50 ? "\x1b[33m" : "\x1b[32m";
  };
  coloured.styleEscapeTodo = [](const pb::Progress<>&) { return "\x1b[0m"; };
  show(coloured, 37, 10s);
}
