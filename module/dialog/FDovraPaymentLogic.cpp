#include "FDovraPaymentLogic.h"

#include <stdexcept>

#include "clsMoneyText.h"
#include "intfDovraVoucherAPI.h"
#include "modLog.h"
#include "modRegistry.h"

namespace {

// Resolved afresh for every press; the module registers its own client, so an empty registry
// means the module was not initialised, which the cashier must hear about rather than crash on.
TIntfPtr<IDovraVoucherAPI> ResolveVoucherAPI() {
  TIntfPtr<IDovraVoucherAPI> api = ResolveAs<IDovraVoucherAPI>(ModuleRegistry().Get());
  if (!api)
    throw std::runtime_error("No voucher API is registered for " +
                             IDovraVoucherAPI::IID.ToString() + " in the host service registry");
  return api;
}

// Runs Detach when the check handler ends, also by an error.
class TDetachOnExit {
 public:
  explicit TDetachOnExit(IButtonProgress* progress) : FProgress(progress) {}
  ~TDetachOnExit() {
    if (FProgress) FProgress->Detach();
  }
  TDetachOnExit(const TDetachOnExit&) = delete;
  TDetachOnExit& operator=(const TDetachOnExit&) = delete;

 private:
  IButtonProgress* FProgress;
};

}  // namespace

void TDovraPaymentLogic::PrepareRequest() {
  FOrder = ParseJSONDocument(FOrderDocument);
  FRequest = NewObjectDocument();
  FItems = NewArrayDocument();
  AppendVoucherItems(FOrder, FItems);
}

void TDovraPaymentLogic::btnCheckClick(IVoucherDialogControls& controls) {
  const TIntfPtr<IButtonProgress> progress =
      controls.BeginProgress(TDialogButton::Check, "Checking...");
  const TDetachOnExit detach(progress.Get());

  controls.SetButtonEnabled(TDialogButton::Redeem, false);
  SetVoucherRequest(FRequest, controls.VoucherCodeText(), FStoreReference,
                    controls.UserReferenceText(), FOrder, FItems, FClock);

  const TIntfPtr<IDovraVoucherAPI> api = ResolveVoucherAPI();
  std::string response;
  if (!api->Evaluate(FRequest.ToJSON(), response)) return;

  controls.AppendMemoLine(response);
  FCheckResponse = ParseJSONDocument(response);
  if (FCheckResponse.Get("Success").ToBoolean()) {
    controls.SetResponseText("Voucher Successful");
    controls.SetDetailsText(FCheckResponse.Get("DisplayName").ToText());
    controls.SetAmountText(FormatMoney(FCheckResponse.Get("DiscountAmount").ToFloat()));
    controls.SetButtonEnabled(TDialogButton::Redeem, true);
  } else {
    controls.SetResponseText("Voucher Error");
    controls.SetDetailsText(FCheckResponse.Get("ErrorMessage").ToText());
    controls.SetAmountText(FormatMoney(0.0));
  }
  controls.ShowVoucherPanel();
}

void TDovraPaymentLogic::btnRedeemClick(IVoucherDialogControls& controls) {
  // Dropping this reference when the handler ends restores the button; no Detach here.
  const TIntfPtr<IButtonProgress> progress =
      controls.BeginProgress(TDialogButton::Redeem, "Redeeming...");

  const TIntfPtr<IDovraVoucherAPI> api = ResolveVoucherAPI();
  // Named before it is sent: if the answer never arrives, support can still match the
  // redemption at the service by its code and this time.
  const TJSONValue* code = FRequest.IsDocument() ? FRequest.Find("VoucherCode") : nullptr;
  ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Redeeming : %",
               code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string());
  // The answer replaces the kept one only when the call succeeded, whatever the client wrote
  // into its out-argument on a failure.
  std::string answer = FRedeemResponseText;
  const bool ok = api->Redeem(FRequest.ToJSON(), answer);
  if (ok) FRedeemResponseText = answer;
  controls.AppendMemoLine(FRedeemResponseText);
  if (!ok) {
    controls.SetResponseText("Could not Redeem Voucher");
    controls.SetDetailsText("Please check logs");
    return;
  }

  FRedeemResponse = ParseJSONDocument(FRedeemResponseText);
  if (!FRedeemResponse.IsDocument()) {
    controls.SetResponseText("Could not redeem Voucher");
    controls.SetDetailsText("Please check logs");
    return;
  }
  if (FRedeemResponse.Get("Success").ToBoolean()) {
    controls.SetModalResult(TModalResult::OK);
    return;
  }
  controls.SetResponseText("Could not redeem Voucher");
  controls.SetDetailsText(FRedeemResponse.Get("ErrorMessage").ToText());
}
