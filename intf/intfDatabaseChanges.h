// Database-changes contract of the host's database upgrade (host unit intfDatabaseChanges): each
// contributor hands its SQL scripts to the host's script collector. The host creates each
// registered contributor through the registry and calls it during its database upgrade.
// User-interface thread.
#pragma once

#include <string>

#include "intf/intfPtr.h"

// The host's list of collected SQL scripts (one batch each), executed by the host's upgrade.
class IScriptCollector : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{6E2F9A41-0B7C-4D3E-8A15-C2D94F6B7E30}");
  // 1: the scripts that follow belong to the group name, until 2.
  virtual void BeginGroup(const std::string& name) = 0;
  // 2: closes the group opened by 1.
  virtual void EndGroup() = 0;
  // 3: the number of scripts collected.
  virtual int32_t Count() = 0;
  // 4: out the index-th script; false (script untouched) outside 0..Count()-1.
  virtual bool ScriptAt(int32_t index, std::string& script) = 0;
  // 5: forget every script collected.
  virtual void Clear() = 0;
  // 6: the schema version of the current group.
  virtual void SetVersion(int32_t version) = 0;
  // 7: the version set by 6.
  virtual int32_t GetVersion() = 0;
  // 8: the name of the contributing module, for the upgrade report.
  virtual void SetModuleName(const std::string& name) = 0;
  // 9: out the name set by 8.
  virtual void GetModuleName(std::string& name) = 0;
  // 10: a comment for the upgrade report.
  virtual void AddComment(const std::string& comment) = 0;
  // 11: a script read from the file at path.
  virtual void AddScriptFile(const std::string& path) = 0;
  // 12: one SQL batch, kept byte for byte.
  virtual void AddScript(const std::string& script) = 0;

 protected:
  ~IScriptCollector() = default;
};

class IDatabaseChanges : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{46A625EC-9BF5-42C0-AC4F-9E6719539020}");
  // 1: add this contributor's scripts to collector, in the order they run. context: the host's
  //    upgrade context. Both borrowed for the call.
  virtual void CollectChanges(IInterface* context, IScriptCollector* collector) = 0;

 protected:
  ~IDatabaseChanges() = default;
};
