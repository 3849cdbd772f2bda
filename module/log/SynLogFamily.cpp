// The family: settings, the file name they give, the logger's lifetime, and the fan-out of
// exceptions reported by the exception hook to every family that listens for them.
#include <algorithm>
#include <memory>
#include <vector>

#include "lib/common/PathParts.h"
#include "module/log/SynLog.h"
#include "module/log/SynLogInternal.h"

namespace {

struct TListeners {
  std::mutex lock;
  std::vector<TSynLogFamily*> families;
};

// Built once in static storage and never destroyed: the exception hook may still report after
// the module's statics are gone at process exit.
TListeners& ExceptionListeners() {
  alignas(TListeners) static unsigned char storage[sizeof(TListeners)];
  static TListeners* const listeners = std::construct_at(reinterpret_cast<TListeners*>(storage));
  return *listeners;
}

}  // namespace

TSynLogFamily::TSynLogFamily() : TSynLogFamily(FOwnLock) {}

TSynLogFamily::TSynLogFamily(std::mutex& entryLock) : FEntryLock(entryLock) {
  using namespace SynLogInternal;
  ExeFileName = ExecutablePath();
  ComputerName = HostName();
  UserName = CurrentUserName();
  ModuleFileName = OwnLibraryPath();
  ModuleVersion = SynLogInternal::ModuleVersion();
  // No program file known: no folder either, and nothing is archived.
  FDestinationPath = ExeFileName.empty() ? std::string() : FolderOf(ExeFileName);
  FArchivePath = FDestinationPath;
}

TSynLogFamily::~TSynLogFamily() { Finish(); }

void TSynLogFamily::SetLevel(TSynLogInfos level) {
  if (level.Has(TSynLogInfo::sllEnter)) level.Include(TSynLogInfo::sllLeave);
  if (level.Has(TSynLogInfo::sllLeave)) level.Include(TSynLogInfo::sllEnter);
  FLevel = level;
  if ((level.Has(TSynLogInfo::sllException) || level.Has(TSynLogInfo::sllExceptionOS)) &&
      !FListening) {
    Add();
    TListeners& listeners = ExceptionListeners();
    std::lock_guard<std::mutex> guard(listeners.lock);
    listeners.families.push_back(this);
    FListening = true;
  }
}

void TSynLogFamily::SetDestinationPath(const std::string& folder) {
  FDestinationPath = WithSeparator(folder);
}

void TSynLogFamily::SetArchivePath(const std::string& folder) {
  FArchivePath = WithSeparator(folder);
}

TSynLog& TSynLogFamily::Add() {
  if (!FLog) FLog = std::make_unique<TSynLog>(*this);
  return *FLog;
}

std::string TSynLogFamily::BuildFileName() const {
  using namespace SynLogInternal;
  std::string name;
  if (!CustomFileName.empty()) {
    name = CustomFileName;
  } else {
    name = WithoutExtension(NameOf(ExeFileName));
    if (IncludeComputerNameInFileName) name += " (" + ComputerName + ")";
  }
  if (!ModuleFileName.empty()) name += " " + NameOf(ModuleFileName);
  return FDestinationPath + name + DefaultExtension;
}

void TSynLogFamily::Finish() noexcept {
  if (FFinished) return;
  FFinished = true;
  if (FListening) {
    TListeners& listeners = ExceptionListeners();
    std::lock_guard<std::mutex> guard(listeners.lock);
    std::erase(listeners.families, this);
    // The list lives in never-destroyed storage: give its memory back once nobody listens, or
    // unloading the module would strand it.
    if (listeners.families.empty()) std::vector<TSynLogFamily*>().swap(listeners.families);
    FListening = false;
  }
  FLog.reset();
  // Old files that cannot be archived now (no memory, a full disk) stay for the next unload.
  try {
    ArchiveOldFiles();
  } catch (...) {
  }
}

void SynLogNotifyException(TSynLogInfo level, std::string_view className, std::string_view message,
                           const void* address, const void* const* trace, size_t traceCount) {
  if (SynLogInternal::tInsideEntry) return;
  TListeners& listeners = ExceptionListeners();
  std::lock_guard<std::mutex> guard(listeners.lock);
  for (TSynLogFamily* family : listeners.families)
    if (family->Level().Has(level))
      family->Add().LogException(level, className, message, address, trace, traceCount);
}
