// The registry keeps its entries in registration order (a till has a handful, so a vector is the
// right container) and a counted reference to every instance, factory and parent it is given.
#include "host/contract/ServiceRegistry.h"

#include <vector>

#include "intf/clsInterfacedObject.h"
#include "lib/common/AsciiCase.h"

namespace {

enum class TEntryKind { Instance, Factory, Singleton };

struct TEntry {
  TGUID Service;
  std::string Name;  // empty: the unnamed registration
  TEntryKind Kind = TEntryKind::Factory;
  TIntfPtr<IInterface> Instance;  // the instance, or a singleton's object once created
  TIntfPtr<IServiceFactory> Factory;
};

bool SameName(const std::string& a, const std::string& b) { return SameTextAscii(a, b); }

class TServiceRegistry final : public TImplements<TInterfacedObject, IServiceRegistry> {
 public:
  void RegisterInstance(const TGUID& service, IInterface* instance) override {
    RegisterNamedInstance(service, "", instance);
  }
  void RegisterNamedInstance(const TGUID& service, const std::string& name,
                             IInterface* instance) override {
    TEntry& e = Slot(service, name, TEntryKind::Instance);
    e.Instance = TIntfPtr<IInterface>::Share(instance);
  }
  void UnregisterInstance(const TGUID& service) override {
    Remove(service, "", TEntryKind::Instance);
  }
  void UnregisterNamedInstance(const TGUID& service, const std::string& name) override {
    Remove(service, name, TEntryKind::Instance);
  }
  bool IsRegistered(const TGUID& service) override { return Find(service, "") != nullptr; }
  bool IsNamedRegistered(const TGUID& service, const std::string& name) override {
    return Find(service, name) != nullptr;
  }
  void RegisterFactory(const TGUID& service, IServiceFactory* factory) override {
    RegisterNamedFactory(service, "", factory);
  }
  void RegisterNamedFactory(const TGUID& service, const std::string& name,
                            IServiceFactory* factory) override {
    Slot(service, name, TEntryKind::Factory).Factory = TIntfPtr<IServiceFactory>::Share(factory);
  }
  void RegisterSingletonFactory(const TGUID& service, IServiceFactory* factory) override {
    RegisterNamedSingletonFactory(service, "", factory);
  }
  void RegisterNamedSingletonFactory(const TGUID& service, const std::string& name,
                                     IServiceFactory* factory) override {
    Slot(service, name, TEntryKind::Singleton).Factory = TIntfPtr<IServiceFactory>::Share(factory);
  }
  bool ResolveNamedService(const TGUID& service, const std::string& name,
                           TIntfPtr<IInterface>& instance) override {
    instance.Clear();
    if (TEntry* e = Find(service, name)) return Serve(*e, instance);
    TIntfPtr<IServiceRegistry> parent = FParent;
    return parent && parent->ResolveNamedService(service, name, instance);
  }
  bool GetFactory(const TGUID& service, TIntfPtr<IServiceFactory>& factory) override {
    return GetNamedFactory(service, "", factory);
  }
  bool GetNamedFactory(const TGUID& service, const std::string& name,
                       TIntfPtr<IServiceFactory>& factory) override {
    TEntry* e = Find(service, name);
    factory = e ? e->Factory : nullptr;
    return static_cast<bool>(factory);
  }
  int32_t NameCount(const TGUID& service) override {
    int32_t n = 0;
    for (const TEntry& e : FEntries)
      if (e.Service == service && !e.Name.empty()) ++n;
    return n;
  }
  bool NameAt(const TGUID& service, int32_t index, std::string& name) override {
    for (const TEntry& e : FEntries)
      if (e.Service == service && !e.Name.empty() && index-- == 0) {
        name = e.Name;
        return true;
      }
    return false;
  }
  int32_t Count() override { return static_cast<int32_t>(FEntries.size()); }
  bool EntryAt(int32_t index, TGUID& service, std::string& name) override {
    if (index < 0 || index >= Count()) return false;
    service = FEntries[index].Service;
    name = FEntries[index].Name;
    return true;
  }
  void SetParent(IServiceRegistry* parent) override {
    FParent = TIntfPtr<IServiceRegistry>::Share(parent == this ? nullptr : parent);
  }
  bool GetParent(TIntfPtr<IServiceRegistry>& parent) override {
    parent = FParent;
    return static_cast<bool>(parent);
  }
  void Clear() override {
    // Entries are released outside the vector so that a destructor calling back into the
    // registry finds it consistent.
    std::vector<TEntry> dropped;
    dropped.swap(FEntries);
  }
  void UnregisterFactory(const TGUID& service) override { UnregisterNamedFactory(service, ""); }
  void UnregisterNamedFactory(const TGUID& service, const std::string& name) override {
    if (!Remove(service, name, TEntryKind::Factory)) Remove(service, name, TEntryKind::Singleton);
  }
  void UnregisterAll(const TGUID& service) override {
    std::vector<TEntry> dropped;
    for (auto it = FEntries.begin(); it != FEntries.end();) {
      if (it->Service == service) {
        dropped.push_back(std::move(*it));
        it = FEntries.erase(it);
      } else {
        ++it;
      }
    }
  }
  void SetDefaultName(const TGUID& service, const std::string& name) override {
    for (auto& d : FDefaults)
      if (d.first == service) {
        d.second = name;
        return;
      }
    FDefaults.emplace_back(service, name);
  }
  bool GetDefaultName(const TGUID& service, std::string& name) override {
    for (auto& d : FDefaults)
      if (d.first == service) {
        name = d.second;
        return true;
      }
    return false;
  }
  void CreateScope(TIntfPtr<IServiceRegistry>& scope) override {
    scope = NewServiceRegistry();
    scope->SetParent(this);
  }
  bool ResolveService(const TGUID& service, TIntfPtr<IInterface>& instance) override {
    instance.Clear();
    TEntry* e = Find(service, "");
    std::string name;
    if (!e && GetDefaultName(service, name)) e = Find(service, name);
    if (!e)
      for (TEntry& candidate : FEntries)
        if (candidate.Service == service) {
          e = &candidate;
          break;
        }
    if (e) return Serve(*e, instance);
    TIntfPtr<IServiceRegistry> parent = FParent;
    return parent && parent->ResolveService(service, instance);
  }

