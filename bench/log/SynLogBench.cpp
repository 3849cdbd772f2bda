// Entries per second of a typical module log line ("[TDovraVoucherAPI.Evaluate] Response : %"
// with a 120-byte text) for the module's logger beside spdlog's single-threaded file sink with an
// equivalent pattern, both buffered and with every entry handed to the operating system, and
// through the module's own entry point (ModLog::Info, the path a payment takes); the sides run in
// turn and the table at the end gives the median ratio of the pairs and its spread.
#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/PairedComparison.h"
#include "module/log/SynLog.h"
#include "module/log/modLog.h"

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
    family.FileExistsAction = TSynLogExistsAction::acAppendWithHeader;
    family.BufferedWrites = mode == Mode::Buffered;
    if (mode == Mode::ModuleSettings) {
      family.RotateFileSizeKB = 2048;
      family.RotateFileCount = 10;
    }
    TSynLog& log = family.Add();
    const std::string& text = ResponseText();
    for (auto _ : state) log.Log(TSynLogInfo::sllInfo, kFormat, {text});
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

}  // namespace

int main(int argc, char** argv) {
  TPairedComparison comparison(
      "Entries of a typical module log line for the module's logger beside spdlog's\n"
      "single-threaded file sink with an equivalent pattern.");
  const TPairedComparison::TSide spdlogFlushed{"spdlog_flush_every_entry",
                                               [](benchmark::State& s) { SpdlogEntries(s, true); }};
  comparison.Add("buffered",
                 {"synlog", [](benchmark::State& s) { SynLogEntries(s, Mode::Buffered); }},
                 {{"spdlog", [](benchmark::State& s) { SpdlogEntries(s, false); }}});
  comparison.Add("written_through",
                 {"synlog", [](benchmark::State& s) { SynLogEntries(s, Mode::WriteThrough); }},
                 {spdlogFlushed});
  comparison.Add("module_settings_rotating",
                 {"synlog", [](benchmark::State& s) { SynLogEntries(s, Mode::ModuleSettings); }},
                 {spdlogFlushed});
  comparison.Add("module_entry_point", {"ModLog::Info", ModLogEntries}, {spdlogFlushed});
  return comparison.Main(argc, argv);
}
