// How fast the work goes: the average since the start and the recent speed,
// with a time left that follows the recent speed, padded to steady widths.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <thread>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

int main() {
  pb::Style<> style{.styleWidth = pb::ConstantWidth{72}};
  style.stylePrefix = pb::padLeft(5, pb::recentRemainingTime(pb::humanDuration, "?", 500ms));
  style.stylePostfix = pb::exact() + " " + pb::padRight(12, pb::throughput("rows/s", "--")) +
                       " now " + pb::padRight(12, pb::recentRate("rows/s", "--", 500ms));
  const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 3000});
  for (int row = 0; row < 3000; ++row) {
    std::this_thread::sleep_for(row < 1500 ? 300us : 900us);  // slower in the second half
    pb::incProgress(bar, 1);
  }
}
