// A simulated 2 GiB copy in 64 KiB chunks whose speed drops sharply halfway:
// sizes, the recent byte rate and the time left at that rate follow it.
#include <System/ProgressBar.hpp>
#include <chrono>
#include <cstdint>
#include <thread>

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

int main() {
  constexpr std::int64_t kChunk = 64 * 1024;
  constexpr std::int64_t kTotal = std::int64_t{2} << 30;
  pb::Style<> style{.stylePrefix = "copy", .styleWidth = pb::TerminalWidth{80}};
  style.stylePostfix = pb::bytes() + "  " + pb::recentByteRate(pb::ByteUnits::Iec, "--", 400ms) +
                       "  " + pb::recentRemainingTime(pb::humanDuration, "?", 400ms) + " left";
  // In a terminal the bar is redrawn in place; in a log, a line every 0.5 s.
  pb::Display display(pb::DisplayOptions{.logInterval = 500ms, .alignColumns = true});
  const auto bar = display.add(style, pb::Progress<>{0, kTotal});
  for (std::int64_t copied = 0; copied < kTotal; copied += kChunk) {
    if (copied % (64 * kChunk) == 0) {  // every 4 MiB, as a disk would pause
      std::this_thread::sleep_for(copied < kTotal / 2 ? 2800us : 8500us);
    }
    pb::incProgress(bar, kChunk);
  }
}
