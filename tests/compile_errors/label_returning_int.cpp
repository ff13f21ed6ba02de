// expect: a label's callable must return text
#include <System/ProgressBar.hpp>
int main() {
  System::ProgressBar::Style<> style;
  style.stylePrefix = [](const System::ProgressBar::Progress<>& p,
                         const System::ProgressBar::Timing&) { return p.progressDone; };
}
