// sarn-till's script collector (IScriptCollector): the list of SQL scripts the database-changes
// contributors hand over during an upgrade, each with the group (contributor) it came in.
// The upgrade runs them and keeps what it ran in the till's database (SarnSchemaScripts).
#pragma once

#include <string>
#include <vector>

#include "intf/clsInterfacedObject.h"
#include "intf/intfDatabaseChanges.h"

struct TCollectedScript {
  std::string Group;       // the contributor's name (BeginGroup)
  std::string ModuleName;  // SetModuleName within the group, if any
  int32_t Version = 0;     // SetVersion within the group, if any
  std::string Script;      // the batch, unchanged
  std::string File;        // AddScriptFile: the file it was read from
  std::string Error;       // AddScriptFile: why the file could not be read (the script is empty)
};

class TScriptCollector final : public TImplements<TInterfacedObject, IScriptCollector> {
 public:
  void BeginGroup(const std::string& name) override;
  void EndGroup() override;
  int32_t Count() override;
  bool ScriptAt(int32_t index, std::string& script) override;
  void Clear() override;
  void SetVersion(int32_t version) override;
  int32_t GetVersion() override;
  void SetModuleName(const std::string& name) override;
  void GetModuleName(std::string& name) override;
  void AddComment(const std::string& comment) override;
  // Reads the file at once: a file that changes or goes before the upgrade runs cannot surprise.
  void AddScriptFile(const std::string& path) override;
  void AddScript(const std::string& script) override;

  const std::vector<TCollectedScript>& Scripts() const { return FScripts; }
  // Comments in the order given, each prefixed with its group's name.
  const std::vector<std::string>& Comments() const { return FComments; }

 private:
  TCollectedScript& Next();

  std::string FGroup;
  std::string FModuleName;
  int32_t FVersion = 0;
  std::vector<TCollectedScript> FScripts;
  std::vector<std::string> FComments;
};
