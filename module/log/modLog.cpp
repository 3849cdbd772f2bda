#include "modLog.h"

#include <memory>
#include <mutex>
#include <optional>

#include "SynLog.h"

namespace {

// The module's family outlives static destruction on purpose: the library's unload hook may
// run after the module's statics are gone at process exit, and must still find a valid (empty
// or finished) log there.
struct ModuleLog {
  std::mutex lock;
  std::optional<TSynLogFamily> family;
};

ModuleLog& State() {
  alignas(ModuleLog) static unsigned char storage[sizeof(ModuleLog)];
  static ModuleLog* const state = std::construct_at(reinterpret_cast<ModuleLog*>(storage));
  return *state;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

}  // namespace

namespace ModLog {

void Info(const char* text) {
  ModuleLog& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.family) state.family->Add().Log(sllInfo, text);
}

void Info(const char* format, const std::string& arg) {
  ModuleLog& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.family) state.family->Add().Log(sllInfo, format, {TSynLogArg(arg)});
}

void Info(const char* format, int32_t arg) {
  ModuleLog& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.family) state.family->Add().Log(sllInfo, format, {TSynLogArg(arg)});
}

void ApplyModuleSettings(TSynLogFamily& family, const std::string& moduleFile) {
  family.ModuleFileName = moduleFile;
  family.SetLevel(TSynLogInfos::AllLevels());
  family.ArchiveAfterDays = 2;
  family.SetDestinationPath(FolderOf(moduleFile));
  family.DefaultExtension = ".log";
  family.OnArchive = EventArchiveSynLZ;
  family.PerThreadLog = ptMergedInOneFile;
  family.IncludeComputerNameInFileName = true;
  family.RotateFileSizeKB = 2048;
  family.RotateFileCount = 10;
  family.EndOfLineCRLF = true;
  family.FileExistsAction = acAppendWithHeader;
}

void StartModuleLog(const std::string& moduleFile) {
  ModuleLog& state = State();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.family) return;
    ApplyModuleSettings(state.family.emplace(), moduleFile);
  }
  Info("Starting DovraVoucherPayment");
}

void FinishModuleLog() {
  ModuleLog& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.family) return;
  state.family->Finish();
  state.family.reset();
}

}  // namespace ModLog
