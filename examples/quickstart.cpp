// The quick start: one bar on a display. On a terminal it is redrawn in
// place; with standard error a file or a pipe, it is a few plain lines.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <thread>

namespace pb = System::ProgressBar;

void doSomeWork(int) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

int main() {
  pb::Display display;  // on standard error
  const auto bar = display.add(
      pb::Style<>{.stylePrefix = "Working", .stylePostfix = pb::exact() + " " + pb::percentage()},
      200);
  for (int i = 0; i < 200; ++i) {
    doSomeWork(i);
    pb::incProgress(bar, 1);  // from any thread; drawn at most 10 times a second
  }
}
