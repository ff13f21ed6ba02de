// Several threads share one bar: copies of the handle all update one state.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;

int main() {
  pb::Style<> style = pb::defStyle();
  style.stylePrefix = "4 workers";
  style.stylePostfix = pb::exact();
  const auto bar = pb::newProgressBar(style, 20.0, pb::Progress<>{0, 2000});

  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([bar] {  // each thread holds its own copy of the handle
      for (int i = 0; i < 500; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pb::incProgress(bar, 1);  // serialised by the bar's lock; none is lost
      }
    });
  }
  for (auto& w : workers) w.join();
}
