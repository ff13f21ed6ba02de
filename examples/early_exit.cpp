// A loop left early still ends its bar with its true last line.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;

int main() {
  const std::vector<int> items = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const pb::Style<> style{.stylePostfix = pb::exact()};
  const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 10});
  const auto finished = pb::finishOnExit(bar);  // however the loop ends
  for (const int item : pb::track(bar, items)) {
    if (item == 6) break;  // found what we were looking for
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
