// Three downloads on three threads, one display: a child step appears under
// the first once it is done, and a log line above the block when the second
// is. Run it in a terminal, then with standard error redirected to a file.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

pb::Style<> rowStyle(const std::string& name) {
  pb::Style<> style{.styleOpen = "▕",
                    .styleClose = "▏",
                    .styleDone = U'█',
                    .styleCurrent = U'▌',
                    .styleTodo = U' '};
  style.stylePrefix = name;  // the display pads the labels to line the bars up
  style.stylePostfix = pb::bytes() + " " + pb::percentage();
  style.styleEscapeDone = [](const pb::Progress<>&) { return "\x1b[32m"; };
  style.styleEscapeClose = [](const pb::Progress<>&) { return "\x1b[0m"; };
  return style;
}

// Fetches `size` bytes a MiB at a time, one MiB per `pause`.
void download(const pb::ProgressBar<>& bar, std::int64_t size, std::chrono::microseconds pause) {
  for (std::int64_t got = 0; got < size; got += kMiB) {
    std::this_thread::sleep_for(pause);
    pb::incProgress(bar, kMiB);
  }
}

}  // namespace

int main() {
  // Standard error: a terminal, or a plain log.
  pb::Display display(pb::DisplayOptions{.alignColumns = true});
  const auto alpha = display.add(rowStyle("alpha.iso"), pb::Progress<>{0, 600 * kMiB});
  const auto beta = display.add(rowStyle("beta.tar"), pb::Progress<>{0, 150 * kMiB});
  const auto data = display.add(rowStyle("数据.bin"), pb::Progress<>{0, 300 * kMiB});

  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    download(alpha, 600 * kMiB, 4900us);
    pb::Style<> step = rowStyle("  unpack");
    step.stylePostfix = pb::exact() + " files";
    const auto unpack = display.addBelow(alpha, step, pb::Progress<>{0, 40});
    for (int file = 0; file < 40; ++file) {
      std::this_thread::sleep_for(10ms);
      pb::incProgress(unpack, 1);
    }
  });
  threads.emplace_back([&] {
    download(beta, 150 * kMiB, 10ms);
    pb::printAbove(beta, "beta.tar: checksum ok");
  });
  threads.emplace_back([&] { download(data, 300 * kMiB, 12ms); });
  for (std::thread& t : threads) t.join();
}
