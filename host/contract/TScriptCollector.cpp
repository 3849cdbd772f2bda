#include "host/contract/TScriptCollector.h"

#include "lib/common/FileText.h"

void TScriptCollector::BeginGroup(const std::string& name) {
  FGroup = name;
  FModuleName.clear();
  FVersion = 0;
}

void TScriptCollector::EndGroup() { BeginGroup(""); }

int32_t TScriptCollector::Count() { return static_cast<int32_t>(FScripts.size()); }

bool TScriptCollector::ScriptAt(int32_t index, std::string& script) {
  if (index < 0 || index >= Count()) return false;
  script = FScripts[index].Script;
  return true;
}

void TScriptCollector::Clear() {
  FScripts.clear();
  FComments.clear();
}

void TScriptCollector::SetVersion(int32_t version) { FVersion = version; }

int32_t TScriptCollector::GetVersion() { return FVersion; }

void TScriptCollector::SetModuleName(const std::string& name) { FModuleName = name; }

void TScriptCollector::GetModuleName(std::string& name) { name = FModuleName; }

void TScriptCollector::AddComment(const std::string& comment) {
  FComments.push_back(FGroup.empty() ? comment : FGroup + ": " + comment);
}

void TScriptCollector::AddScriptFile(const std::string& path) {
  TCollectedScript& entry = Next();
  entry.File = path;
  ReadWholeFile(path, entry.Script, entry.Error);
}

void TScriptCollector::AddScript(const std::string& script) { Next().Script = script; }

TCollectedScript& TScriptCollector::Next() {
  TCollectedScript& entry = FScripts.emplace_back();
  entry.Group = FGroup;
  entry.ModuleName = FModuleName;
  entry.Version = FVersion;
  return entry;
}
