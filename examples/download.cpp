// Recipe: a downloader. Four workers fetch six files, one row each, with
// bytes and the recent rate; a line above the block for each file done.
#include <System/ProgressBar.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

struct File {
  std::string name;
  std::int64_t size;
};

// Stands for reading up to 1 MiB from the network.
std::int64_t receive(std::int64_t left) {
  std::this_thread::sleep_for(3ms);
  return std::min<std::int64_t>(left, 1 << 20);
}

int main() {
  const std::vector<File> files = {{"kernel.tar.xz", 140 << 20}, {"model.bin", 300 << 20},
                                   {"notes.pdf", 12 << 20},      {"data.csv", 80 << 20},
                                   {"photos.zip", 200 << 20},    {"readme.md", 1 << 20}};
  pb::Display display(pb::DisplayOptions{.alignColumns = true});
  pb::Style<> style{.stylePostfix = pb::bytes() + " " + pb::recentByteRate()};
  std::vector<pb::ProgressBar<>> bars;
  for (const File& file : files) {
    style.stylePrefix = file.name;
    bars.push_back(display.add(style, file.size));
  }

  std::atomic<std::size_t> next{0};
  std::vector<std::jthread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next++) < files.size();) {
        for (std::int64_t left = files[i].size; left > 0;) {
          const std::int64_t got = receive(left);
          left -= got;
          pb::incProgress(bars[i], got);
        }
        display.printAbove(files[i].name + ": done");
      }
    });
  }
}
