// The benchmark driver: runs every benchmark with repetitions, then prints a
// table of medians as ratios to the floor measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <map>
#include <string>
#include <vector>

namespace {

struct Target {
  double maxRatio;      // of BM_Floor's median; 0 for none
  double maxAllocs;     // per operation; negative for none
  double maxNsPerCell;  // 0 for none
};

const std::map<std::string, Target> kTargets = {
    {"BM_IncProgressThrottled", {1.2, 0, 0}},
    {"BM_RenderDefault80", {6, 1, 0}},
    {"BM_IncProgressDrawn", {10, -1, 0}},
    {"BM_RenderTimeAndCounts", {30, -1, 0}},
    {"BM_RenderWidthAscii/100000", {0, -1, 0.25}},
    {"BM_RenderWidthThreeByte/100000", {0, -1, 2}},
};

struct Row {
  std::string name;
  double ns;  // per operation, across all threads
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
      row.ns /= row.threads;  // aggregate time per operation
      for (const auto& [key, counter] : run.counters) row.counters[key] = counter.value;
      rows.push_back(row);
    }
  }
};

std::string stripThreads(const std::string& name) {
  const auto at = name.find("/threads:");
  return at == std::string::npos ? name : name.substr(0, at);
}

// Rows in the order of the table, whatever order the interleaved runs took.
const std::vector<std::string> kOrder = {
    "BM_Floor", "BM_IncProgressThrottled", "BM_RenderDefault80", "BM_IncProgressDrawn",
    "BM_RenderTimeAndCounts", "BM_RenderWidthAscii", "BM_RenderWidthThreeByte",
    "BM_Percentage", "BM_Exact", "BM_RenderDuration", "BM_ElapsedTime", "BM_RemainingTime",
    "BM_TotalTime", "BM_Track", "BM_LoopIncProgress"};

std::tuple<std::size_t, int, long> sortKey(const Row& r) {
  const std::string base = stripThreads(r.name);
  const auto slash = base.find('/');
  const std::string family = base.substr(0, slash);
  const long arg = slash == std::string::npos ? 0 : std::stol(base.substr(slash + 1));
  const auto at = std::find(kOrder.begin(), kOrder.end(), family);
  return {static_cast<std::size_t>(at - kOrder.begin()), r.threads, arg};
}

}  // namespace

int main(int argc, char** argv) {
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

  std::stable_sort(reporter.rows.begin(), reporter.rows.end(),
                   [](const Row& a, const Row& b) { return sortKey(a) < sortKey(b); });
  std::map<int, double> floorNs;  // by thread count
  for (const Row& r : reporter.rows) {
    if (stripThreads(r.name) == "BM_Floor") floorNs[r.threads] = r.ns;
  }
  std::printf("\n%-36s %10s %9s %9s %9s  %s\n", "benchmark (median)", "ns/op", "x floor",
              "allocs/op", "ns/cell", "target");
  std::printf("%-36s %10s\n", "", "(loops: ns/element)");
  int missed = 0;
  for (const Row& r : reporter.rows) {
    Row shown = r;
    if (r.counters.count("items_per_second")) shown.ns = 1e9 / r.counters.at("items_per_second");
    const double floor = floorNs.count(r.threads) ? floorNs[r.threads] : 0;
    const double ratio = floor > 0 ? shown.ns / floor : 0;
    const double allocs = r.counters.count("allocs") ? r.counters.at("allocs") : -1;
    const double perCell = r.counters.count("ns/cell") ? r.counters.at("ns/cell") * 1e9 : 0;
    std::string target;
    const auto t = kTargets.find(stripThreads(r.name));
    if (t != kTargets.end() && r.threads == 1) {
      bool met = true;
      if (t->second.maxRatio > 0) {
        target += "<= " + std::to_string(t->second.maxRatio).substr(0, 4) + "x ";
        met = met && ratio <= t->second.maxRatio;
      }
      if (t->second.maxAllocs >= 0) {
        target += "<= " + std::to_string(static_cast<int>(t->second.maxAllocs)) + " allocs ";
        met = met && allocs <= t->second.maxAllocs + 1e-3;
      }
      if (t->second.maxNsPerCell > 0) {
        target += "<= " + std::to_string(t->second.maxNsPerCell).substr(0, 4) + " ns/cell ";
        met = met && perCell <= t->second.maxNsPerCell;
      }
      target += met ? "met" : "MISSED";
      missed += met ? 0 : 1;
    }
    char cell[16] = "";
    if (perCell > 0) std::snprintf(cell, sizeof cell, "%.3f", perCell);
    std::printf("%-36s %10.1f %9.2f %9.3f %9s  %s\n", r.name.c_str(), shown.ns, ratio, allocs, cell,
                target.c_str());
  }
  std::printf("\n%s\n", missed == 0 ? "every target met" : "some targets missed");
  return 0;
}
