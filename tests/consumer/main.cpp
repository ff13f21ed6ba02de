// A small program that uses the library as an installed consumer does, and
// checks what it draws.
#include <System/ProgressBar.hpp>
#include <iostream>
#include <sstream>

int main() {
  namespace pb = System::ProgressBar;
  std::ostringstream out;
  const pb::Style<> style{.stylePostfix = pb::exact(), .styleWidth = pb::ConstantWidth{20}};
  const auto bar = pb::hNewProgressBar(out, style, 10.0, pb::Progress<>{0, 3});
  pb::incProgress(bar, 3);
  pb::Display display(out, pb::AsLog{});
  pb::finish(display.add(style, pb::Progress<>{1, 2}));
  // The bar, then the display's log: the row's first line, and its last.
  const std::string expected =
      "[..............] 0/3\r[==============] 3/3\n"
      "[===============>..............] 1/2\n[===============>..............] 1/2\n";
  if (out.str() != expected) {
    std::cerr << "unexpected output:\n" << out.str();
    return 1;
  }
  std::cout << "consumer: ok\n";
  return 0;
}
