// Output from the rest of a program while bars run: workers log through
// spdlog (when it is found) and std::cout, a child process writes under
// capture, and a prompt is answered with the display suspended (when
// standard input is a terminal). Every line lands whole, above the block.
#include <unistd.h>

#include <System/ProgressBar.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#ifdef PROGRESSBAR_HAVE_SPDLOG
#include <spdlog/spdlog.h>

#include <System/ProgressBar/Spdlog.hpp>
#endif

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

int main() {
  pb::Display display(pb::DisplayOptions{.alignColumns = true});
  pb::RedirectStream out(std::cout, display);  // std::cout's lines go above the block
#ifdef PROGRESSBAR_HAVE_SPDLOG
  spdlog::logger log("fetch", std::make_shared<pb::SpdlogSinkMt>(display));
  log.set_pattern("[%l] %v");
  const auto note = [&](const std::string& text) { log.info(text); };
#else
  const auto note = [](const std::string& text) { std::cout << "[info] " << text << '\n'; };
#endif

  const std::vector<std::pair<std::string, std::int64_t>> files = {
      {"model.bin", 300 << 20}, {"tokens.json", 60 << 20}, {"weights.safetensors", 200 << 20}};
  pb::Style<> style{.stylePostfix = pb::bytes() + " " + pb::percentage()};
  std::vector<std::jthread> workers;
  for (std::size_t w = 0; w < files.size(); ++w) {
    style.stylePrefix = files[w].first;
    workers.emplace_back([&, w, bar = display.add(style, files[w].second)] {
      const auto& [name, size] = files[w];
      for (std::int64_t got = 0, quarter = 1; got < size; got += 4 << 20) {
        std::this_thread::sleep_for(4ms);
        pb::incProgress(bar, 4 << 20);
        if (got * 4 >= size * quarter) note(name + ": " + std::to_string(25 * quarter++) + "%");
      }
      std::cout << "worker " << w << ": " << name << " done" << std::endl;
    });
  }
  for (std::jthread& worker : workers) worker.join();

  const auto unpack = display.add(pb::Style<>{.stylePrefix = "unpack"}, 2);
  {
    pb::CaptureOutput capture(display);  // the child's output too
    std::system("echo 'child: unpacking model.bin'; echo 'child: 2 archives'");
    pb::incProgress(unpack, 2);
  }
  if (::isatty(STDIN_FILENO)) {
    std::string answer;
    display.suspend([&] {
      std::cout << "Keep the downloads? [y/n] " << std::flush;
      std::getline(std::cin, answer);
    });
    std::cout << "answer: " << (answer.empty() ? "(none)" : answer) << '\n';
  }
}
