// A label of one's own: the wall-clock time at which the work should end,
// from the elapsed time and the share done ("done at 14:32:05").
#include <System/ProgressBar.hpp>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>

namespace pb = System::ProgressBar;

namespace {

pb::Label<> finishesAt() {
  return pb::Label<>([](const pb::Progress<>& p, const pb::Timing& t) -> std::string {
    if (p.progressDone <= 0 || t.timingLastUpdate <= t.timingStart) return "done at --:--:--";
    const auto elapsed = t.timingLastUpdate - t.timingStart;
    const auto total = elapsed * p.progressTodo / p.progressDone;
    const std::time_t end = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::seconds>(t.timingStart + total));
    std::tm local{};
    localtime_r(&end, &local);
    char text[32];
    std::strftime(text, sizeof text, "done at %H:%M:%S", &local);
    return text;
  });
}

}  // namespace

int main() {
  const pb::Style<> style{.stylePostfix = pb::percentage() + " " + finishesAt()};
  const auto bar = pb::newProgressBar(style, 10.0, pb::Progress<>{0, 100});
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pb::incProgress(bar, 1);
  }
}
