// Entries per second of a typical module log line ("[TDovraVoucherAPI.Evaluate] Response : %"
// with a 120-byte text) for the module's logger beside spdlog's single-threaded file sink with an
// equivalent pattern, both buffered and with every entry handed to the operating system, and
// through the module's own entry point (ModLog::Info, the path a payment takes); prints
// the ratios at the end (taken from the single runs, so --benchmark_report_aggregates_only hides
// them; use --benchmark_repetitions=N for medians).
#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SynLog.h"
#include "modLog.h"

namespace {

const char* const kFormat = "[TDovraVoucherAPI.Evaluate] Response : %";

// 120 bytes, shaped like a voucher service answer.
const std::string& ResponseText() {
  static const std::string text = [] {
    std::string t = R"({"Success":true,"VoucherReference":"VR-2026-000123","DiscountAmount":12.50,)"
                    R"("Message":"Voucher valid","Code":"DV-7Q2K-9XRT"})";
    t.resize(120, ' ');
    return t;
  }();
  return text;
}

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "logbench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    FPath = pattern + "/";
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

enum class Mode { Buffered, WriteThrough, ModuleSettings };

void SynLogEntries(benchmark::State& state, Mode mode) {
  ScratchFolder folder;
  {
    TSynLogFamily family;
    family.ExeFileName = "/opt/till/Till.exe";
    family.ComputerName = "POS1";
    family.ModuleFileName = folder.Path() + "DovraVoucherPayment.smd";
    family.SetLevel(TSynLogInfos::AllLevels());
    family.SetDestinationPath(folder.Path());
    family.IncludeComputerNameInFileName = true;
    family.EndOfLineCRLF = true;
    family.FileExistsAction = acAppendWithHeader;
    family.BufferedWrites = mode == Mode::Buffered;
    if (mode == Mode::ModuleSettings) {
      family.RotateFileSizeKB = 2048;
      family.RotateFileCount = 10;
    }
    TSynLog& log = family.Add();
    const std::string& text = ResponseText();
    for (auto _ : state) log.Log(sllInfo, kFormat, {text});
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  }
}

void SpdlogEntries(benchmark::State& state, bool flushEach) {
  ScratchFolder folder;
  {
    auto sink =
        std::make_shared<spdlog::sinks::basic_file_sink_st>(folder.Path() + "spd.log", true);
    sink->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%Y%m%d %H%M%S%e %l  %v", spdlog::pattern_time_type::local, "\r\n"));
    spdlog::logger logger("bench", sink);
    logger.set_level(spdlog::level::info);
    if (flushEach) logger.flush_on(spdlog::level::info);
    const std::string& text = ResponseText();
    for (auto _ : state) logger.info("[TDovraVoucherAPI.Evaluate] Response : {}", text);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  }
}

// The path a payment takes: the module's entry point, with the module's own settings.
void ModLogEntries(benchmark::State& state) {
  ScratchFolder folder;
  ModLog::StartModuleLog(folder.Path() + "DovraVoucherPayment.smd");
  const std::string& text = ResponseText();
  for (auto _ : state) ModLog::Info(kFormat, text);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  ModLog::FinishModuleLog();
}

BENCHMARK_CAPTURE(SynLogEntries, buffered, Mode::Buffered);
BENCHMARK_CAPTURE(SpdlogEntries, buffered, false);
BENCHMARK_CAPTURE(SynLogEntries, write_through, Mode::WriteThrough);
BENCHMARK_CAPTURE(SpdlogEntries, flush_every_entry, true);
BENCHMARK_CAPTURE(SynLogEntries, module_settings_rotating, Mode::ModuleSettings);
BENCHMARK(ModLogEntries);

// Keeps each benchmark's entries per second (wall clock and CPU, median over repetitions) for the
// ratio lines printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
          run.real_accumulated_time > 0 && run.cpu_accumulated_time > 0) {
        const double n = static_cast<double>(run.iterations);
        const std::string name = run.run_name.args.empty()
                                     ? run.run_name.function_name
                                     : run.run_name.function_name + "/" + run.run_name.args;
        FWall[name].push_back(n / run.real_accumulated_time);
        FCpu[name].push_back(n / run.cpu_accumulated_time);
      }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nentries per second, module logger vs spdlog (median; wall clock | CPU time)\n");
    Ratio("buffered", "SynLogEntries/buffered", "SpdlogEntries/buffered");
    Ratio("written through every entry", "SynLogEntries/write_through",
          "SpdlogEntries/flush_every_entry");
    Ratio("module settings (2 MiB rotation)", "SynLogEntries/module_settings_rotating",
          "SpdlogEntries/flush_every_entry");
    Ratio("module entry point (ModLog::Info)", "ModLogEntries", "SpdlogEntries/flush_every_entry");
  }

 private:
  using Rates = std::map<std::string, std::vector<double>>;

  static double Median(const Rates& rates, const std::string& name) {
    const auto it = rates.find(name);
    if (it == rates.end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }

  void Ratio(const char* label, const std::string& ours, const std::string& theirs) const {
    const double wa = Median(FWall, ours), wb = Median(FWall, theirs);
    const double ca = Median(FCpu, ours), cb = Median(FCpu, theirs);
    if (wb <= 0 || cb <= 0) return;
    std::printf("%-34s %10.0f vs %10.0f ratio %.2f | %10.0f vs %10.0f ratio %.2f\n", label, wa, wb,
                wa / wb, ca, cb, ca / cb);
  }

  Rates FWall, FCpu;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
