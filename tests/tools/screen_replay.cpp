// Feeds the bytes on standard input to an emulated terminal of the given
// size and prints what it shows at the end, scrolled-off lines included:
// how the README's screens are made from the examples' own output.
// Usage: screen_replay COLUMNS ROWS [--visible] < bytes
// (--visible: the screen alone, without what scrolled off it)
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "support/screen.hpp"

int main(int argc, char** argv) {
  const bool visible = argc == 4 && std::string(argv[3]) == "--visible";
  if (argc != 3 && !visible) {
    std::cerr << "usage: screen_replay COLUMNS ROWS [--visible] < bytes\n";
    return 2;
  }
  testsupport::Screen screen(std::atoi(argv[2]), std::atoi(argv[1]));
  const std::string bytes{std::istreambuf_iterator<char>(std::cin),
                          std::istreambuf_iterator<char>()};
  screen.feed(bytes);
  std::vector<std::string> lines = visible ? screen.visible() : screen.lines();
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  for (const std::string& line : lines) std::cout << line << "\n";
}
