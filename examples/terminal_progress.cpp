// The terminal's own progress indicator (OSC 9;4), which a terminal that
// knows it shows in its tab or taskbar: this program draws a display on a
// stated terminal into a string and prints the sequences it sent, made
// visible.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace pb = System::ProgressBar;

int main() {
  std::ostringstream terminal;
  {
    pb::Display display(terminal, pb::AsTerminal{60}, pb::DisplayOptions{.terminalProgress = true});
    const auto a = display.add(pb::Style<>{.stylePrefix = "a"}, 100);
    const auto b = display.add(pb::Style<>{.stylePrefix = "b"}, 300);
    for (const int step : {100, 60, 40}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));  // each frame due
      pb::incProgress(b, step);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pb::incProgress(a, 30);
    pb::abandon(a);
  }
  // Each sequence as it was sent, with ESC written as \e.
  const std::string bytes = terminal.str();
  for (std::size_t at = bytes.find("\x1b]9;4;"); at != std::string::npos;
       at = bytes.find("\x1b]9;4;", at + 1)) {
    const std::size_t end = bytes.find("\x1b\\", at);
    std::cout << "\\e" << bytes.substr(at + 1, end - at - 1) << "\\e\\\n";
  }
}
