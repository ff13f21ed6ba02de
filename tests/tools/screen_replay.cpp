// Feeds the bytes on standard input to an emulated terminal of the given
// size and prints what it shows at the end, scrolled-off lines included:
// how the README's screens are made from the examples' own output.
// Usage: screen_replay COLUMNS ROWS < bytes
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "support/screen.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: screen_replay COLUMNS ROWS < bytes\n";
    return 2;
  }
  testsupport::Screen screen(std::atoi(argv[2]), std::atoi(argv[1]));
  const std::string bytes{std::istreambuf_iterator<char>(std::cin),
                          std::istreambuf_iterator<char>()};
  screen.feed(bytes);
  for (const std::string& line : screen.lines()) std::cout << line << "\n";
}
