// The thread of a steady tick, and a bar's ticker.
#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "System/ProgressBar/Tick.hpp"
#include "bar/clock.hpp"
#include "bar/engine.hpp"
#include "base/cancel.hpp"
#include "tick/ticked.hpp"

namespace System::ProgressBar::detail {

// The thread of a ticker. Between its ticks it watches the bars it ticks:
// it gives each its word that no draw is due until a time it looks again
// by, so that their updates read no clock meanwhile (see CellKeeper::watch).
class TickerThread final : public Watcher {
 public:
  TickerThread(std::unique_ptr<Ticked> ticked, std::chrono::nanoseconds interval)
      : ticked_(std::move(ticked)), interval_(interval), thread_([this] { run(); }) {}
  TickerThread(const TickerThread&) = delete;
  TickerThread& operator=(const TickerThread&) = delete;
  // Joins the thread, however long its last tick takes: a cancellation of
  // the calling thread meanwhile waits until it is done. What it ticks goes
  // after, with the members.
  ~TickerThread() {
    const DeferCancellation deferred;
    stop();
  }

  // A cancellation of the calling thread goes on once the thread is joined,
  // from here: a join cut short would leave a thread that only the system
  // could join again. (Under a DeferCancellation it waits on.)
  void stop() {
    {
      const DeferCancellation deferred;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
      }
      wake_.notify_all();
      if (thread_.joinable()) thread_.join();
      forget(watched_);  // the thread is gone: its word goes with it
    }
    ::pthread_testcancel();
  }
  std::exception_ptr failure() const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }
  std::exception_ptr takeFailure() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(failure_, nullptr);
  }
  // From a bar's lock holder: the thread looks as soon as it can (its look
  // answers for every bar it watches, so the time matters not).
  void lookBy(TimePoint) noexcept override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      asked_ = true;
    }
    wake_.notify_all();
  }

 private:
  using Steady = std::chrono::steady_clock;

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    Steady::time_point tickAt = later(Steady::now(), interval_);
    TimePoint lookBy{};
    TickerWake wake = TickerWake::kLook;  // a first look before any wait
    for (;;) {
      lock.unlock();
      std::exception_ptr failed;
      try {
        if (wake == TickerWake::kTick) {
          ticked_->tick();
          tickAt = later(Steady::now(), interval_);
        }
        lookBy = look(tickAt);
      } catch (const abi::__forced_unwind&) {
        throw;
      } catch (...) {
        failed = std::current_exception();
      }
      if (failed) {
        forget(watched_);  // a ticker that has stopped looks no more: first its word goes
        lock.lock();
        failure_ = failed;
        return;
      }
      lock.lock();
      const auto tickIn = std::max(tickAt - Steady::now(), Steady::duration::zero());
      const auto lookIn = std::max<std::chrono::nanoseconds>(
          std::chrono::nanoseconds(static_cast<std::int64_t>(
              std::min<Int128>(nanosecondsBetween(readWallClock(), lookBy), tickIn.count()))),
          std::chrono::nanoseconds::zero());
      wake = tickerWait(wake_, lock, tickIn, lookIn, stopping_, asked_);
      if (wake == TickerWake::kStop) return;
      asked_ = false;
    }
  }

  // `from` + `by`, held to the range of the clock: an interval may be as
  // long as a duration can be.
  template <class Point>
  static Point later(Point from, std::chrono::nanoseconds by) noexcept {
    using Duration = typename Point::duration;
    static_assert(std::is_same_v<Duration, std::chrono::nanoseconds>);
    const Int128 sum = Int128{from.time_since_epoch().count()} + by.count();
    if (sum >= Point::max().time_since_epoch().count()) return Point::max();
    if (sum <= Point::min().time_since_epoch().count()) return Point::min();
    return Point(Duration(static_cast<typename Duration::rep>(sum)));
  }

  // Looks at every bar it ticks; returns when it must look next.
  TimePoint look(Steady::time_point tickAt) {
    const TimePoint now = readWallClock();
    const TimePoint tickAtWall = later(now, tickAt - Steady::now());
    std::vector<Ref<BarEngine>> bars = ticked_->bars();
    // Sorted, each once: those gone from the bars are let go.
    const auto byAddress = [](const Ref<BarEngine>& a, const Ref<BarEngine>& b) {
      return a.get() < b.get();
    };
    std::sort(bars.begin(), bars.end(), byAddress);
    std::vector<Ref<BarEngine>> gone;
    for (Ref<BarEngine>& bar : watched_) {
      if (!std::binary_search(bars.begin(), bars.end(), bar, byAddress)) {
        gone.push_back(std::move(bar));
      }
    }
    watched_.swap(bars);
    bars.clear();
    forget(gone);
    TimePoint by = tickAtWall;
    for (const Ref<BarEngine>& bar : watched_) {
      by = std::min(by, bar->watch(this, tickAtWall, now));
    }
    return by;
  }

  void forget(std::vector<Ref<BarEngine>>& bars) noexcept {
    for (Ref<BarEngine>& bar : bars) {
      bar->unwatch(this);
      bar = Ref<BarEngine>();
    }
    bars.clear();
  }

  // Declared first, destroyed last: the thread uses it until joined.
  const std::unique_ptr<Ticked> ticked_;
  const std::chrono::nanoseconds interval_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;                // under mutex_
  bool asked_ = false;                   // under mutex_: a bar asked for a look
  std::exception_ptr failure_;           // under mutex_
  std::vector<Ref<BarEngine>> watched_;  // the thread's, then (once joined) stop()'s
  std::thread thread_;
};

namespace {

// A bar's own ticker: it ticks and watches that bar alone.
class TickedBar final : public Ticked {
 public:
  explicit TickedBar(BarEngine& bar) noexcept : bar_(Ref<BarEngine>::share(&bar)) {}
  void tick() override { bar_->redraw(DrawCause::kUpdate); }
  std::vector<Ref<BarEngine>> bars() override { return {bar_}; }

 private:
  const Ref<BarEngine> bar_;
};

}  // namespace

Own<TickerThread> startTicker(std::unique_ptr<Ticked> ticked, std::chrono::nanoseconds interval) {
  return Own<TickerThread>(new TickerThread(std::move(ticked), interval));
}

void Delete<TickerThread>::operator()(TickerThread* thread) const noexcept { delete thread; }

Own<TickerThread> TickerAccess::start(BarEngine& bar, std::chrono::nanoseconds interval) {
  return startTicker(std::make_unique<TickedBar>(bar), interval);
}

void TickerAccess::stop(TickerThread& thread) { thread.stop(); }
std::exception_ptr TickerAccess::failure(const TickerThread& thread) noexcept {
  return thread.failure();
}
std::exception_ptr TickerAccess::takeFailure(TickerThread& thread) noexcept {
  return thread.takeFailure();
}
std::exception_ptr TickerAccess::end(TickerThread& thread) noexcept {
  {
    const DeferCancellation deferred;  // and stop() lets nothing out
    thread.stop();
  }
  return thread.takeFailure();
}

}  // namespace System::ProgressBar::detail
