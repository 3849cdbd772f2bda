// A payment method as the host's payment framework drives it (host unit intfPaymentMethod).
// Created through a registry factory registered under IPaymentMethod::IID and a name, one object
// per resolve. A payment: amounts and order document, the popup (12), the reports (14, 15), the
// invoice (16); the cancel (17) if the sale does not stand; Reset (13) before the next payment.
// Nothing enforces that order: each operation checks the state it needs. All calls on the host's
// user-interface thread.
#pragma once

#include <string>

#include "intf/intfPtr.h"
#include "intf/intfStringConfigList.h"

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
  // 1: the amount this payment covers; a changed value calls the change handler once stored.
  virtual void SetAmount(TCurrency amount) = 0;
  // 2: the change handler; replaces the previous one, an unassigned one is allowed.
  virtual void SetOnChanged(TPaymentChangedEvent handler) = 0;
  // 3: a second amount the host keeps here; notified as 1.
  virtual void SetSecondAmount(TCurrency amount) = 0;
  // 4: the amount: as set by 1, the discount after a redemption, 0 after a cancelled popup.
  virtual TCurrency GetAmount() = 0;
  // 5: the handler set by 2.
  virtual TPaymentChangedEvent GetOnChanged() = 0;
  // 6: the amount set by 3.
  virtual TCurrency GetSecondAmount() = 0;
  // 7: out a counted reference to the details list: the same list every time, filled by 12.
  virtual void GetDetails(TIntfPtr<IStringConfigList>& details) = 0;
  // 8: the JSON text of the current order, unchecked; set it before 12.
  virtual void SetOrderDocument(const std::string& orderDocument) = 0;
  // 9: out the method's name, as registered.
  virtual void GetName1(std::string& name) = 0;
  // 10: as 9, for the host's second name position.
  virtual void GetName2(std::string& name) = 0;
  // 11: as 9, for the host's third name position.
  virtual void GetName3(std::string& name) = 0;
  // 12: the modal voucher dialog. True: a voucher was redeemed and amount and details carry it;
  //     false: amount 0. An unreadable redemption answer raises once it has been recorded.
  virtual bool DoPaymentPopup() = 0;
  // 13: back to the state after creation (amounts 0 without notification, details empty, no
  //     redemption); the handler and the order document stay.
  virtual void Reset() = 0;
  // 14: when the amount is above 0, calls callback once with (b, a, the payment code, 0, 0,
  //     the amount in currency units, 0, 0); otherwise does nothing.
  virtual void ReportPaymentEntry(int32_t a, int32_t b, TPaymentEntryCallback callback) = 0;
  // 15: when the amount is not 0, calls callback once with (b, a, the payment code).
  virtual void ReportPaymentCode(int32_t a, int32_t b, TPaymentCodeCallback callback) = 0;
  // 16: the sale is booked under invoiceNumber; recorded after 12 with an amount above 0 only.
  virtual void LinkInvoice(int32_t invoiceNumber) = 0;
  // 17: the sale is cancelled: reverses the redemption of 12, if any. Changes no state, so it
  //     may be repeated after a failed reversal.
  virtual void CancelTransaction() = 0;
  // 18: the object behind the interface, uncounted; meaningful only to its own module.
  virtual void* GetImplementingObject() = 0;
  // 19: invoiceNumber is overridden: reverses every redemption recorded under it. Any object,
  //     in any state.
  virtual void DoOverringInvoice(int32_t invoiceNumber) = 0;

 protected:
  ~IPaymentMethod() = default;
};
