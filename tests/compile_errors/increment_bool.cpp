// expect: CountInteger
#include <System/ProgressBar.hpp>
void step(const System::ProgressBar::ProgressBar<>& bar, bool more) {
  System::ProgressBar::incProgress(bar, more);
}
