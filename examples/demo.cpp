// A short tour of the library: the default bar, a styled bar with time
// labels, several threads sharing one bar, several bars on one display, and a
// bar that clears itself.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <thread>
#include <utility>
#include <vector>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

void step(std::chrono::microseconds pause) { std::this_thread::sleep_for(pause); }

void defaultBar() {
  std::cerr << "The default style:\n";
  const auto bar = pb::newProgressBar(pb::defStyle(), 10.0, pb::Progress<>{0, 100});
  for (int i = 0; i < 100; ++i) {
    step(12ms);
    pb::incProgress(bar, 1);
  }
}

void styledBar() {
  std::cerr << "Unicode, colour, a prefix, counts and time:\n";
  pb::Style<> style = pb::defStyle();
  style.styleOpen = "▕";
  style.styleClose = "▏";
  style.styleDone = U'█';
  style.styleCurrent = U'▓';
  style.styleTodo = U'░';
  style.stylePrefix = "Copying " + pb::elapsedTime(pb::humanDuration);
  style.stylePostfix = pb::exact() + " " + pb::remainingTime(pb::humanDuration, "--") + " left";
  style.styleEscapeDone = [](const pb::Progress<>&) { return "\x1b[32m"; };
  style.styleEscapeTodo = [](const pb::Progress<>&) { return "\x1b[90m"; };
  style.styleEscapeClose = [](const pb::Progress<>&) { return "\x1b[0m"; };
  const auto bar = pb::newProgressBar(style, 20.0, pb::Progress<>{0, 240});
  for (int i = 0; i < 240; ++i) {
    step(7ms);
    pb::incProgress(bar, 1);
  }
}

void sharedBar() {
  std::cerr << "Four threads, one bar:\n";
  pb::Style<> style = pb::defStyle();
  style.stylePrefix = "Hashing";
  style.stylePostfix = pb::percentage() + " of " + pb::msg("4000");
  const auto bar = pb::newProgressBar(style, 15.0, pb::Progress<>{0, 4000});
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([bar] {
      for (int i = 0; i < 1000; ++i) {
        step(1200us);
        pb::incProgress(bar, 1);
      }
    });
  }
  for (auto& w : workers) w.join();
}

void displayScene() {
  std::cerr << "Three tasks, one display:\n";
  pb::Display display(pb::DisplayOptions{.alignColumns = true});
  std::vector<std::thread> tasks;
  for (const auto& [name, steps] : {std::pair{"fetch", 60}, {"build", 90}, {"test", 120}}) {
    pb::Style<> style{.stylePrefix = name};
    style.stylePostfix = pb::exact() + " " + pb::percentage();
    tasks.emplace_back([bar = display.add(style, pb::Progress<>{0, steps}), steps = steps] {
      for (int i = 0; i < steps; ++i) {
        step(12ms);
        pb::incProgress(bar, 1);
      }
    });
  }
  for (auto& t : tasks) t.join();
}

void clearingBar() {
  std::cerr << "A bar that clears itself when done:\n";
  pb::Style<> style = pb::defStyle();
  style.stylePrefix = "Cleaning up";
  style.styleOnComplete = pb::Clear;
  const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 50});
  for (int i = 0; i < 50; ++i) {
    step(16ms);
    pb::incProgress(bar, 1);
  }
  std::cerr << "(the bar above cleared itself) All done.\n";
}

}  // namespace

int main() {
  defaultBar();
  styledBar();
  sharedBar();
  displayScene();
  clearingBar();
}
