// Counting the lines of an input whose length is not known: a spinner, the
// count, the rate and the elapsed time, then the bar is finished.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <string>
#include <thread>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

// Stands for a pipe or a socket: lines arrive in bursts, and nobody knows
// how many there will be.
class LineSource {
 public:
  bool next(std::string& line) {
    if (produced_ == 24'000) return false;
    if (produced_ % 60 == 0) std::this_thread::sleep_for(5ms);
    line = "line " + std::to_string(++produced_);
    return true;
  }

 private:
  int produced_ = 0;
};

}  // namespace

int main() {
  const auto bar =
      pb::newProgressBar(pb::spinnerStyle("lines"), 10.0, pb::Progress<>{0, 0}, pb::unknownTotal);
  const pb::Ticker tick(bar, 100ms);  // the spinner turns even while no line comes
  LineSource input;
  std::string line;
  while (input.next(line)) pb::incProgress(bar, 1);
  pb::finish(bar);
}
