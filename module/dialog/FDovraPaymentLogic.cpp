#include "module/dialog/FDovraPaymentLogic.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "intf/intfDovraVoucherAPI.h"
#include "lib/modulelog/ModuleLogLines.h"
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

std::string JoinedReferences(const std::vector<std::string>& references) {
  std::string joined;
  for (const std::string& r : references) joined += (joined.empty() ? "" : ", ") + r;
  return joined;
}

// After a redeem whose answer did not arrive (or could not be read) the service may or may not
// have acted. Its status answer tells: the live redemption that carries the digest of this very
// request body is this request's own, and is given back so that the cashier can simply redeem
// again. A redemption that only shares the code, store and second may be another till's; that
// and anything else the service does not make certain is left as it is and named in the log.
TLostRedemption SettleLostRedemption(IDovraVoucherAPI& api, const TJSONValue& request,
                                     const std::string& requestDigest) {
  const TJSONValue* code = request.IsDocument() ? request.Find("VoucherCode") : nullptr;
  const std::string codeText =
      code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string();
  ModLog::Info(JournalFormat(TJournalLine::AskingStatus), codeText);
  auto inDoubt = [&](const std::string& why) {
    ModLog::Info(JournalFormat(TJournalLine::LeftInDoubt), codeText + " (" + why + ")");
    return TLostRedemption::InDoubt;
  };
  TRedemptionKey key;
  if (!RedemptionKeyOfRequest(request, key))
    return inDoubt("the request names no voucher code, store and order date");
  key.RequestDigest = requestDigest;
  std::string response;
  if (!api.VoucherStatus(VoucherStatusRequestText(key.VoucherCode), response))
    return inDoubt("no status answer");
  const TVoucherStatusAnswer status = ReadVoucherStatusAnswer(response, key.VoucherCode);
  if (!status.Readable) return inDoubt("status answer unreadable: " + status.Problem);
  if (!status.Success) return inDoubt("status refused: " + status.ErrorMessage);

  const TRedemptionMatch match = MatchLiveRedemptions(status.LiveRedemptions, key.RequestDigest);
  switch (match.Count) {
    case TRedemptionMatchCount::None:
      ModLog::Info(JournalFormat(TJournalLine::NotRedeemed), key.VoucherCode);
      return TLostRedemption::NotRedeemed;
    case TRedemptionMatchCount::Several:
      ModLog::Info(JournalFormat(TJournalLine::LeftUsed),
                   key.VoucherCode + " (" + std::to_string(match.References.size()) +
                       " live redemptions carry this request's digest: " +
                       JoinedReferences(match.References) + ")");
      return TLostRedemption::InDoubt;
    case TRedemptionMatchCount::Unknown:
      return inDoubt(key.RequestDigest.empty()
                         ? "the request's digest is not known"
                         : "no live redemption carries this request's digest " + key.RequestDigest +
                               ", and some carry none");
    case TRedemptionMatchCount::One:
      break;
  }
  const std::string& reference = match.References.front();
  ModLog::Info(JournalFormat(TJournalLine::GivingBack), reference);
  std::string answer;
  if (ReverseConfirmed(api, reference, answer)) {
    ModLog::Info(JournalFormat(TJournalLine::GivenBack), reference);
    return TLostRedemption::GivenBack;
  }
  ModLog::Info(JournalFormat(TJournalLine::LeftUsed),
               key.VoucherCode + " (" + reference + " not given back)");
  return TLostRedemption::InDoubt;
}

// Today's failure texts stand unless the service made the outcome certain; they are set first so
// that an error while settling leaves them in place.
void ShowLostRedemption(TVoucherDialogControls& controls, IDovraVoucherAPI& api,
                        const TJSONValue& request, const std::string& requestDigest,
                        const char* failedCaption) {
  controls.SetResponseText(failedCaption);
  controls.SetDetailsText("Please check logs");
  switch (SettleLostRedemption(api, request, requestDigest)) {
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

// Whether a redeem answer that says Success can be taken whole: a reference the voucher can be
// given back by, and an amount the payment can be made of. One that cannot is as good as lost:
// the voucher is used at the service, and only the status answer can name the redemption.
bool RedemptionReadable(const TJSONValue& answer) {
  const TJSONValue* reference = answer.Find("VoucherReference");
  if (!reference || reference->Kind() != TJSONKind::Text || reference->AsText().empty())
    return false;
  try {
    RedeemDiscountAmount(answer);
  } catch (const std::exception&) {
    return false;
  }
  return true;
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
  // The body is written once: the digest is of the very bytes sent, which the service keeps
  // with the redemption, so that this request's redemption is known from any other.
  const std::string body = FRequest.ToJSON();
  const std::string digest = RequestDigest(body);
  // What finds this redemption again at the service, whatever becomes of the answer; written
  // before the act's own line, so that a log whose story ends between the two shows a request
  // that was never sent.
  ModLog::Info(JournalFormat(TJournalLine::RedemptionKey),
               RedemptionKeyTextOfRequest(FRequest, digest));
  // The last line before the request leaves: if the answer never arrives, the key above finds
  // the redemption at the service.
  const TJSONValue* code = FRequest.IsDocument() ? FRequest.Find("VoucherCode") : nullptr;
  ModLog::Info(JournalFormat(TJournalLine::Redeeming),
               code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string());
  // The answer replaces the kept one only when the call succeeded, whatever the client wrote
  // into its out-argument on a failure.
  std::string answer = FRedeemResponseText;
  const bool ok = api->Redeem(body, answer);
  if (ok) FRedeemResponseText = answer;
  controls.AppendMemoLine(FRedeemResponseText);
  // No answer, or one that cannot be read: the service may have acted either way.
  if (!ok) {
    ShowLostRedemption(controls, *api, FRequest, digest, "Could not Redeem Voucher");
    return;
  }

  FRedeemResponse = ParseJSONDocument(FRedeemResponseText);
  if (!FRedeemResponse.IsDocument()) {
    ShowLostRedemption(controls, *api, FRequest, digest, "Could not redeem Voucher");
    return;
  }
  if (FRedeemResponse.Get("Success").ToBoolean()) {
    if (!RedemptionReadable(FRedeemResponse)) {
      ShowLostRedemption(controls, *api, FRequest, digest, "Could not redeem Voucher");
      return;
    }
    controls.SetModalResult(TModalResult::OK);
    return;
  }
  controls.SetResponseText("Could not redeem Voucher");
  controls.SetDetailsText(FRedeemResponse.Get("ErrorMessage").ToText());
}
