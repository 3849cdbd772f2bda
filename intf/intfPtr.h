// TIntfPtr: the one owner of counted interface references. Nothing else calls AddRef/Release.
// Ownership verbs: Share (take a new reference), Adopt (take over a reference already counted),
// Detach (give the reference away uncounted), Clear (release now), Out (clear and expose the
// slot for an out-parameter that fills in an already counted reference).
#pragma once

#include <utility>

#include "intf/intfBase.h"

template <class T>
class TIntfPtr {
 public:
  TIntfPtr() = default;
  TIntfPtr(std::nullptr_t) {}
  ~TIntfPtr() { Clear(); }

  TIntfPtr(const TIntfPtr& other) : FPtr(other.FPtr) {
    if (FPtr) FPtr->AddRef();
  }
  TIntfPtr(TIntfPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
  template <class U>
  TIntfPtr(const TIntfPtr<U>& other) : FPtr(other.Get()) {
    if (FPtr) FPtr->AddRef();
  }
  template <class U>
  TIntfPtr(TIntfPtr<U>&& other) noexcept : FPtr(other.Detach()) {}

  TIntfPtr& operator=(const TIntfPtr& other) {
    TIntfPtr(other).Swap(*this);
    return *this;
  }
  TIntfPtr& operator=(TIntfPtr&& other) noexcept {
    TIntfPtr(std::move(other)).Swap(*this);
    return *this;
  }
  TIntfPtr& operator=(std::nullptr_t) {
    Clear();
    return *this;
  }

  // Takes a new counted reference to p.
  static TIntfPtr Share(T* p) {
    TIntfPtr r;
    r.FPtr = p;
    if (p) p->AddRef();
    return r;
  }
  // Takes over a reference that the caller already counted (for example from QueryInterface).
  static TIntfPtr Adopt(T* p) {
    TIntfPtr r;
    r.FPtr = p;
    return r;
  }

  // Gives up the reference without releasing it; the caller now owns one count.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(FPtr, nullptr); }

  // Releases the held reference, if any.
  void Clear() {
    if (T* p = std::exchange(FPtr, nullptr)) p->Release();
  }

  // For an out-parameter of a raw interface pointer: releases what is held and exposes the slot.
  T** Out() {
    Clear();
    return &FPtr;
  }

  // Asks the object for interface U by U::IID; empty when the object does not support it.
  template <class U>
  TIntfPtr<U> As() const {
    TIntfPtr<U> r;
    if (FPtr) {
      void* raw = nullptr;
      if (FPtr->QueryInterface(U::IID, &raw) == S_OK_RESULT && raw)
        r = TIntfPtr<U>::Adopt(static_cast<U*>(raw));
    }
    return r;
  }

  T* Get() const noexcept { return FPtr; }
  T* operator->() const noexcept { return FPtr; }
  T& operator*() const noexcept { return *FPtr; }
  explicit operator bool() const noexcept { return FPtr != nullptr; }
  void Swap(TIntfPtr& other) noexcept { std::swap(FPtr, other.FPtr); }

  friend bool operator==(const TIntfPtr& a, const TIntfPtr& b) { return a.FPtr == b.FPtr; }
  friend bool operator==(const TIntfPtr& a, std::nullptr_t) { return a.FPtr == nullptr; }

 private:
  T* FPtr = nullptr;
};

// Asks any counted reference for interface U.
template <class U>
TIntfPtr<U> QueryAs(IInterface* obj) {
  return TIntfPtr<IInterface>::Share(obj).template As<U>();
}
