// expect: a label joins only with a label of the same custom type or with text
#include <System/ProgressBar.hpp>
int main() { auto label = System::ProgressBar::percentage() + 5; }
