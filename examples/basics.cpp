// The basics: a bar on standard error, advanced one step at a time.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <thread>

namespace pb = System::ProgressBar;

void doSomeWork(int) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

int main() {
  pb::Style<> style{.stylePrefix = "Working"};
  style.stylePostfix = pb::exact() + " " + pb::percentage();

  const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 200});
  for (int i = 0; i < 200; ++i) {
    doSomeWork(i);
    pb::incProgress(bar, 1);  // redrawn at most 10 times a second
  }                           // the update that completes the work is always drawn, then "\n"
}
