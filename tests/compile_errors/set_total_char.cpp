// expect: CountInteger
#include <System/ProgressBar.hpp>
void grow(const System::ProgressBar::ProgressBar<>& bar) {
  System::ProgressBar::setTotal(bar, 'x');
}
