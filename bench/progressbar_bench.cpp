// Benchmarks: the cost of an update, of a drawn line, of each label and of a
// display's frame, against the floor every update of a thread-safe bar pays
// (a clock read, a lock and a call). main() starts a thread before anything
// is measured, so every figure is what a program that has started a thread
// sees (glibc skips the atomic instruction of a lock in a process that never
// has).
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <ostream>
#include <ranges>
#include <streambuf>
#include <vector>

#include "System/ProgressBar.hpp"
#ifdef PROGRESSBAR_HAVE_SPDLOG
#include <spdlog/spdlog.h>

#include "System/ProgressBar/Spdlog.hpp"
#endif
#include "alloc_counter.hpp"
#include "base/text.hpp"             // the measuring routine, internal
#include "display/display_core.hpp"  // the rows a display holds, internal

namespace pb = System::ProgressBar;
using namespace std::chrono_literals;

namespace {

// A stream buffer that accepts and forgets every byte, counting them.
class DiscardBuf : public std::streambuf {
 public:
  std::int64_t bytes = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    bytes += n;
    return n;
  }
  int_type overflow(int_type c) override {
    ++bytes;
    return traits_type::not_eof(c);
  }
};

DiscardBuf g_discardBuf;
std::ostream g_discard(&g_discardBuf);

