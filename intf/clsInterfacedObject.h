// The generic counted object: one atomic reference count and a QueryInterface built from the
// list of interfaces a class implements, and the one factory template that hands such objects
// out. Objects start with one count owned by their creator, so a constructor may hand out and
// drop references to itself safely. Objects are made only through MakeObject.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <utility>

#include "intf/intfDI.h"

template <class T, class... A>
TIntfPtr<T> MakeObject(A&&... args);

// Answers only the base interface; derived classes add theirs through TImplements.
class TInterfacedObject : public IInterface {
 public:
  THResult QueryInterface(const TGUID& iid, void** obj) noexcept override {
    if (!obj) return E_NOINTERFACE_RESULT;
    if (iid == IInterface::IID) {
      *obj = static_cast<IInterface*>(this);
      AddRef();
      return S_OK_RESULT;
    }
    *obj = nullptr;
    return E_NOINTERFACE_RESULT;
  }
  int32_t AddRef() noexcept override {
    return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  int32_t Release() noexcept override {
    const int32_t left = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  // The object's own base interface (the one QueryInterface answers for IInterface::IID).
  IInterface* BaseInterface() noexcept { return static_cast<IInterface*>(this); }

  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;

 protected:
  TInterfacedObject() = default;
  virtual ~TInterfacedObject() = default;

 private:
  // A counted object lives on the heap, made by MakeObject and freed by its last Release;
  // a plain `new` elsewhere would hand out an object whose first count nobody owns.
  template <class T, class... A>
  friend TIntfPtr<T> MakeObject(A&&... args);
  static void* operator new(std::size_t size) { return ::operator new(size); }
  static void* operator new[](std::size_t) = delete;

  std::atomic<int32_t> FRefCount{1};
};

// Adds interfaces Intfs... to Base (TInterfacedObject or a class derived from it): one
// QueryInterface, AddRef and Release serve every interface's slots.
template <class Base, class... Intfs>
class TImplements : public Base, public Intfs... {
 public:
  using Base::Base;

  THResult QueryInterface(const TGUID& iid, void** obj) noexcept override {
    if (!obj) return E_NOINTERFACE_RESULT;
    void* found = nullptr;
    ((found == nullptr && iid == Intfs::IID ? (found = static_cast<Intfs*>(this), 0) : 0), ...);
    if (found) {
      *obj = found;
      Base::AddRef();
      return S_OK_RESULT;
    }
    return Base::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return Base::AddRef(); }
  int32_t Release() noexcept override { return Base::Release(); }

 protected:
  TImplements() = default;
  ~TImplements() override = default;
};

// Creates a counted object; the returned pointer owns its first count.
template <class T, class... A>
TIntfPtr<T> MakeObject(A&&... args) {
  return TIntfPtr<T>::Adopt(new T(std::forward<A>(args)...));
}

// The factory of a service whose objects are T: every CreateInstance makes a new T and hands out
// its base interface; the registry's caller queries it for the service interface.
template <class T>
class TObjectFactory final : public TImplements<TInterfacedObject, IServiceFactory> {
 public:
  void CreateInstance(TIntfPtr<IInterface>& instance) override {
    instance = TIntfPtr<IInterface>::Share(MakeObject<T>()->BaseInterface());
  }
};
