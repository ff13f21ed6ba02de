// A loop that drives its bar: one step per element, with no counting of
// one's own.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;

int main() {
  std::vector<std::string> files;
  for (int i = 1; i <= 40; ++i) files.push_back("part-" + std::to_string(i) + ".dat");

  const auto bar = pb::newProgressBar(pb::Style<>{.stylePostfix = pb::exact() + " files"}, 10.0,
                                      pb::Progress<>{0, 40});
  for (const std::string& file : pb::track(bar, files)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));  // process(file)
    (void)file;
  }
}
