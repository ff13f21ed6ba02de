// A ten-line program that uses the library the way an installed consumer does.
#include <System/ProgressBar.hpp>

#include <iostream>

int main() {
  namespace pb = System::ProgressBar;
  pb::Style<> style = pb::defStyle();
  style.styleWidth = pb::ConstantWidth{30};
  const auto bar = pb::hNewProgressBar(std::cout, style, 10.0, pb::Progress<>{0, 3});
  pb::incProgress(bar, 3);
}
