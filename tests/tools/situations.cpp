// A program that writes its results every way a program does (std::cout,
// printf, puts, write(2), a child process) while a display runs with its
// standard output redirected and its descriptors captured; with
// PLAIN=1 it writes the same without the library, for comparison.
#include <unistd.h>

#include <System/ProgressBar.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

namespace pb = System::ProgressBar;

int main() {
  const bool plain = std::getenv("PLAIN") != nullptr;
  const int steps = 40;
  std::optional<pb::Display> display;
  std::optional<pb::RedirectStream> redirect;
  std::optional<pb::CaptureOutput> capture;
  std::optional<pb::ProgressBar<>> bar;
  std::printf("a header, still in stdio's buffer when the capture begins\n");
  if (!plain) {
    display.emplace();
    bar.emplace(
        display->add(pb::Style<>{.stylePrefix = "steps", .stylePostfix = pb::exact()}, steps));
    redirect.emplace(std::cout, *display);
    capture.emplace(*display);
  }
  for (int i = 1; i <= steps; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (i % 10 == 0) {
      std::cout << "result " << i << ": cout\n";
      std::printf("result %d: printf", i);
      std::printf(" (two calls)\n");
      std::puts("result: puts");
      const std::string raw = "result " + std::to_string(i) + ": write\n";
      const bool written = ::write(STDOUT_FILENO, raw.data(), raw.size()) >= 0;
      std::cout << std::flush;
      std::fflush(stdout);
      const int child = std::system(("echo 'result " + std::to_string(i) + ": child'").c_str());
      if (!written || child != 0) std::cerr << "step " << i << ": a write failed\n";
    }
    if (bar) pb::incProgress(*bar, 1);
  }
  std::cout << "no line feed at the end";
  return 0;
}
