// A gallery of styles, each drawn complete or part-way on its own line.
#include <System/ProgressBar.hpp>

#include <chrono>
#include <iostream>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

// Draws one bar at `done` of 100, as if `elapsed` had passed since it started.
void show(const pb::Style<>& style, std::int64_t done, std::chrono::seconds elapsed) {
  const pb::TimePoint start{};
  std::cout << pb::renderProgressBar(style, pb::Progress<>{done, 100},
                                     pb::Timing{start, start + elapsed})
            << "\n";
}

}  // namespace

int main() {
  pb::Style<> plain = pb::defStyle();
  plain.styleWidth = pb::ConstantWidth{60};
  show(plain, 37, 10s);

  pb::Style<> blocks = plain;  // Unicode characters; widths count code points
  blocks.styleOpen = "│";
  blocks.styleClose = "│";
  blocks.styleDone = U'█';
  blocks.styleCurrent = U'▌';
  blocks.styleTodo = U' ';
  show(blocks, 37, 10s);

  pb::Style<> timed = plain;  // labels combine with +
  timed.stylePrefix = pb::elapsedTime(pb::renderDuration) + " elapsed";
  timed.stylePostfix = pb::exact() + ", " + pb::remainingTime(pb::renderDuration, "?") + " left";
  show(timed, 37, 100s);

  pb::Style<> eta = plain;
  eta.styleOpen = "";
  eta.styleClose = "";
  eta.styleDone = U'#';
  eta.styleCurrent = U'#';
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
  show(coloured, 80, 10s);

  // A live bar that erases itself once complete, leaving the next line clean.
  pb::Style<> vanishing = plain;
  vanishing.stylePrefix = "Cleaning up";
  vanishing.styleOnComplete = pb::Clear;
  const auto bar = pb::hNewProgressBar(std::cout, vanishing, 10.0, pb::Progress<>{0, 3});
  for (int i = 0; i < 3; ++i) pb::incProgress(bar, 1);
  std::cout << "(the Clear bar erased itself)\n";
}
