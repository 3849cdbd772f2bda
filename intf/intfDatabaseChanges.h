// Database-changes contract of the host's database upgrade (host unit intfDatabaseChanges): each
// contributor hands its SQL scripts to the host's script collector. User-interface thread.
#pragma once

#include <string>

#include "intfPtr.h"

// The host's list of collected SQL scripts (one batch each), executed by the host's upgrade.
class IScriptCollector : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{6E2F9A41-0B7C-4D3E-8A15-C2D94F6B7E30}");
  virtual void BeginGroup(const std::string& name) = 0;           // 1: scripts that follow belong to name
  virtual void EndGroup() = 0;                                    // 2
  virtual int32_t Count() = 0;                                    // 3: scripts collected
  virtual bool ScriptAt(int32_t index, std::string& script) = 0;  // 4
  virtual void Clear() = 0;                                       // 5
  virtual void SetVersion(int32_t version) = 0;                   // 6: schema version of the group
  virtual int32_t GetVersion() = 0;                               // 7
  virtual void SetModuleName(const std::string& name) = 0;        // 8
  virtual void GetModuleName(std::string& name) = 0;              // 9
  virtual void AddComment(const std::string& comment) = 0;        // 10: for the upgrade report
  virtual void AddScriptFile(const std::string& path) = 0;        // 11: a script read from a file
  virtual void AddScript(const std::string& script) = 0;          // 12: one SQL batch, unchanged

 protected:
  ~IScriptCollector() = default;
};

class IDatabaseChanges : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{46A625EC-9BF5-42C0-AC4F-9E6719539020}");
  // 1: hand this contributor's scripts to collector. context: the host's upgrade context.
  virtual void CollectChanges(IInterface* context, IScriptCollector* collector) = 0;

 protected:
  ~IDatabaseChanges() = default;
};
