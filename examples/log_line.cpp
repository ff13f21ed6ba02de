// renderProgressBar on its own: a bar inside an ordinary log line, with no
// live bar, no lock and no terminal control.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <iostream>

namespace pb = System::ProgressBar;

int main() {
  pb::Style<> style = pb::defStyle();
  style.styleWidth = pb::ConstantWidth{40};
  style.stylePostfix = pb::exact() + " jobs";

  const pb::TimePoint start =
      std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
  for (const std::int64_t done : {0, 3, 7, 10}) {
    const pb::Timing timing{start, start};
    std::cout << "[scheduler] " << pb::renderProgressBar(style, pb::Progress<>{done, 10}, timing)
              << "\n";
  }
}
