// expect: Duration: the count of the chrono duration must be an integer or floating type
#include <System/ProgressBar.hpp>
#include <chrono>
struct Ticks {
  int n;
};
int main() { System::ProgressBar::Duration d(std::chrono::duration<Ticks>(Ticks{1})); }
