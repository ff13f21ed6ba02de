// A label of one's own (throughput), and a custom value carried in the
// progress (the name of the file in work).
#include <System/ProgressBar.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;

int main() {
  // Items per second since the bar started, from the progress and the timing.
  const pb::Label<std::string> rate([](const pb::Progress<std::string>& p, const pb::Timing& t) {
    const double seconds = std::chrono::duration<double>(t.timingLastUpdate - t.timingStart).count();
    if (seconds <= 0) return std::string("-- files/s");
    char text[32];
    std::snprintf(text, sizeof text, "%.1f files/s", static_cast<double>(p.progressDone) / seconds);
    return std::string(text);
  });
  const pb::Label<std::string> file([](const pb::Progress<std::string>& p, const pb::Timing&) {
    return p.progressCustom;
  });

  pb::Style<std::string> style = pb::defStyle<std::string>();
  style.stylePrefix = file;
  style.stylePostfix = pb::percentage<std::string>() + " " + rate;
  style.styleWidth = pb::ConstantWidth{64};

  const std::vector<std::string> files = {"alpha.txt", "beta.txt", "gamma.txt", "delta.txt"};
  const auto bar = pb::newProgressBar(style, 10.0,
                                      pb::Progress<std::string>{0, 4, "starting"});
  for (const std::string& name : files) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pb::updateProgress(bar, [&](const pb::Progress<std::string>& p) {
      return pb::Progress<std::string>{p.progressDone + 1, p.progressTodo, name};
    });
  }
}