 private:
  TEntry* Find(const TGUID& service, const std::string& name) {
    for (TEntry& e : FEntries)
      if (e.Service == service && SameName(e.Name, name)) return &e;
    return nullptr;
  }

  // A registration replaces an earlier one of the same GUID and name, whatever its kind.
  TEntry& Slot(const TGUID& service, const std::string& name, TEntryKind kind) {
    TEntry* e = Find(service, name);
    if (!e) {
      FEntries.push_back(TEntry{service, name, kind, {}, {}});
      return FEntries.back();
    }
    TEntry old = std::move(*e);
    *e = TEntry{service, name, kind, {}, {}};
    return *e;  // old is released here, after the slot is consistent again
  }

  bool Remove(const TGUID& service, const std::string& name, TEntryKind kind) {
    for (auto it = FEntries.begin(); it != FEntries.end(); ++it)
      if (it->Service == service && SameName(it->Name, name) && it->Kind == kind) {
        TEntry dropped = std::move(*it);
        FEntries.erase(it);
        return true;
      }
    return false;
  }

  // Hands out the entry's object queried for the entry's GUID. The factory is held by a local
  // reference: CreateInstance may unregister it meanwhile.
  bool Serve(TEntry& entry, TIntfPtr<IInterface>& instance) {
    const TGUID service = entry.Service;
    const std::string name = entry.Name;
    TIntfPtr<IInterface> object;
    if (entry.Kind == TEntryKind::Factory) {
      TIntfPtr<IServiceFactory> factory = entry.Factory;
      if (factory) factory->CreateInstance(object);
    } else if (entry.Kind == TEntryKind::Singleton && !entry.Instance) {
      TIntfPtr<IServiceFactory> factory = entry.Factory;
      if (factory) factory->CreateInstance(object);
      if (TEntry* again = Find(service, name)) again->Instance = object;
    } else {
      object = entry.Instance;
    }
    if (!object) return false;
    void* raw = nullptr;
    if (object->QueryInterface(service, &raw) != S_OK_RESULT || !raw) return false;
    instance = TIntfPtr<IInterface>::Adopt(static_cast<IInterface*>(raw));
    return true;
  }

  std::vector<TEntry> FEntries;
  std::vector<std::pair<TGUID, std::string>> FDefaults;
  TIntfPtr<IServiceRegistry> FParent;
};

}  // namespace

TIntfPtr<IServiceRegistry> NewServiceRegistry() { return MakeObject<TServiceRegistry>(); }
