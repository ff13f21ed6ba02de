// More bars than the terminal has rows: 24 jobs, four at a time. The display
// shows the running ones that fit and a row that counts the rest; when it
// ends, every job's final line is left once, in order. Run it in a terminal
// of fewer than 25 rows.
#include <System/ProgressBar.hpp>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

int main() {
  pb::Display display(pb::DisplayOptions{.alignColumns = true});
  std::vector<pb::ProgressBar<>> jobs;
  for (int i = 1; i <= 24; ++i) {
    pb::Style<> style{.stylePrefix = "job " + std::to_string(i)};
    style.stylePostfix = pb::exact() + " " + pb::percentage();
    jobs.push_back(display.add(style, pb::Progress<>{0, 20 + 5 * (i % 7)}));
  }
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      for (std::size_t j; (j = next.fetch_add(1)) < jobs.size();) {
        const std::int64_t steps = jobs[j].pbStateMv().read().stProgress.progressTodo;
        for (std::int64_t s = 0; s < steps; ++s) {
          std::this_thread::sleep_for(6ms);
          pb::incProgress(jobs[j], 1);
        }
      }
    });
  }
  for (std::thread& w : workers) w.join();
}
