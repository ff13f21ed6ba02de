// Benchmarks: the cost of an update, of a drawn line, and of each label,
// against the floor every update pays (a clock read, a lock and a call).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <vector>

#include "System/ProgressBar.hpp"
#include "alloc_counter.hpp"

namespace pb = System::ProgressBar;

namespace {

// A stream buffer that accepts and forgets every byte.
class DiscardBuf : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

DiscardBuf g_discardBuf;
std::ostream g_discard(&g_discardBuf);

// Reports heap allocations per iteration for the loop that follows.
class AllocationScope {
 public:
  explicit AllocationScope(benchmark::State& state)
      : state_(state), start_(bench::allocations()) {}
  ~AllocationScope() {
    state_.counters["allocs"] = benchmark::Counter(
        static_cast<double>(bench::allocations() - start_), benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& state_;
  std::uint64_t start_;
};

pb::Style<> style80() {
  pb::Style<> s = pb::defStyle();
  s.styleWidth = pb::ConstantWidth{80};
  return s;
}

const pb::Timing kTiming{pb::TimePoint{}, pb::TimePoint{std::chrono::seconds(100)}};

// The floor: what every update must do whatever the library.
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

// Never completes, so every update after the first draw is throttled except
// one every 0.1 s.
pb::ProgressBar<> throttledBar() {
  return pb::hNewProgressBar(g_discard, style80(), 10.0,
                             pb::Progress<>{0, std::numeric_limits<std::int64_t>::max()});
}

void BM_IncProgressThrottled(benchmark::State& state) {
  static pb::ProgressBar<> bar = throttledBar();
  AllocationScope allocs(state);
  for (auto _ : state) pb::incProgress(bar, 1);
}
BENCHMARK(BM_IncProgressThrottled);
BENCHMARK(BM_IncProgressThrottled)->Threads(2);

void BM_RenderDefault80(benchmark::State& state) {
  const pb::Style<> style = style80();
  const pb::Progress<> progress{37, 100};
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(pb::renderProgressBar(style, progress, kTiming));
}
BENCHMARK(BM_RenderDefault80);

void BM_IncProgressDrawn(benchmark::State& state) {
  // Never throttled; the line stays at 37 of 100 as in the render benchmark
  // by stepping +1, then -1.
  const auto bar = pb::hNewProgressBar(g_discard, style80(),
                                       std::numeric_limits<double>::quiet_NaN(),
                                       pb::Progress<>{37, 100});
  AllocationScope allocs(state);
  std::int64_t step = 1;
  for (auto _ : state) {
    pb::incProgress(bar, step);
    step = -step;
  }
}
BENCHMARK(BM_IncProgressDrawn);

pb::Style<> fullStyle() {
  pb::Style<> s = style80();
  s.stylePrefix = pb::elapsedTime(pb::renderDuration) + " " +
                  pb::remainingTime(pb::renderDuration, "--");
  s.stylePostfix = pb::exact() + " " + pb::percentage();
  return s;
}

void BM_RenderTimeAndCounts(benchmark::State& state) {
  const pb::Style<> style = fullStyle();
  const pb::Progress<> progress{37, 100};
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(pb::renderProgressBar(style, progress, kTiming));
}
BENCHMARK(BM_RenderTimeAndCounts);

void renderWidth(benchmark::State& state, char32_t fill) {
  pb::Style<> style = pb::defStyle();
  style.styleWidth = pb::ConstantWidth{state.range(0)};
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

void runLabel(benchmark::State& state, const pb::Label<>& label) {
  const pb::Progress<> progress{37, 100};
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(label.runLabel(progress, kTiming));
}
void BM_Percentage(benchmark::State& state) { runLabel(state, pb::percentage()); }
void BM_Exact(benchmark::State& state) { runLabel(state, pb::exact()); }
void BM_ElapsedTime(benchmark::State& state) {
  runLabel(state, pb::elapsedTime(pb::renderDuration));
}
void BM_RemainingTime(benchmark::State& state) {
  runLabel(state, pb::remainingTime(pb::renderDuration, "--"));
}
void BM_TotalTime(benchmark::State& state) {
  runLabel(state, pb::totalTime(pb::renderDuration, "--"));
}
BENCHMARK(BM_Percentage);
BENCHMARK(BM_Exact);
BENCHMARK(BM_ElapsedTime);
BENCHMARK(BM_RemainingTime);
BENCHMARK(BM_TotalTime);

// A loop over cheap elements: the tracked range against incProgress per element.
const std::vector<std::int64_t>& cheapElements() {
  static const std::vector<std::int64_t> elements(100'000, 1);
  return elements;
}

void BM_LoopIncProgress(benchmark::State& state) {
  const auto bar = throttledBar();
  AllocationScope allocs(state);
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (const std::int64_t e : cheapElements()) {
      sum += e;
      pb::incProgress(bar, 1);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cheapElements().size()));
}
BENCHMARK(BM_LoopIncProgress);

void BM_Track(benchmark::State& state) {
  const auto bar = throttledBar();
  AllocationScope allocs(state);
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (const std::int64_t e : pb::track(bar, cheapElements())) sum += e;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cheapElements().size()));
}
BENCHMARK(BM_Track);

void BM_RenderDuration(benchmark::State& state) {
  const pb::Duration d(std::chrono::seconds(3725) + std::chrono::milliseconds(400));
  AllocationScope allocs(state);
  for (auto _ : state) benchmark::DoNotOptimize(pb::renderDuration(d));
}
BENCHMARK(BM_RenderDuration);

}  // namespace
