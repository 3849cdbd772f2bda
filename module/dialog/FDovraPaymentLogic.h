// The voucher dialog's behaviour without its widgets: the request prepared from the order, and
// Check and Redeem through the module's voucher API with the controls they leave behind.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "lib/json/clsJSONDocument.h"
#include "lib/voucher/DovraMessages.h"
#include "module/dialog/clsVoucherDialogControls.h"

class TDovraPaymentLogic {
 public:
  // Set by the caller before the dialog is shown.
  void SetStoreReference(int32_t storeReference) { FStoreReference = storeReference; }
  void SetOrderDocument(const std::string& orderDocument) { FOrderDocument = orderDocument; }
  // The local clock stamped into the request (tests fix it).
  void SetClock(TLocalClock clock) { FClock = std::move(clock); }
  // The last redeem answer as the service sent it; the caller's result once the dialog said OK.
  const std::string& RedeemResponseText() const { return FRedeemResponseText; }

  // Parses the order and makes the empty request and the items. Raises for an order that is no
  // document, has no "LineItems", or a line without "Code".
  void PrepareRequest();
  // The two click handlers. Errors pass to the caller, with the busy indicator already removed
  // and the steps done so far left in place.
  void btnCheckClick(TVoucherDialogControls& controls);
  void btnRedeemClick(TVoucherDialogControls& controls);

 private:
  int32_t FStoreReference = 0;
  std::string FOrderDocument;

  TJSONValue FOrder;
  TJSONValue FRequest;
  TJSONValue FItems;
  TJSONValue FCheckResponse;
  std::string FRedeemResponseText;
  TJSONValue FRedeemResponse;

  TLocalClock FClock = LocalNow;
};
