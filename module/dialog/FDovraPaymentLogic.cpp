#include "module/dialog/FDovraPaymentLogic.h"

#include <stdexcept>

#include "intf/intfDovraVoucherAPI.h"
#include "lib/voucher/DovraRedemptionMatch.h"
#include "module/core/modRegistry.h"
#include "module/dialog/MoneyText.h"
#include "module/log/modLog.h"

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

// What the cashier reads once a lost redeem answer was settled with the service. Short enough
// to wrap into the two lines of the details label.
constexpr const char* GivenBackDetails = "Answer lost; voucher given back. Press Redeem again.";
constexpr const char* NotRedeemedDetails = "Answer lost; voucher not used. Press Redeem again.";

enum class TLostRedemption { GivenBack, NotRedeemed, InDoubt };

// After a redeem whose answer did not arrive (or could not be read) the service may or may not
// have acted. Its status answer tells: the request's own redemption, found by code, store and
// order date, is given back, so that the cashier can simply redeem again. Anything the service
// does not make certain is left as it is and named in the log for reconciling.
TLostRedemption SettleLostRedemption(IDovraVoucherAPI& api, const TJSONValue& request) {
  const TJSONValue* code = request.IsDocument() ? request.Find("VoucherCode") : nullptr;
  const std::string codeText =
      code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string();
  ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Asking status : %", codeText);
  auto inDoubt = [&](const std::string& why) {
    ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Left in doubt : %",
                 codeText + " (" + why + ")");
    return TLostRedemption::InDoubt;
  };
  TRedemptionKey key;
  if (!RedemptionKeyOfRequest(request, key))
    return inDoubt("the request names no voucher code, store and order date");
  std::string response;
  if (!api.VoucherStatus(VoucherStatusRequestText(key.VoucherCode), response))
    return inDoubt("no status answer");
  const TVoucherStatusAnswer status = ReadVoucherStatusAnswer(response, key.VoucherCode);
  if (!status.Readable) return inDoubt("status answer unreadable: " + status.Problem);
  if (!status.Success) return inDoubt("status refused: " + status.ErrorMessage);

  const TRedemptionMatch match = MatchLiveRedemptions(status.LiveRedemptions, key);
  if (match.Count == TRedemptionMatchCount::None) {
    ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Not redeemed : %", key.VoucherCode);
    return TLostRedemption::NotRedeemed;
  }
  if (match.Count == TRedemptionMatchCount::Several) {
    std::string references;
    for (const std::string& r : match.References)
      references += (references.empty() ? "" : ", ") + r;
    ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Left used : %",
                 key.VoucherCode + " (" + std::to_string(match.References.size()) +
                     " live redemptions match: " + references + ")");
    return TLostRedemption::InDoubt;
  }
  const std::string& reference = match.References.front();
  ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Giving back : %", reference);
  std::string answer;
  if (ReverseConfirmed(api, reference, answer)) {
    ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Given back : %", reference);
    return TLostRedemption::GivenBack;
  }
  ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Left used : %",
               key.VoucherCode + " (" + reference + " not given back)");
  return TLostRedemption::InDoubt;
}

// Today's failure texts stand unless the service made the outcome certain; they are set first so
// that an error while settling leaves them in place.
void ShowLostRedemption(TVoucherDialogControls& controls, IDovraVoucherAPI& api,
                        const TJSONValue& request, const char* failedCaption) {
  controls.SetResponseText(failedCaption);
  controls.SetDetailsText("Please check logs");
  switch (SettleLostRedemption(api, request)) {
    case TLostRedemption::GivenBack:
      controls.SetResponseText("Could not Redeem Voucher");
      controls.SetDetailsText(GivenBackDetails);
      break;
    case TLostRedemption::NotRedeemed:
      controls.SetResponseText("Could not Redeem Voucher");
      controls.SetDetailsText(NotRedeemedDetails);
      break;
    case TLostRedemption::InDoubt:
      break;
  }
}

}  // namespace

void TDovraPaymentLogic::PrepareRequest() {
  FOrder = ParseJSONDocument(FOrderDocument);
  FRequest = NewObjectDocument();
  FItems = NewArrayDocument();
  AppendVoucherItems(FOrder, FItems);
}

void TDovraPaymentLogic::btnCheckClick(TVoucherDialogControls& controls) {
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

void TDovraPaymentLogic::btnRedeemClick(TVoucherDialogControls& controls) {
  // Dropping this reference when the handler ends restores the button; no Detach here.
  const TIntfPtr<IButtonProgress> progress =
      controls.BeginProgress(TDialogButton::Redeem, "Redeeming...");

  const TIntfPtr<IDovraVoucherAPI> api = ResolveVoucherAPI();
  // Named before it is sent: if the answer never arrives, support can still match the
  // redemption at the service by its code and this time.
  const TJSONValue* code = FRequest.IsDocument() ? FRequest.Find("VoucherCode") : nullptr;
  ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Redeeming : %",
               code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string());
  // What finds this redemption again at the service, whatever becomes of the answer.
  ModLog::Info("[TfrmDovraPayment.btnRedeemClick] Redemption key : %",
               RedemptionKeyTextOfRequest(FRequest));
  // The answer replaces the kept one only when the call succeeded, whatever the client wrote
  // into its out-argument on a failure.
  std::string answer = FRedeemResponseText;
  const bool ok = api->Redeem(FRequest.ToJSON(), answer);
  if (ok) FRedeemResponseText = answer;
  controls.AppendMemoLine(FRedeemResponseText);
  // No answer, or one that cannot be read: the service may have acted either way.
  if (!ok) {
    ShowLostRedemption(controls, *api, FRequest, "Could not Redeem Voucher");
    return;
  }

  FRedeemResponse = ParseJSONDocument(FRedeemResponseText);
  if (!FRedeemResponse.IsDocument()) {
    ShowLostRedemption(controls, *api, FRequest, "Could not redeem Voucher");
    return;
  }
  if (FRedeemResponse.Get("Success").ToBoolean()) {
    controls.SetModalResult(TModalResult::OK);
    return;
  }
  controls.SetResponseText("Could not redeem Voucher");
  controls.SetDetailsText(FRedeemResponse.Get("ErrorMessage").ToText());
}
