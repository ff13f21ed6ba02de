// A small program that uses the library as an installed consumer does, and
// checks what it draws and the version its headers say.
#include <System/ProgressBar.hpp>
#ifndef PROGRESSBAR_VERSION
#error "<System/ProgressBar.hpp> does not define the version macros"
#endif
#include <System/ProgressBar/Version.hpp>
#include <iostream>
#include <sstream>
#include <string>

#ifndef EXPECTED_VERSION
#error "build the consumer with EXPECTED_VERSION, the package's version as a string"
#endif

int main() {
  namespace pb = System::ProgressBar;
  // The headers' version is the package's, and its parts make its string.
  const std::string parts = std::to_string(PROGRESSBAR_VERSION_MAJOR) + "." +
                            std::to_string(PROGRESSBAR_VERSION_MINOR) + "." +
                            std::to_string(PROGRESSBAR_VERSION_PATCH);
  if (parts != PROGRESSBAR_VERSION || std::string(PROGRESSBAR_VERSION) != EXPECTED_VERSION) {
    std::cerr << "the headers say " << PROGRESSBAR_VERSION << " (" << parts << "), the package "
              << EXPECTED_VERSION << "\n";
    return 1;
  }
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
  std::cout << "consumer: ok, version " << PROGRESSBAR_VERSION << "\n";
  return 0;
}
