// A payment method as the host's payment framework drives it (host unit intfPaymentMethod).
// Created through a registry factory registered under IPaymentMethod::IID and a name. All calls
// on the host's user-interface thread.
#pragma once

#include <string>

#include "intfPtr.h"
#include "intfStringConfigList.h"

class IPaymentMethod;

// Change notification: called with the payment method whose amount changed (uncounted).
struct TPaymentChangedEvent {
  void (*Code)(void* context, IPaymentMethod* sender) = nullptr;
  void* Context = nullptr;
  bool Assigned() const { return Code != nullptr; }
};

// Payment entry report: (context values as the module passes them back, payment code, two
// host values, amount in currency units, two host values).
struct TPaymentEntryCallback {
  void (*Code)(void* context, int32_t first, int32_t second, const std::string& paymentCode,
               int32_t v1, int32_t v2, double amount, int32_t v3, int32_t v4) = nullptr;
  void* Context = nullptr;
  bool Assigned() const { return Code != nullptr; }
};

// Payment code report: (context values as the module passes them back, payment code).
struct TPaymentCodeCallback {
  void (*Code)(void* context, int32_t first, int32_t second,
               const std::string& paymentCode) = nullptr;
  void* Context = nullptr;
  bool Assigned() const { return Code != nullptr; }
};

class IPaymentMethod : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{B99696A6-EA20-4DD7-8E91-13B5762D314D}");
  virtual void SetAmount(TCurrency amount) = 0;                          // 1
  virtual void SetOnChanged(TPaymentChangedEvent handler) = 0;           // 2
  virtual void SetSecondAmount(TCurrency amount) = 0;                    // 3
  virtual TCurrency GetAmount() = 0;                                     // 4
  virtual TPaymentChangedEvent GetOnChanged() = 0;                       // 5
  virtual TCurrency GetSecondAmount() = 0;                               // 6
  virtual void GetDetails(TIntfPtr<IStringConfigList>& details) = 0;     // 7
  virtual void SetOrderDocument(const std::string& orderDocument) = 0;   // 8
  virtual void GetName1(std::string& name) = 0;                          // 9
  virtual void GetName2(std::string& name) = 0;                          // 10
  virtual void GetName3(std::string& name) = 0;                          // 11
  virtual bool DoPaymentPopup() = 0;                                     // 12
  virtual void Reset() = 0;                                              // 13
  virtual void ReportPaymentEntry(int32_t a, int32_t b, TPaymentEntryCallback callback) = 0;  // 14
  virtual void ReportPaymentCode(int32_t a, int32_t b, TPaymentCodeCallback callback) = 0;    // 15
  virtual void LinkInvoice(int32_t invoiceNumber) = 0;                   // 16
  virtual void CancelTransaction() = 0;                                  // 17
  virtual void* GetImplementingObject() = 0;                             // 18
  virtual void DoOverringInvoice(int32_t invoiceNumber) = 0;             // 19

 protected:
  ~IPaymentMethod() = default;
};
