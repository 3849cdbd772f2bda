// Comparison benchmarks that can be trusted on a shared machine. Each case has our side and one
// or more comparison sides; they run in turn, A B A B ..., for a number of pairs, and the verdict
// is the median of the per-pair time ratios with their spread: a neighbour's burst of load moves
// one pair, not the result, and the spread says how far the machine let the pairs wander.
//
//   TPairedComparison comparison("What the program measures.");
//   comparison.Add("parse/order200", {"dovra", ParseOurs}, {{"rapidjson", ParseTheirs}});
//   return comparison.Main(argc, argv);
//
// With --smoke (see SmokeRun.h) every side runs once, briefly, and no table is printed: the
// test suite's proof that the program still runs. Any benchmark error fails the program.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/SmokeRun.h"

class TPairedComparison {
 public:
  using TBody = std::function<void(benchmark::State&)>;

  struct TSide {
    std::string Name;  // the benchmark of this side is "<case>/<name>"
    TBody Body;
  };

  // Applied to every run of both sides (unit, time limits).
  using TSetup = std::function<void(benchmark::internal::Benchmark*)>;

  explicit TPairedComparison(std::string description) : FDescription(std::move(description)) {}

  void Add(std::string name, TSide ours, std::vector<TSide> theirs, TSetup setup = {}) {
    FCases.push_back({std::move(name), std::move(ours), std::move(theirs), std::move(setup)});
  }

  // Handles --help, --smoke and --pairs=N (default 5), runs the pairs with Google Benchmark's
  // flags, prints the table. Returns the program's exit code: 1 when a benchmark failed.
  int Main(int argc, char** argv) {
    const bool smoke = BenchSmoke::Requested(argc, argv);
    int pairs = 5;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
      if (i > 0 && BenchSmoke::IsFlag(argv[i])) continue;
      const std::string arg = argv[i];
      if (i > 0 && (arg == "--help" || arg == "-h")) {
        std::printf(
            "Usage: %s [--pairs=N] [--smoke] [benchmark options]\n%s\n"
            "Every case runs our side and each comparison side in turn, N times (default 5),\n"
            "and ends with a table of the median of the per-pair ratios and their spread.\n\n",
            argv[0], FDescription.c_str());
        rest.push_back(argv[i]);
        continue;
      }
      if (i > 0 && arg.rfind("--pairs=", 0) == 0) {
        char* end = nullptr;
        const long n = std::strtol(arg.c_str() + 8, &end, 10);
        if (*end != '\0' || n < 1 || n > 1000) {
          std::fprintf(stderr, "%s: --pairs wants a number from 1 to 1000, not '%s'\n", argv[0],
                       arg.c_str() + 8);
          return 2;
        }
        pairs = static_cast<int>(n);
        continue;
      }
      rest.push_back(argv[i]);
      if (i == 0 && smoke) rest.push_back(BenchSmoke::kMinTimeFlag);  // given ones still win
    }
    if (smoke) pairs = 1;
    int restCount = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    Register(pairs);
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
    TReporter reporter;
    const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    if (!smoke) PrintTable(reporter.Times());
    benchmark::Shutdown();
    return BenchSmoke::Verdict(argv[0], ran, reporter.Errors());
  }

 private:
  using TTimes = std::map<std::string, std::vector<double>>;

  struct TCase {
    std::string Name;
    TSide Ours;
    std::vector<TSide> Theirs;
    TSetup Setup;
  };

  // Keeps each run's processor time per iteration (steadier than wall time when the machine is
  // shared), in the order the runs came, and counts the runs that failed.
  class TReporter : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& run : runs) {
        if (run.error_occurred) ++FErrors;
        if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0)
          FTimes[run.run_name.function_name].push_back(run.cpu_accumulated_time /
                                                       static_cast<double>(run.iterations));
      }
      ConsoleReporter::ReportRuns(runs);
    }
    const TTimes& Times() const { return FTimes; }
    int Errors() const { return FErrors; }

   private:
    TTimes FTimes;
    int FErrors = 0;
  };

  static std::string RunName(const TCase& c, const TSide& side) { return c.Name + "/" + side.Name; }

  void Register(int pairs) {
    for (const TCase& c : FCases)
      for (int pair = 0; pair < pairs; ++pair) {
        RegisterSide(c, c.Ours);
        for (const TSide& theirs : c.Theirs) RegisterSide(c, theirs);
      }
  }

  static void RegisterSide(const TCase& c, const TSide& side) {
    benchmark::internal::Benchmark* b =
        benchmark::RegisterBenchmark(RunName(c, side).c_str(), side.Body);
    if (c.Setup) c.Setup(b);
  }

  static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  static std::string Duration(double seconds) {
    const char* units[] = {"s", "ms", "us", "ns"};
    int u = 0;
    while (u < 3 && seconds < 1) {
      seconds *= 1000;
      ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3g %s", seconds, units[u]);
    return text;
  }

  void PrintTable(const TTimes& times) const {
    struct TRow {
      std::string Case, Ours, Theirs, Ratio, Spread;
    };
    std::vector<TRow> rows;
    for (const TCase& c : FCases) {
      const auto ours = times.find(RunName(c, c.Ours));
      if (ours == times.end()) continue;
      for (const TSide& side : c.Theirs) {
        const auto theirs = times.find(RunName(c, side));
        if (theirs == times.end()) continue;
        // The k-th run of one side pairs with the k-th run of the other: they ran next to
        // each other.
        std::vector<double> ratios;
        for (size_t k = 0; k < ours->second.size() && k < theirs->second.size(); ++k)
          if (ours->second[k] > 0) ratios.push_back(theirs->second[k] / ours->second[k]);
        if (ratios.empty()) continue;
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        char ratio[32], spread[64];
        std::snprintf(ratio, sizeof ratio, "%.2f", Median(ratios));
        std::snprintf(spread, sizeof spread, "%.2f-%.2f (%zu pairs)", *low, *high, ratios.size());
        rows.push_back({c.Name + " vs " + side.Name, Duration(Median(ours->second)),
                        Duration(Median(theirs->second)), ratio, spread});
      }
    }
    if (rows.empty()) return;
    size_t width = 4;
    for (const TRow& r : rows) width = std::max(width, r.Case.size());
    const int w = static_cast<int>(width);
    std::printf(
        "\nprocessor time per iteration, median over the pairs; ratio = theirs / ours "
        "(above 1: ours is faster)\n");
    std::printf("%-*s | %10s | %10s | %12s | %s\n", w, "case", "ours", "theirs", "median ratio",
                "spread");
    for (const TRow& r : rows)
      std::printf("%-*s | %10s | %10s | %12s | %s\n", w, r.Case.c_str(), r.Ours.c_str(),
                  r.Theirs.c_str(), r.Ratio.c_str(), r.Spread.c_str());
  }

  std::string FDescription;
  std::vector<TCase> FCases;
};
