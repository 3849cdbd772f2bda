// Reconcile's reading of the module log over a year of history: the whole folder read as before
// the point existed, the run with nothing new since the last (the point leaves the archives
// out), and the same day's log read alone, the cost the other two are held against. The folder
// is generated once per run (a year of monthly archives; --smoke: two small months).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/SmokeRun.h"
#include "bench/reconcile/HistoryGenerator.h"
#include "host/till/TJournalPoint.h"
#include "tests/support/TestFolder.h"

namespace {

namespace fs = std::filesystem;

HistoryBench::THistoryShape gShape;
fs::path gYear, gDay;
Reconcile::TJournalPoint gPoint;

// The till's tables after that year: every payment's row and sale, so the point carries nothing
// that is finished.
TLedger RecordsOf(const Reconcile::TJournal& journal) {
  TLedger records;
  int32_t id = 0;
  for (const Reconcile::TAttempt& a : journal.Attempts) {
    if (a.Reference.empty()) continue;
    TVoucherRow row;
    row.ID = ++id;
    row.Reference = a.Reference;
    row.Code = a.Code;
    row.Amount = 10;
    records.AddRow(row);
    records.AddSale({id, "linked", a.Reference});
  }
  return records;
}

void Scan(benchmark::State& state, const fs::path& folder, const Reconcile::TJournalPoint* from) {
  size_t attempts = 0;
  int skipped = 0;
  for (auto _ : state) {
    Reconcile::TLogScan scan;
    Reconcile::TJournalPoint reached;
    std::string error;
    if (!Reconcile::ScanLogFolderFrom(folder.string(), from, scan, reached, skipped, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    attempts = scan.Journal().Attempts.size();
    benchmark::DoNotOptimize(attempts);
  }
  state.counters["attempts"] = static_cast<double>(attempts);
  state.counters["files_left_out"] = skipped;
}

}  // namespace

int main(int argc, char** argv) {
  // --write-history DIR: only writes the year into DIR (to try sarn-till reconcile on it).
  if (argc == 3 && std::string(argv[1]) == "--write-history") {
    std::string error;
    if (HistoryBench::WriteHistory(argv[2], gShape, "db1", error)) return 0;
    std::fprintf(stderr, "reconcile_bench: %s\n", error.c_str());
    return 1;
  }
  if (BenchSmoke::Requested(argc, argv)) gShape = {2, 20, 3};
  TScratchFolder scratch("dovra-history");
  gYear = scratch.Dir() / "year";
  gDay = scratch.Dir() / "day";
  std::string error;
  if (!HistoryBench::WriteHistory(gYear, gShape, "db1", error) ||
      !HistoryBench::WriteHistory(gDay, {0, gShape.PaymentsPerDay, gShape.DaysPerMonth}, "db1",
                                  error)) {
    std::fprintf(stderr, "reconcile_bench: %s\n", error.c_str());
    return 1;
  }
  // The point a daily run leaves after the year.
  {
    Reconcile::TLogScan scan;
    int skipped = 0;
    if (!Reconcile::ScanLogFolderFrom(gYear.string(), nullptr, scan, gPoint, skipped, error)) {
      std::fprintf(stderr, "reconcile_bench: %s\n", error.c_str());
      return 1;
    }
    Reconcile::TReconcileOptions options;
    options.Database = "db1";
    gPoint.Open = Reconcile::OpenPart(gPoint.Open, RecordsOf(scan.Journal()), options);
    std::printf(
        "a year: %d monthly archives, %zu payments a day; the point carries %zu open "
        "press(es), %zu reverse(s)\n",
        gShape.Months, gShape.PaymentsPerDay, gPoint.Open.Attempts.size(),
        gPoint.Open.Reverses.size());
  }
  const auto ms = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
  };
  ms(benchmark::RegisterBenchmark("scan/year/whole",
                                  [](benchmark::State& s) { Scan(s, gYear, nullptr); }));
  ms(benchmark::RegisterBenchmark("scan/year/nothing_new_since_point",
                                  [](benchmark::State& s) { Scan(s, gYear, &gPoint); }));
  ms(benchmark::RegisterBenchmark("scan/one_day_alone",
                                  [](benchmark::State& s) { Scan(s, gDay, nullptr); }));

  std::vector<char*> args(argv, argv + argc);
  if (BenchSmoke::Requested(argc, argv)) args.insert(args.begin() + 1, BenchSmoke::kMinTimeFlag);
  args.erase(std::remove_if(args.begin() + 1, args.end(), BenchSmoke::IsFlag), args.end());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  struct TCounting : benchmark::ConsoleReporter {
    void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& r : runs) errors += r.error_occurred ? 1 : 0, ++ran;
      ConsoleReporter::ReportRuns(runs);
    }
    size_t ran = 0;
    int errors = 0;
  } reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return BenchSmoke::Verdict("reconcile_bench", reporter.ran, reporter.errors);
}
