// Uses nothing but the public header, as a program linking the library does.
#include <System/ProgressBar.hpp>

#include <cstdlib>
#include <sstream>
#include <string>

namespace pb = System::ProgressBar;

int main() {
  pb::Style<> style = pb::defStyle();
  style.styleWidth = pb::ConstantWidth{20};
  style.stylePrefix = pb::elapsedTime(pb::renderDuration);
  if (pb::renderProgressBar(pb::defStyle() , pb::Progress<>{3, 10}, pb::Timing{}).empty()) {
    return EXIT_FAILURE;
  }
  std::ostringstream out;
  const auto bar = pb::hNewProgressBar(out, style, 10.0, pb::Progress<>{0, 10});
  pb::incProgress(bar, 10);
  const std::string expected = "00 [==========] 100%\n";
  const std::string text = out.str();
  return text.size() >= expected.size() &&
                 text.compare(text.size() - expected.size(), expected.size(), expected) == 0
             ? EXIT_SUCCESS
             : EXIT_FAILURE;
}
