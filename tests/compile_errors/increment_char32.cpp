// expect: CountInteger
#include <System/ProgressBar.hpp>
void step(const System::ProgressBar::ProgressBar<>& bar) {
  System::ProgressBar::incProgress(bar, U'1');
}