// Reports heap allocations per operation for the loop that follows; an
// iteration of a loop benchmark is `operations` operations.
class AllocationScope {
 public:
  explicit AllocationScope(benchmark::State& state, std::int64_t operations = 1)
      : state_(state), operations_(operations), start_(bench::allocations()) {}
  ~AllocationScope() {
    state_.counters["allocs"] = benchmark::Counter(
        static_cast<double>(bench::allocations() - start_) / static_cast<double>(operations_),
        benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& state_;
  std::int64_t operations_;
  std::uint64_t start_;
};

pb::Style<> style80() { return pb::Style<>{.styleWidth = pb::ConstantWidth{80}}; }

const pb::Timing kTiming{pb::TimePoint{}, pb::TimePoint{std::chrono::seconds(100)}};
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr double kEveryUpdate = std::numeric_limits<double>::quiet_NaN();

// The floor: what every update of a thread-safe bar must do whatever the
// library: read the clock, take a lock, call the caller's function.
std::mutex g_floorMutex;
void BM_Floor(benchmark::State& state) {
  const std::function<std::int64_t(std::int64_t)> f = [](std::int64_t x) { return x + 1; };
  std::int64_t value = 0;
  AllocationScope allocs(state);
  for (auto _ : state) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    benchmark::DoNotOptimize(now);
    std::lock_guard<std::mutex> lock(g_floorMutex);
    value = f(value);
  }
  benchmark::DoNotOptimize(value);
}
BENCHMARK(BM_Floor);
BENCHMARK(BM_Floor)->Threads(2);

// For scale: one read of the coarse clock, and one atomic addition (what a
// bar whose thread of its own draws pays for an update).
void BM_CoarseClock(benchmark::State& state) {
  for (auto _ : state) {
    timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(BM_CoarseClock);

std::int64_t g_added = 0;
void BM_AtomicAdd(benchmark::State& state) {
  for (auto _ : state) __atomic_fetch_add(&g_added, 1, __ATOMIC_SEQ_CST);
}
BENCHMARK(BM_AtomicAdd);
BENCHMARK(BM_AtomicAdd)->Threads(2);

// Never completes, so every update after the first draw is throttled except
// one every 0.1 s.
pb::ProgressBar<> throttledBar() {
  return pb::hNewProgressBar(g_discard, style80(), 10.0, pb::Progress<>{0, kNever});
}

void BM_IncProgressThrottled(benchmark::State& state) {
  static pb::ProgressBar<> bar = throttledBar();
  AllocationScope allocs(state);
  for (auto _ : state) pb::incProgress(bar, 1);
}
BENCHMARK(BM_IncProgressThrottled);
BENCHMARK(BM_IncProgressThrottled)->Threads(2);

// The same with a steady tick redrawing the bar every 10 ms meanwhile: its
// thread watches the bar, so that updates read no clock.
std::optional<pb::ProgressBar<>> g_tickedBar;
std::optional<pb::Ticker> g_ticker;
void BM_IncProgressTicking(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_tickedBar.emplace(throttledBar());
    g_ticker.emplace(*g_tickedBar, 10ms);
  }
  {
    AllocationScope allocs(state);
    // Every thread reaches the bar past the loop's start, which waits for the first.
    for (auto _ : state) pb::incProgress(*g_tickedBar, 1);
  }
  if (state.thread_index() == 0) {
    g_ticker.reset();
    g_tickedBar.reset();
  }
}
BENCHMARK(BM_IncProgressTicking);
BENCHMARK(BM_IncProgressTicking)->Threads(2);

// A ticker slower than the refresh: each draw due between its ticks asks it
// to look by the next deadline, so that updates still read no clock.
void BM_IncProgressSlowTicking(benchmark::State& state) {
  const auto bar = throttledBar();
  const pb::Ticker ticker(bar, 1s);
  AllocationScope allocs(state);
  for (auto _ : state) pb::incProgress(bar, 1);
}
BENCHMARK(BM_IncProgressSlowTicking);

void BM_IncProgressSpinner(benchmark::State& state) {
  const auto bar = pb::hNewProgressBar(g_discard, pb::spinnerStyle(), 10.0, pb::Progress<>{0, 0},
                                       pb::unknownTotal);
  AllocationScope allocs(state);
  for (auto _ : state) pb::incProgress(bar, 1);
}
BENCHMARK(BM_IncProgressSpinner);

void BM_IncProgressDisplay(benchmark::State& state) {
  pb::Display display(g_discard, pb::AsTerminal{80}, pb::DisplayOptions{.colour = false});
  const auto bar = display.add(style80(), pb::Progress<>{0, kNever});
  AllocationScope allocs(state);
  for (auto _ : state) pb::incProgress(bar, 1);
}
BENCHMARK(BM_IncProgressDisplay);

std::vector<pb::ProgressBar<>> eightBars(pb::Display& display) {
  std::vector<pb::ProgressBar<>> bars;
  for (int i = 0; i < 8; ++i) {
    pb::Style<> s{.stylePrefix = "task " + std::to_string(i)};
    bars.push_back(display.add(s, pb::Progress<>{37, 100}));
  }
  return bars;
}

// Reports the bytes written per iteration of the loop that follows.
class BytesScope {
 public:
  explicit BytesScope(benchmark::State& state) : state_(state), start_(g_discardBuf.bytes) {}
  ~BytesScope() {
    state_.counters["bytes"] = benchmark::Counter(static_cast<double>(g_discardBuf.bytes - start_),
                                                  benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& state_;
  std::int64_t start_;
};

// Each update of one of 8 bars draws its row and a frame: the row that changed.
void BM_DisplayFrame8(benchmark::State& state) {
  pb::Display display(g_discard, pb::AsTerminal{80},
                      pb::DisplayOptions{.refreshRate = kEveryUpdate, .colour = false});
  const std::vector<pb::ProgressBar<>> bars = eightBars(display);
  AllocationScope allocs(state);
  BytesScope bytes(state);
  // Each bar goes up by one, then back down, round after round.
  std::int64_t i = 0;
  for (auto _ : state) {
    pb::incProgress(bars[static_cast<std::size_t>(i % 8)], (i / 8) % 2 == 0 ? 1 : -1);
    ++i;
  }
}
BENCHMARK(BM_DisplayFrame8);

// All 8 bars change, then one frame draws them: 8 updates and a frame.
void BM_DisplayFrame8AllChanged(benchmark::State& state) {
  pb::Display display(g_discard, pb::AsTerminal{80}, pb::DisplayOptions{.colour = false});
  const std::vector<pb::ProgressBar<>> bars = eightBars(display);
  AllocationScope allocs(state);
  BytesScope bytes(state);
  std::int64_t step = 1;
  for (auto _ : state) {
    for (const auto& bar : bars) pb::incProgress(bar, step);
    display.redraw();
    step = -step;
  }
}
BENCHMARK(BM_DisplayFrame8AllChanged);

// A long run of a display writing a log: `state.range(0)` bars added, moved
// halfway, and finished, one after another, with `running` of them under way
// at once. Reported per bar (the time of a whole run over its bars), with the
// rows and the heap the display holds at the end of the run, while the last
// `running` bars are still under way: flat in the number of bars, the cost
// per bar and what is held stay the same from a thousand bars to a hundred
// thousand.
void logBars(benchmark::State& state, std::size_t running) {
  const std::int64_t bars = state.range(0);
  const pb::Style<> style{.stylePrefix = "file", .stylePostfix = pb::exact()};
  std::size_t rows = 0;
  std::int64_t held = 0;
  for (auto _ : state) {
    pb::Display display(g_discard, pb::AsLog{}, pb::DisplayOptions{.colour = false});
    std::deque<pb::ProgressBar<>> live;
    const std::int64_t heapBefore = bench::heapBytes();
    for (std::int64_t i = 0; i < bars; ++i) {
      live.push_back(display.add(style, pb::Progress<>{0, 10}));
      pb::incProgress(live.back(), 5);
      if (live.size() > running) {
        pb::incProgress(live.front(), 5);  // its final line
        live.pop_front();
      }
    }
    rows = pb::detail::DisplayAccess::core(display).rowsHeld();
    held = bench::heapBytes() - heapBefore;
    for (const auto& bar : live) pb::incProgress(bar, 5);
  }
  state.SetItemsProcessed(state.iterations() * bars);
  state.counters["rows held"] = static_cast<double>(rows);
  state.counters["KiB held"] = static_cast<double>(held) / 1024.0;
}
void BM_LogBars(benchmark::State& state) { logBars(state, 1); }
void BM_LogBars100Running(benchmark::State& state) { logBars(state, 100); }
BENCHMARK(BM_LogBars)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogBars100Running)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A line above a display's block of 8 bars, three ways: printAbove, the
// display's line stream, and spdlog through the sink.
constexpr std::string_view kLogLine = "worker 3: model.bin chunk 300 of 749";

void BM_PrintAbove(benchmark::State& state) {
  pb::Display display(g_discard, pb::AsTerminal{80}, pb::DisplayOptions{.colour = false});
  const std::vector<pb::ProgressBar<>> bars = eightBars(display);
  AllocationScope allocs(state);
  for (auto _ : state) display.printAbove(kLogLine);
}
BENCHMARK(BM_PrintAbove);

void BM_LinesAbove(benchmark::State& state) {
  pb::Display display(g_discard, pb::AsTerminal{80}, pb::DisplayOptions{.colour = false});
  const std::vector<pb::ProgressBar<>> bars = eightBars(display);
  AllocationScope allocs(state);
  for (auto _ : state) display.lines() << kLogLine << '\n';
}
BENCHMARK(BM_LinesAbove);

#ifdef PROGRESSBAR_HAVE_SPDLOG
void BM_SpdlogAbove(benchmark::State& state) {
  pb::Display display(g_discard, pb::AsTerminal{80}, pb::DisplayOptions{.colour = false});
  const std::vector<pb::ProgressBar<>> bars = eightBars(display);
  spdlog::logger log("bench", std::make_shared<pb::SpdlogSinkMt>(display));
  log.set_pattern("%v");
  AllocationScope allocs(state);
  for (auto _ : state) log.info(kLogLine);
}
BENCHMARK(BM_SpdlogAbove);
#endif

void BM_RenderDefault80(benchmark::State& state) {
  const pb::Style<> style = style80();
  const pb::Progress<> progress{37, 100};
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(pb::renderProgressBar(style, progress, kTiming));
}
BENCHMARK(BM_RenderDefault80);

// Never throttled; the line stays at 37 of 100 by stepping +1, then -1.
void drawnUpdates(benchmark::State& state, const pb::Style<>& style) {
  const auto bar = pb::hNewProgressBar(g_discard, style, kEveryUpdate, pb::Progress<>{37, 100});
  pb::incProgress(bar, 1);  // warm: the line's buffers are in place
  AllocationScope allocs(state);
  std::int64_t step = -1;
  for (auto _ : state) {
    pb::incProgress(bar, step);
    step = -step;
  }
}
void BM_IncProgressDrawn(benchmark::State& state) { drawnUpdates(state, style80()); }
BENCHMARK(BM_IncProgressDrawn);

// The everyday line: elapsed time, counts, percentage and remaining time.
pb::Style<> everydayStyle() {
  pb::Style<> s = style80();
  s.stylePrefix = pb::elapsedTime(pb::renderDuration);
  s.stylePostfix = pb::exact() + " " + pb::percentage() + " " +
                   pb::remainingTime(pb::renderDuration, "--") + " left";
  return s;
}

void BM_RenderEveryday(benchmark::State& state) {
  const pb::Style<> style = everydayStyle();
  const pb::Progress<> progress{37, 100};
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(pb::renderProgressBar(style, progress, kTiming));
}
BENCHMARK(BM_RenderEveryday);

void BM_IncProgressDrawnEveryday(benchmark::State& state) { drawnUpdates(state, everydayStyle()); }
BENCHMARK(BM_IncProgressDrawnEveryday);

void renderWidth(benchmark::State& state, char32_t fill) {
  pb::Style<> style{.styleWidth = pb::ConstantWidth{state.range(0)}};
  style.styleDone = style.styleTodo = style.styleCurrent = fill;
  const pb::Progress<> progress{37, 100};
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(pb::renderProgressBar(style, progress, kTiming));
  state.counters["ns/cell"] = benchmark::Counter(
      static_cast<double>(state.range(0) - 7) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void BM_RenderWidthAscii(benchmark::State& state) { renderWidth(state, U'='); }
void BM_RenderWidthThreeByte(benchmark::State& state) { renderWidth(state, U'█'); }
BENCHMARK(BM_RenderWidthAscii)->Arg(80)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_RenderWidthThreeByte)->Arg(80)->Arg(1000)->Arg(10000)->Arg(100000);

// Measuring an ASCII label of 64 characters: code points (the renderer's
// rule) against terminal columns (a display's).
void measureLabel(benchmark::State& state, pb::detail::Measure how) {
  const std::string label(64, 'a');
  AllocationScope allocs(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(pb::detail::measure(label, how));
    benchmark::ClobberMemory();
  }
}
void BM_MeasureCodePoints(benchmark::State& state) {
  measureLabel(state, pb::detail::Measure::kCodePoints);
}
void BM_MeasureColumns(benchmark::State& state) {
  measureLabel(state, pb::detail::Measure::kColumns);
}
BENCHMARK(BM_MeasureCodePoints);
BENCHMARK(BM_MeasureColumns);

void runLabel(benchmark::State& state, const pb::Label<>& label,
              pb::Progress<> progress = {37, 100}, pb::Timing timing = kTiming) {
  pb::Text text;
  AllocationScope allocs(state);
  for (auto _ : state) {
    text.clear();
    pb::detail::appendLabelText(text, label, progress, timing);
    benchmark::DoNotOptimize(text);
  }
}
void BM_Percentage(benchmark::State& state) { runLabel(state, pb::percentage()); }
void BM_PercentageFloor(benchmark::State& state) { runLabel(state, pb::percentageFloor()); }
void BM_Exact(benchmark::State& state) { runLabel(state, pb::exact()); }
void BM_ElapsedTime(benchmark::State& state) {
  runLabel(state, pb::elapsedTime(pb::renderDuration));
}
void BM_ElapsedHuman(benchmark::State& state) {
  runLabel(state, pb::elapsedTime(pb::humanDuration));
}
void BM_RemainingTime(benchmark::State& state) {
  runLabel(state, pb::remainingTime(pb::renderDuration, "--"));
}
void BM_TotalTime(benchmark::State& state) {
  runLabel(state, pb::totalTime(pb::renderDuration, "--"));
}
void BM_Throughput(benchmark::State& state) { runLabel(state, pb::throughput("files/s", "--")); }
void BM_Bytes(benchmark::State& state) {
  runLabel(state, pb::bytes(), pb::Progress<>{1'299'227'607, std::int64_t{4} << 30});
}
void BM_ByteRate(benchmark::State& state) {
  runLabel(state, pb::byteRate(), pb::Progress<>{1'299'227'607, std::int64_t{4} << 30});
}
// The recent labels as a bar runs them: with its history.
void recentLabel(benchmark::State& state, const pb::Label<>& label) {
  pb::SpeedHistory history;
  history.record(0, pb::TimePoint{});
  pb::Timing timing = kTiming;
  timing.timingHistory = &history;
  runLabel(state, label, pb::Progress<>{1'299'227'607, std::int64_t{4} << 30}, timing);
}
void BM_RecentByteRate(benchmark::State& state) { recentLabel(state, pb::recentByteRate()); }
void BM_RecentRemainingTime(benchmark::State& state) {
  recentLabel(state, pb::recentRemainingTime(pb::humanDuration, "--"));
}
BENCHMARK(BM_Percentage);
BENCHMARK(BM_PercentageFloor);
BENCHMARK(BM_Exact);
BENCHMARK(BM_ElapsedTime);
BENCHMARK(BM_ElapsedHuman);
BENCHMARK(BM_RemainingTime);
BENCHMARK(BM_TotalTime);
BENCHMARK(BM_Throughput);
BENCHMARK(BM_Bytes);
BENCHMARK(BM_ByteRate);
BENCHMARK(BM_RecentByteRate);
BENCHMARK(BM_RecentRemainingTime);

void BM_RenderDuration(benchmark::State& state) {
  const pb::Duration d(std::chrono::seconds(3725) + std::chrono::milliseconds(400));
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(pb::renderDuration(d));
}
BENCHMARK(BM_RenderDuration);

// A loop of 10^8 iterations of about a nanosecond of work each, with one
// update per iteration; the bare loop is its floor. Reported per iteration.
constexpr std::int64_t kLoop = 100'000'000;

inline std::int64_t work(std::int64_t acc, std::int64_t i) noexcept { return acc * 3 + (i ^ acc); }

void BM_LoopBare(benchmark::State& state) {
  for (auto _ : state) {
    std::int64_t acc = 1;
    for (std::int64_t i = 0; i < kLoop; ++i) {
      acc = work(acc, i);
      benchmark::DoNotOptimize(acc);
    }
  }
  state.SetItemsProcessed(state.iterations() * kLoop);
}
BENCHMARK(BM_LoopBare)->Unit(benchmark::kMillisecond);

void BM_LoopIncProgress(benchmark::State& state) {
  const auto bar = throttledBar();
  AllocationScope allocs(state, kLoop);
  for (auto _ : state) {
    std::int64_t acc = 1;
    for (std::int64_t i = 0; i < kLoop; ++i) {
      acc = work(acc, i);
      benchmark::DoNotOptimize(acc);
      pb::incProgress(bar, 1);
    }
  }
  state.SetItemsProcessed(state.iterations() * kLoop);
}
BENCHMARK(BM_LoopIncProgress)->Unit(benchmark::kMillisecond);

void BM_LoopTrack(benchmark::State& state) {
  const auto bar = throttledBar();
  AllocationScope allocs(state, kLoop);
  for (auto _ : state) {
    std::int64_t acc = 1;
    for (const std::int64_t i : pb::track(bar, std::views::iota(std::int64_t{0}, kLoop))) {
      acc = work(acc, i);
      benchmark::DoNotOptimize(acc);
    }
  }
  state.SetItemsProcessed(state.iterations() * kLoop);
}
BENCHMARK(BM_LoopTrack)->Unit(benchmark::kMillisecond);

// As BM_LoopTrack while a ticker redraws the bar, or its display, every
// 100 ms: its thread watches the bar, and elements read no clock.
void loopTrackTicking(benchmark::State& state, const pb::ProgressBar<>& bar) {
  AllocationScope allocs(state, kLoop);
  for (auto _ : state) {
    std::int64_t acc = 1;
    for (const std::int64_t i : pb::track(bar, std::views::iota(std::int64_t{0}, kLoop))) {
      acc = work(acc, i);
      benchmark::DoNotOptimize(acc);
    }
  }
  state.SetItemsProcessed(state.iterations() * kLoop);
}
void BM_LoopTrackTicking(benchmark::State& state) {
  const auto bar = throttledBar();
  const pb::Ticker ticker(bar, 100ms);
  loopTrackTicking(state, bar);
}
BENCHMARK(BM_LoopTrackTicking)->Unit(benchmark::kMillisecond);
void BM_LoopTrackDisplayTicking(benchmark::State& state) {
  pb::Display display(g_discard, pb::AsTerminal{80}, pb::DisplayOptions{.colour = false});
  const auto bar = display.add(style80(), pb::Progress<>{0, kNever});
  pb::Ticker ticker(display, 100ms);
  loopTrackTicking(state, bar);
}
BENCHMARK(BM_LoopTrackDisplayTicking)->Unit(benchmark::kMillisecond);

}  // namespace
