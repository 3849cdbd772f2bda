// Host service registry and service factories (host unit intfDI). The host hands its registry to
// the module's InitModule; the module registers its factories there and resolves every host
// service through it. All calls on the host's user-interface thread.
#pragma once

#include <string>

#include "intf/intfPtr.h"

// Creates one object of a service. Out: a counted reference to the new object's base
// interface, owned by the caller, who queries it for the service interface. Called by the
// registry on every resolve of a factory entry (once for a singleton entry).
class IServiceFactory : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{5C0E8EF1-24C4-4E5E-89D8-CB1B423A164C}");
  virtual void CreateInstance(TIntfPtr<IInterface>& instance) = 0;  // 1 (slot 3)

 protected:
  ~IServiceFactory() = default;
};

// The registry. Positions are the contract: the module calls 7, 8, 21, 22 and 27; the others
// are the host's and keep their places so that slot numbers match.
// The module registers in InitModule and unregisters in FinalModule; it resolves in between.
// Entries are (GUID, name); the empty name is the unnamed registration. An entry is served by a
// registered instance, by a factory (a new object per resolve) or by a singleton factory (one
// object created on first resolve, then shared).
class IServiceRegistry : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{2B8D4C35-6F1A-4E7B-9C2D-3A5E7F901B24}");

  // 1: serve this GUID with the given object (borrowed; the registry keeps its own reference).
  virtual void RegisterInstance(const TGUID& service, IInterface* instance) = 0;
  // 2: as 1, under a name.
  virtual void RegisterNamedInstance(const TGUID& service, const std::string& name,
                                     IInterface* instance) = 0;
  // 3: drop the unnamed instance entry of the GUID.
  virtual void UnregisterInstance(const TGUID& service) = 0;
  // 4: drop the named instance entry.
  virtual void UnregisterNamedInstance(const TGUID& service, const std::string& name) = 0;
  // 5: true when an unnamed entry of any kind serves the GUID.
  virtual bool IsRegistered(const TGUID& service) = 0;
  // 6: true when an entry of that GUID and name exists.
  virtual bool IsNamedRegistered(const TGUID& service, const std::string& name) = 0;
  // 7: later resolves of the GUID call the factory's CreateInstance (the registry keeps it).
  virtual void RegisterFactory(const TGUID& service, IServiceFactory* factory) = 0;
  // 8: as 7, under a name that tells several implementations of one GUID apart.
  virtual void RegisterNamedFactory(const TGUID& service, const std::string& name,
                                    IServiceFactory* factory) = 0;
  // 9: as 7, but the first object created is kept and shared by every later resolve.
  virtual void RegisterSingletonFactory(const TGUID& service, IServiceFactory* factory) = 0;
  // 10: as 9, under a name.
  virtual void RegisterNamedSingletonFactory(const TGUID& service, const std::string& name,
                                             IServiceFactory* factory) = 0;
  // 11: resolve the entry of that GUID and name (no fallback to other names); out as in 27.
  virtual bool ResolveNamedService(const TGUID& service, const std::string& name,
                                   TIntfPtr<IInterface>& instance) = 0;
  // 12: out a counted reference to the factory of the unnamed entry; false (empty) when none.
  virtual bool GetFactory(const TGUID& service, TIntfPtr<IServiceFactory>& factory) = 0;
  // 13: as 12, for the named entry.
  virtual bool GetNamedFactory(const TGUID& service, const std::string& name,
                               TIntfPtr<IServiceFactory>& factory) = 0;
  // 14: number of named entries of the GUID.
  virtual int32_t NameCount(const TGUID& service) = 0;
  // 15: name of the index-th named entry of the GUID, in registration order; false (name
  // untouched) outside 0..NameCount()-1.
  virtual bool NameAt(const TGUID& service, int32_t index, std::string& name) = 0;
  // 16: number of entries of every GUID.
  virtual int32_t Count() = 0;
  // 17: GUID and name of the index-th entry, in registration order; false (both untouched)
  // outside 0..Count()-1.
  virtual bool EntryAt(int32_t index, TGUID& service, std::string& name) = 0;
  // 18: a registry asked when this one has no entry (nullptr: none); borrowed, the registry
  // keeps its own reference.
  virtual void SetParent(IServiceRegistry* parent) = 0;
  // 19: out a counted reference to the parent; false (empty) when there is none.
  virtual bool GetParent(TIntfPtr<IServiceRegistry>& parent) = 0;
  // 20: drop every entry.
  virtual void Clear() = 0;
  // 21: drop the unnamed factory entry of the GUID.
  virtual void UnregisterFactory(const TGUID& service) = 0;
  // 22: drop the factory entry of that GUID and name.
  virtual void UnregisterNamedFactory(const TGUID& service, const std::string& name) = 0;
  // 23: drop every entry of the GUID, named or not.
  virtual void UnregisterAll(const TGUID& service) = 0;
  // 24: the named entry that 27 uses when the GUID has no unnamed entry.
  virtual void SetDefaultName(const TGUID& service, const std::string& name) = 0;
  // 25: the default name set by 24; false (name untouched) when none was set.
  virtual bool GetDefaultName(const TGUID& service, std::string& name) = 0;
  // 26: out a counted reference to a new child registry whose parent is this one.
  virtual void CreateScope(TIntfPtr<IServiceRegistry>& scope) = 0;
  // 27: resolve the GUID: the unnamed entry, else the default name, else the first named entry.
  // In: instance cleared by the caller. Out: true with a counted reference to the service's
  // interface for that GUID; false with instance left empty.
  virtual bool ResolveService(const TGUID& service, TIntfPtr<IInterface>& instance) = 0;

 protected:
  ~IServiceRegistry() = default;
};

// Resolves a service and queries it for T; empty when the registry has none.
template <class T>
TIntfPtr<T> ResolveAs(IServiceRegistry* registry, const TGUID& service = T::IID) {
  TIntfPtr<IInterface> found;
  if (!registry) return {};
  registry->ResolveService(service, found);
  return found.template As<T>();
}
