// The voucher payment method the host's payment framework drives, and the factory through which
// the host creates one per payment.
#pragma once

#include <exception>
#include <string>

#include "intf/clsInterfacedObject.h"
#include "intf/intfPaymentMethod.h"
#include "lib/voucher/DovraMessages.h"
#include "module/core/modConstants.h"
#include "module/payment/clsPaymentMethodBase.h"

class TPaymentMethodDovraVoucher : public TImplements<TPaymentMethodBase, IPaymentMethod> {
 public:
  // Fetches the store identifier from the host's store service through the module registry
  // (0 when the registry does not serve one) and logs it.
  TPaymentMethodDovraVoucher();

  void Changed() override;
  void Reset() override;

  void SetAmount(TCurrency amount) override;
  void SetOnChanged(TPaymentChangedEvent handler) override;
  void SetSecondAmount(TCurrency amount) override;
  TCurrency GetAmount() override;
  TPaymentChangedEvent GetOnChanged() override;
  TCurrency GetSecondAmount() override;
  void GetDetails(TIntfPtr<IStringConfigList>& details) override;
  void SetOrderDocument(const std::string& orderDocument) override;
  void GetName1(std::string& name) override;
  void GetName2(std::string& name) override;
  void GetName3(std::string& name) override;
  bool DoPaymentPopup() override;
  void ReportPaymentEntry(int32_t a, int32_t b, TPaymentEntryCallback callback) override;
  void ReportPaymentCode(int32_t a, int32_t b, TPaymentCodeCallback callback) override;
  void LinkInvoice(int32_t invoiceNumber) override;
  void CancelTransaction() override;
  void* GetImplementingObject() override;
  void DoOverringInvoice(int32_t invoiceNumber) override;

  // Read access for the module's own code and its tests.
  int32_t StoreID() const { return FStoreID; }
  int32_t TransactionID() const { return FTransactionID; }
  int32_t InvoiceNum() const { return FInvoiceNum; }
  bool Redeemed() const { return FRedeemed; }
  const std::string& VoucherReference() const { return FVoucherReference; }
  const std::string& OrderDocument() const { return FOrderDocument; }

 protected:
  // Writes one DovraLog row; returns the service's result. Raises "Could not create DBScript"
  // when the host has no DB script service.
  int32_t LogActivity(const std::string& activityClass, const std::string& message);
  // Inserts one DovraTransactions row; its ID, or -1 when the service gave none. Raises as
  // LogActivity.
  int32_t CreateTransaction();
  // Shows the voucher dialog modally; true with the redeem answer once a voucher was redeemed.
  virtual bool RunVoucherDialog(std::string& redeemResponseText);

 private:
  // S3 for this popup's row; false, with a log line, when the service is missing or the row was
  // not written.
  bool RecordPayment(const std::string& reference, const std::string& redeemResponseText,
                     TCurrency amount);
  // Whose give-back it is: the journal lines of the popup's own, or of the host's cancel.
  enum class TGiveBackFor { Popup, Cancel };
  // Asks the service to reverse the redemption and logs the outcome under the operation's name;
  // true only when the service confirmed it.
  bool GiveBack(TGiveBackFor operation, const std::string& reference);
  bool ReverseRedemption(const std::string& voucherReference, std::string& response);

  // The steps of DoPaymentPopup, in their order.
  // Opens this popup's row; false, with a log line, when there is none to record a voucher in.
  bool OpenTransaction();
  // A redeem answer that could not be read (the error being handled): records what is known,
  // gives a redemption without a readable amount back (false) or raises, naming the voucher.
  bool SettleUnreadableRedemption(const std::string& redeemResponseText, const TRedeemAnswer& read,
                                  const std::exception& error);
  // What was held before this popup's redemption, so that a given-back one can be let go.
  struct THeld {
    bool Redeemed = false;
    std::string Reference;
  };
  // Holds the redemption from here on, so that a cancel can still give it back whatever fails.
  THeld HoldRedemption(const std::string& reference);
  void ReleaseHeld(const THeld& before);
  // The redemption could not be recorded: gives it back and raises, saying whether it went back.
  [[noreturn]] void GiveBackUnrecorded(const TRedeemAnswer& read, const THeld& before);
  // A redemption that pays nothing (or takes money) is no payment: the customer keeps the voucher.
  void GiveBackWithoutDiscount(const TRedeemAnswer& read, const THeld& before);
  // Takes the redemption as the payment: its amount, the REDEEM row and the receipt details.
  void AcceptRedemption(const TRedeemAnswer& read);

  int32_t FStoreID = 0;
  int32_t FTransactionID = -1;
  int32_t FInvoiceNum = -1;
  bool FRedeemed = false;
  std::string FVoucherReference;
};

// Creates a new TPaymentMethodDovraVoucher for every request and hands out its base interface.
using TPaymentMethodDovraVoucherFactory = TObjectFactory<TPaymentMethodDovraVoucher>;
