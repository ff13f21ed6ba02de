// The benchmark driver: starts a thread, runs every benchmark with
// repetitions, then prints a table of medians with their ratios to the floor
// measured in the same run, and checks the targets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

struct Target {
  std::string note;            // what the target says, as printed
  std::string base;            // the row the ratio is to
  double maxRatio = 0;         // 0: none
  double maxNs = 0;            // per operation (per element for loops); 0: none
  double maxAllocs = -1;       // per operation; negative: none
  double maxNsPerCell = 0;     // 0: none
  double maxOverheadNs = 0;    // loops: ns per iteration beyond the bare loop; 0: none
  std::string bytesBase = {};  // the row whose bytes per iteration this one's are compared to
  double maxBytesRatio = 0;    // 0: none
};

const std::map<std::string, Target> kTargets = {
    {"BM_IncProgressThrottled", {"<= 0.27x, 0 allocs", "BM_Floor", 0.27, 0, 0}},
    {"BM_IncProgressThrottled/threads:2", {"<= 1 thread's", "BM_IncProgressThrottled", 1.0}},
    {"BM_IncProgressTicking", {"<= 1.1x an atomic add", "BM_AtomicAdd", 1.1, 0, 0}},
    {"BM_IncProgressTicking/threads:2",
     {"<= 1.1x an atomic add", "BM_AtomicAdd/threads:2", 1.1, 0, 0}},
    {"BM_IncProgressSlowTicking", {"<= 1.2x an atomic add", "BM_AtomicAdd", 1.2, 0, 0}},
    {"BM_IncProgressSpinner", {"<= 1.2x", "BM_Floor", 1.2, 0, 0}},
    {"BM_IncProgressDisplay", {"<= 1.3x, 0 allocs", "BM_Floor", 1.3, 0, 0}},
    {"BM_DisplayFrame8",
     {"<= 580 ns, <= 0.5x the bytes of all 8", "", 0, 580, -1, 0, 0, "BM_DisplayFrame8AllChanged",
      0.5}},
    {"BM_DisplayFrame8AllChanged", {"<= 2990 ns", "", 0, 2990}},
    {"BM_LogBars/100000", {"<= 1.5x per bar of 1000", "BM_LogBars/1000", 1.5}},
    {"BM_LogBars100Running/100000", {"<= 1.5x per bar of 1000", "BM_LogBars100Running/1000", 1.5}},
    {"BM_LinesAbove", {"<= 2x printAbove", "BM_PrintAbove", 2}},
    {"BM_SpdlogAbove", {"<= 2x printAbove", "BM_PrintAbove", 2}},
    {"BM_MeasureColumns", {"<= 1.1x code points", "BM_MeasureCodePoints", 1.1}},
    {"BM_RenderDefault80", {"<= 3x, 1 alloc", "BM_Floor", 3, 0, 1}},
    {"BM_IncProgressDrawn", {"<= 5x, 0 allocs", "BM_Floor", 5, 0, 0}},
    {"BM_RenderEveryday", {"<= 6x, 1 alloc", "BM_Floor", 6, 0, 1}},
    {"BM_IncProgressDrawnEveryday", {"0 allocs", "", 0, 0, 0}},
    {"BM_RenderWidthAscii/100000", {"<= 0.25 ns/cell", "", 0, 0, -1, 0.25}},
    {"BM_RenderWidthThreeByte/100000", {"<= 2 ns/cell", "", 0, 0, -1, 2}},
    {"BM_PercentageFloor", {"<= 4x", "BM_Floor", 4}},
    {"BM_ElapsedHuman", {"<= 4x", "BM_Floor", 4}},
    {"BM_Bytes", {"<= 4x", "BM_Floor", 4}},
    {"BM_ByteRate", {"<= 4x", "BM_Floor", 4}},
    {"BM_RecentByteRate", {"<= 4x", "BM_Floor", 4}},
    {"BM_RecentRemainingTime", {"<= 4x", "BM_Floor", 4}},
    {"BM_LoopTrack", {"<= 0.14x", "BM_Floor", 0.14}},
    {"BM_LoopTrackTicking", {"<= 0.04x", "BM_Floor", 0.04}},
    {"BM_LoopTrackDisplayTicking", {"<= 0.04x", "BM_Floor", 0.04}},
};

struct Row {
  std::string name;
  double ns;  // per operation: Google Benchmark's time already covers all threads
  int threads;
  std::map<std::string, double> counters;
};

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  std::vector<Row> rows;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      Row row{run.run_name.str(), run.GetAdjustedRealTime(), static_cast<int>(run.threads), {}};
      if (run.time_unit == benchmark::kMillisecond) row.ns *= 1e6;
      for (const auto& [key, counter] : run.counters) row.counters[key] = counter.value;
      // Loops report per element, long runs of bars per bar.
      if (row.counters.count("items_per_second"))
        row.ns = 1e9 / row.counters.at("items_per_second");
      rows.push_back(row);
    }
  }
};

