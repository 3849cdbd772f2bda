#include "module/log/modLog.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "lib/common/PathParts.h"
#include "module/log/SynLog.h"
#include "module/log/SynLogInternal.h"

namespace {

// The module's family is guarded by the lock its own entries take: a line costs one lock, and
// no line can reach a family that is being finished. The state outlives static destruction on
// purpose: the library's unload hook may run after the module's statics are gone at process
// exit, and must still find a valid (empty or finished) log there.
struct ModuleLog {
  std::mutex entries;                     // the family's entry lock; guards `family`
  std::mutex lifetime;                    // one start or finish at a time
  std::unique_ptr<TSynLogFamily> family;  // set and cleared under `entries`
};

ModuleLog& State() {
  alignas(ModuleLog) static unsigned char storage[sizeof(ModuleLog)];
  static ModuleLog* const state = std::construct_at(reinterpret_cast<ModuleLog*>(storage));
  return *state;
}

constinit std::atomic<TModuleLogSink*> gSink{nullptr};

// The line to the sink, when one is set: true then, whatever the sink did with it.
template <class Write>
bool ToSink(Write&& write) noexcept {
  TModuleLogSink* sink = gSink.load(std::memory_order_acquire);
  if (!sink) return false;
  try {
    write(*sink);
  } catch (...) {
  }
  return true;
}

// A line that cannot be written (no memory, a lock that fails) is dropped: the log never throws
// into the payment that wrote it. An exception raised while the entry lock is held is not
// reported back into this log (it would wait for that very lock).
template <class Write>
void Entry(Write&& write) noexcept {
  SynLogInternal::TEntryGuard inside;
  try {
    ModuleLog& state = State();
    std::lock_guard<std::mutex> guard(state.entries);
    if (state.family) write(state.family->Add());
  } catch (...) {
  }
}

}  // namespace

namespace ModLog {

void SetSink(TModuleLogSink* sink) { gSink.store(sink, std::memory_order_release); }

void Info(const char* text) {
  if (ToSink([text](TModuleLogSink& sink) { sink.Text(text ? text : ""); })) return;
  Entry([text](TSynLog& log) { log.LogLocked(TSynLogInfo::sllInfo, text ? text : ""); });
}

void Info(const char* format, const std::string& arg) {
  if (ToSink([format, &arg](TModuleLogSink& sink) { sink.Format(format, arg); })) return;
  Entry([format, &arg](TSynLog& log) {
    log.LogLocked(TSynLogInfo::sllInfo, format, {TSynLogArg(arg)});
  });
}

void Info(const char* format, int32_t arg) {
  if (ToSink([format, arg](TModuleLogSink& sink) { sink.Format(format, std::to_string(arg)); }))
    return;
  Entry([format, arg](TSynLog& log) {
    log.LogLocked(TSynLogInfo::sllInfo, format, {TSynLogArg(arg)});
  });
}

void ApplyModuleSettings(TSynLogFamily& family, const std::string& moduleFile) {
  family.ModuleFileName = moduleFile;
  family.SetLevel(TSynLogInfos::AllLevels());
  family.ArchiveAfterDays = 2;
  family.SetDestinationPath(FolderOf(moduleFile));
  family.DefaultExtension = ".log";
  family.OnArchive = EventArchiveSynLZ;
  family.PerThreadLog = TSynLogPerThreadMode::ptMergedInOneFile;
  family.IncludeComputerNameInFileName = true;
  family.RotateFileSizeKB = 2048;
  family.RotateFileCount = 10;
  family.EndOfLineCRLF = true;
  family.FileExistsAction = TSynLogExistsAction::acAppendWithHeader;
  family.MaxArgumentText = kMaxArgumentText;
}

void StartModuleLog(const std::string& moduleFile) {
  ModuleLog& state = State();
  try {
    std::lock_guard<std::mutex> once(state.lifetime);
    {
      std::lock_guard<std::mutex> guard(state.entries);
      if (state.family) return;
    }
    // Built outside the entry lock: settings register the family with the exception hook, whose
    // entries take that lock.
    auto family = std::make_unique<TSynLogFamily>(state.entries);
    ApplyModuleSettings(*family, moduleFile);
    std::lock_guard<std::mutex> guard(state.entries);
    state.family = std::move(family);
  } catch (...) {
    // No memory to set the log up: the module runs without it rather than fail to load.
    return;
  }
  Info("Starting DovraVoucherPayment");
}

void FinishModuleLog() {
  ModuleLog& state = State();
  try {
    std::lock_guard<std::mutex> once(state.lifetime);
    std::unique_ptr<TSynLogFamily> family;
    {
      std::lock_guard<std::mutex> guard(state.entries);
      family.swap(state.family);
    }
    // Closing the file takes the entry lock, so the family is finished outside it.
    if (family) family->Finish();
  } catch (...) {
  }
}

bool LogFile(std::string& path, std::string& problem) {
  ModuleLog& state = State();
  // The family lives while the lifetime lock is held; the entry lock is the file's own, which
  // asking for its name takes.
  std::lock_guard<std::mutex> once(state.lifetime);
  if (!state.family) {
    path.clear();
    problem = "the module log was not set up";
    return false;
  }
  const TSynLog* log = nullptr;
  {
    std::lock_guard<std::mutex> guard(state.entries);  // the logger is made on first use
    log = state.family->Logger();
  }
  const std::string open = log ? log->FileName() : std::string();
  const std::string own = state.family->BuildFileName();
  path = open.empty() ? own : open;
  problem.clear();
  // Written under a second name because the log's own was unsafe: the till must hear of it,
  // since whoever planted that name may be waiting for the log there.
  const char* refused = log ? log->NameRefused() : nullptr;
  if (refused)
    problem =
        "its own name " + own + " is " + refused + " and is not written; " +
        (open.empty() ? std::string("remove it") : "it writes " + open + " instead; remove it");
  if (!open.empty()) return true;
  if (refused) return false;
  // The folder is asked again so that the reason names the system's own words for it.
  std::string folder = state.family->DestinationPath();
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    problem = "the module's folder " + folder + " is not writable (" + std::strerror(errno) + ")";
  else
    problem = "the module could not open " + path;
  return false;
}

}  // namespace ModLog
