// The voucher payment method and its factory.
#include "implPaymentMethodDovraVouchers.h"

#include "intfStoreInfo.h"
#include "modLog.h"
#include "modRegistry.h"

TPaymentMethodDovraVoucher::TPaymentMethodDovraVoucher() {
  // The store service is held for this lookup only; a host without one still gets a usable
  // payment method, with store 0.
  {
    const TIntfPtr<IServiceRegistry> registry = ModuleRegistry();
    const TIntfPtr<IStoreInfo> store = ResolveAs<IStoreInfo>(registry.Get());
    FStoreID = store ? store->GetStoreID() : 0;
  }
  ModLog::Info("[TPaymentMethodDovraVoucher.Create] Got StoreID : %", FStoreID);
}

void TPaymentMethodDovraVoucher::Changed() {
  // The sender is passed uncounted: the host holds its own reference for the call.
  if (FOnChanged.Assigned()) FOnChanged.Code(FOnChanged.Context, this);
}

void TPaymentMethodDovraVoucher::Reset() {
  TPaymentMethodBase::Reset();
  FTransactionID = -1;
  FInvoiceNum = -1;
  FRedeemed = false;
  FVoucherReference.clear();
}

void TPaymentMethodDovraVoucher::SetAmount(TCurrency amount) { SetAmountField(FAmount, amount); }

void TPaymentMethodDovraVoucher::SetOnChanged(TPaymentChangedEvent handler) {
  FOnChanged = handler;
}

void TPaymentMethodDovraVoucher::SetSecondAmount(TCurrency amount) {
  SetAmountField(FSecondAmount, amount);
}

TCurrency TPaymentMethodDovraVoucher::GetAmount() { return FAmount; }

TPaymentChangedEvent TPaymentMethodDovraVoucher::GetOnChanged() { return FOnChanged; }

TCurrency TPaymentMethodDovraVoucher::GetSecondAmount() { return FSecondAmount; }

void TPaymentMethodDovraVoucher::GetDetails(TIntfPtr<IStringConfigList>& details) {
  details = FDetails;
}

void TPaymentMethodDovraVoucher::SetOrderDocument(const std::string& orderDocument) {
  FOrderDocument = orderDocument;
}

void TPaymentMethodDovraVoucher::GetName1(std::string& name) { name = DovraVoucherPaymentName; }

void TPaymentMethodDovraVoucher::GetName2(std::string& name) { name = DovraVoucherPaymentName; }

void TPaymentMethodDovraVoucher::GetName3(std::string& name) { name = DovraVoucherPaymentName; }

// Not built yet: the voucher dialog and the transaction statements come with the payment flow.
bool TPaymentMethodDovraVoucher::DoPaymentPopup() { return false; }

void TPaymentMethodDovraVoucher::ReportPaymentEntry(int32_t a, int32_t b,
                                                    TPaymentEntryCallback callback) {
  if (!callback.Assigned() || FAmount <= 0) return;
  // The host expects its two context values back in swapped order.
  callback.Code(callback.Context, b, a, DovraVoucherPaymentCode, 0, 0,
                static_cast<double>(FAmount) / static_cast<double>(CurrencyScale), 0, 0);
}

void TPaymentMethodDovraVoucher::ReportPaymentCode(int32_t a, int32_t b,
                                                   TPaymentCodeCallback callback) {
  // Unlike the entry report, a negative amount is reported here too.
  if (!callback.Assigned() || FAmount == 0) return;
  callback.Code(callback.Context, b, a, DovraVoucherPaymentCode);
}

// Not built yet: needs the transaction statements.
void TPaymentMethodDovraVoucher::LinkInvoice(int32_t) {}

// Not built yet: needs the voucher reversal.
void TPaymentMethodDovraVoucher::CancelTransaction() {}

void* TPaymentMethodDovraVoucher::GetImplementingObject() { return this; }

// Not built yet: needs the voucher reversal.
void TPaymentMethodDovraVoucher::DoOverringInvoice(int32_t) {}