// Rows in the order of the table, whatever order the interleaved runs took.
const std::vector<std::string> kOrder = {"BM_Floor",
                                         "BM_CoarseClock",
                                         "BM_AtomicAdd",
                                         "BM_IncProgressThrottled",
                                         "BM_IncProgressTicking",
                                         "BM_IncProgressSlowTicking",
                                         "BM_IncProgressSpinner",
                                         "BM_IncProgressDisplay",
                                         "BM_DisplayFrame8",
                                         "BM_DisplayFrame8AllChanged",
                                         "BM_LogBars",
                                         "BM_LogBars100Running",
                                         "BM_PrintAbove",
                                         "BM_LinesAbove",
                                         "BM_SpdlogAbove",
                                         "BM_RenderDefault80",
                                         "BM_IncProgressDrawn",
                                         "BM_RenderEveryday",
                                         "BM_IncProgressDrawnEveryday",
                                         "BM_RenderWidthAscii",
                                         "BM_RenderWidthThreeByte",
                                         "BM_MeasureCodePoints",
                                         "BM_MeasureColumns",
                                         "BM_Percentage",
                                         "BM_PercentageFloor",
                                         "BM_Exact",
                                         "BM_RenderDuration",
                                         "BM_ElapsedTime",
                                         "BM_ElapsedHuman",
                                         "BM_RemainingTime",
                                         "BM_TotalTime",
                                         "BM_Throughput",
                                         "BM_Bytes",
                                         "BM_ByteRate",
                                         "BM_RecentByteRate",
                                         "BM_RecentRemainingTime",
                                         "BM_LoopBare",
                                         "BM_LoopIncProgress",
                                         "BM_LoopTrack",
                                         "BM_LoopTrackTicking",
                                         "BM_LoopTrackDisplayTicking"};

// Family in the order above, then threads, then the argument.
std::tuple<std::size_t, int, long> orderOf(const Row& r) {
  const std::string family = r.name.substr(0, r.name.find('/'));
  const auto at = std::find(kOrder.begin(), kOrder.end(), family);
  long arg = 0;
  const std::size_t slash = r.name.find('/');
  if (slash != std::string::npos && r.name.compare(slash + 1, 8, "threads:") != 0) {
    arg = std::stol(r.name.substr(slash + 1));
  }
  return {static_cast<std::size_t>(at - kOrder.begin()), r.threads, arg};
}

const Row* find(const std::vector<Row>& rows, const std::string& name) {
  for (const Row& r : rows) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  // A process that has started a thread, as any program using a thread-safe
  // bar is: from here on locks pay their atomic instruction.
  std::thread([] {}).join();

  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  std::string minTime = "--benchmark_min_time=0.2";
  // Interleaving the repetitions of different benchmarks evens out drifts of
  // the machine (frequency, neighbours) between a benchmark and the floor.
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1,
              {repetitions.data(), aggregates.data(), minTime.data(), interleave.data()});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::vector<Row>& rows = reporter.rows;
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return orderOf(a) < orderOf(b); });
  const Row* floor = find(rows, "BM_Floor");
  const Row* bare = find(rows, "BM_LoopBare");
  std::printf("\nIn a process that has started a thread. Loops: ns per iteration.\n");
  std::printf("%-36s %10s %9s %9s %9s  %s\n", "benchmark (median)", "ns/op", "x floor", "allocs/op",
              "extra", "target");
  int missed = 0;
  for (const Row& r : rows) {
    const double ratio = floor != nullptr ? r.ns / floor->ns : 0;
    const double allocs = r.counters.count("allocs") ? r.counters.at("allocs") : -1;
    const double perCell = r.counters.count("ns/cell") ? r.counters.at("ns/cell") * 1e9 : 0;
    const double overhead =
        bare != nullptr && r.name.rfind("BM_Loop", 0) == 0 ? r.ns - bare->ns : 0;
    const double bytes = r.counters.count("bytes") ? r.counters.at("bytes") : 0;
    char extra[32] = "";
    if (bytes > 0) std::snprintf(extra, sizeof extra, "%.0f B", bytes);
    if (r.counters.count("rows held")) {
      std::snprintf(extra, sizeof extra, "%.0f rows %.0f KiB", r.counters.at("rows held"),
                    r.counters.at("KiB held"));
    }
    if (perCell > 0) std::snprintf(extra, sizeof extra, "%.3f/cell", perCell);
    if (overhead != 0) std::snprintf(extra, sizeof extra, "+%.2f ns", overhead);
    std::string verdict;
    const auto t = kTargets.find(r.name);
    if (t != kTargets.end()) {
      const Target& target = t->second;
      bool met = true;
      if (target.maxRatio > 0) {
        const Row* base = find(rows, target.base);
        met = met && base != nullptr && r.ns / base->ns <= target.maxRatio;
      }
      if (target.maxNs > 0) met = met && r.ns <= target.maxNs;
      if (target.maxAllocs >= 0) met = met && allocs <= target.maxAllocs + 1e-3;
      if (target.maxNsPerCell > 0) met = met && perCell <= target.maxNsPerCell;
      if (target.maxOverheadNs > 0) met = met && overhead <= target.maxOverheadNs;
      if (target.maxBytesRatio > 0) {
        const Row* base = find(rows, target.bytesBase);
        met = met && base != nullptr && base->counters.count("bytes") &&
              bytes <= target.maxBytesRatio * base->counters.at("bytes");
      }
      verdict = target.note + (met ? " met" : " MISSED");
      missed += met ? 0 : 1;
    }
    char allocText[16] = "-";
    if (allocs >= 0) std::snprintf(allocText, sizeof allocText, "%.3f", allocs);
    std::printf("%-36s %10.2f %9.2f %9s %9s  %s\n", r.name.c_str(), r.ns, ratio, allocText, extra,
                verdict.c_str());
  }
  std::printf("\n%s\n", missed == 0 ? "every target met" : "some targets missed");
  return 0;
}
