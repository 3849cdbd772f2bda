// Test helpers for the payment method: calls by vtable position as the host makes them, and a
// store identity service to serve it.
#pragma once

#include <string>
#include <utility>

#include "intf/clsInterfacedObject.h"
#include "intf/intfDI.h"
#include "intf/intfStoreInfo.h"

// Calls operation `position` (1 = the first after QueryInterface, AddRef, Release) of an
// interface by reading its vtable, the way the host does: the interface pointer goes first.
template <class Sig>
struct TSlot;
template <class R, class... A>
struct TSlot<R(A...)> {
  template <class I>
  static R Call(I* intf, int position, A... args) {
    void* const* vtable = *reinterpret_cast<void* const* const*>(intf);
    using TFn = R (*)(I*, A...);
    const auto fn = reinterpret_cast<TFn>(vtable[2 + position]);
    return fn(intf, std::forward<A>(args)...);
  }
};

// A store service whose destruction the test can see (a kept reference would keep it alive).
class TTestStore final : public TImplements<TInterfacedObject, IStoreInfo> {
 public:
  TTestStore(int32_t id, bool* destroyed) : FId(id), FDestroyed(destroyed) {}
  ~TTestStore() override {
    if (FDestroyed) *FDestroyed = true;
  }
  int32_t GetStoreID() override {
    ++Calls;
    return FId;
  }
  void GetStoreName(std::string& name) override { name = "Test store"; }
  int32_t GetTillID() override { return 1; }
  int Calls = 0;

 private:
  int32_t FId;
  bool* FDestroyed;
};
