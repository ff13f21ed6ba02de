// expect: CountInteger
#include <System/ProgressBar.hpp>
int main() {
  System::ProgressBar::Display display;
  auto bar = display.add(System::ProgressBar::defStyle(), '7');
}
