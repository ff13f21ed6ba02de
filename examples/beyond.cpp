// Log lines above a live bar, a loop that drives its bar, throughput, and
// labels padded to a steady width.
#include <System/ProgressBar.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;

int main() {
  std::vector<std::string> files;
  for (int i = 1; i <= 60; ++i) files.push_back("part-" + std::to_string(i) + ".dat");

  pb::Style<> style = pb::defStyle();
  style.styleWidth = pb::ConstantWidth{72};
  style.stylePrefix = pb::padLeft(5, pb::remainingTime(pb::renderDuration, "?"));
  style.stylePostfix = pb::exact() + " " + pb::padRight(12, pb::throughput("files/s", "--"));
  const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 60});

  for (const std::string& file : pb::track(bar, files)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // the real work
    if (file.ends_with("0.dat")) pb::printAbove(bar, "checkpoint after " + file);
  }
}
