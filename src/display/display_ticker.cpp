// A display's ticker: it ticks the whole display, and watches its live bars.
#include <chrono>
#include <memory>
#include <vector>

#include "System/ProgressBar/Tick.hpp"
#include "display/display_core.hpp"
#include "tick/ticked.hpp"

namespace System::ProgressBar::detail {
namespace {

class TickedDisplay final : public Ticked {
 public:
  explicit TickedDisplay(DisplayCore& core) noexcept : core_(Ref<DisplayCore>::share(&core)) {}
  void tick() override { core_->tick(); }
  std::vector<Ref<BarEngine>> bars() override { return core_->liveBars(); }

 private:
  const Ref<DisplayCore> core_;
};

}  // namespace

Own<TickerThread> TickerAccess::start(Display& display, std::chrono::nanoseconds interval) {
  return startTicker(std::make_unique<TickedDisplay>(DisplayAccess::core(display)), interval);
}

}  // namespace System::ProgressBar::detail
