// expect: stimes: the count must be an integer, not bool or a character type
#include <System/ProgressBar.hpp>
int main() { auto label = System::ProgressBar::stimes('3', System::ProgressBar::Label<>("x")); }
