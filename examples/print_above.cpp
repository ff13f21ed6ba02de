// Log lines above a live bar: neither tears the other.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <string>
#include <thread>

namespace pb = System::ProgressBar;

int main() {
  const pb::Style<> style{.stylePrefix = "checking", .stylePostfix = pb::exact()};
  const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 30});
  for (int i = 1; i <= 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    if (i % 10 == 0) pb::printAbove(bar, "block " + std::to_string(i) + ": ok");
    pb::incProgress(bar, 1);
  }
}
