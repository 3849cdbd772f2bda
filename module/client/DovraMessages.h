// The voucher service documents as the dialog and the payment method build and read them, member
// by member in their flow's order, so that a missing member stops at the same point there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "clsJSONDocument.h"
#include "intfBase.h"
#include "intfDovraVoucherAPI.h"

// A clock giving the current local date-time (tests pass a fixed sequence).
using TLocalClock = std::function<TDateTime()>;

// The current local date-time of this machine.
TDateTime LocalNow();

// Money from a floating amount: x10000, rounded to the nearest integer, a half to the even
// neighbour. EVariantTypeCastError when the amount is not finite or does not fit.
TCurrency FloatToMoney(double amount);

// The items of the request from a parsed order document: one object {"Code","Quantity",
// "UnitPrice"} per line of "LineItems" whose "Code" text is not empty, values copied with their
// kinds, appended to items (an array document). Raises as the dialog's preparation would: an
// order that is no document or has no "LineItems" (invalid variant operation), a line without
// "Code" (conversion error).
void AppendVoucherItems(const TJSONValue& order, const TJSONValue& items);
// The same into a new array document.
TJSONValue NewVoucherItems(const TJSONValue& order);

// Sets the four request members in order ("VoucherCode", "StoreReference", "User"{Reference,
// CreatedOn}, "VoucherOrder"{OrderDate, TotalPrice, Items}), replacing in place on a later check;
// the clock is read once for CreatedOn and again for OrderDate; TotalPrice is the order's
// "AfterDisc" as a float (conversion error when missing, raised after "User" was set).
void SetVoucherRequest(const TJSONValue& request, const std::string& voucherCode,
                       int32_t storeReference, const std::string& userReference,
                       const TJSONValue& order, const TJSONValue& items, const TLocalClock& clock);

// The reversal request text: {"VoucherReference":"..."} with the reference escaped.
std::string ReversalRequestText(std::string_view voucherReference);
// A voucher counts as given back only when the service says so ("Success": true): a refusal, an
// error page or garbage sent with a success status would otherwise count as a reversal while the
// customer's voucher stays used.
bool ReversalConfirmed(const std::string& response);
// Sends the reversal request for voucherReference through api; true only when the call went
// through and the answer confirms it. response: the answer, as Reverse leaves it.
bool ReverseConfirmed(IDovraVoucherAPI& api, const std::string& voucherReference,
                      std::string& response);

// Members of a parsed redeem answer as the payment method reads them, each raising the
// documented conversion error when missing (and an invalid variant operation when the answer is
// not a document).
TCurrency RedeemDiscountAmount(const TJSONValue& answer);
std::string RedeemVoucherReference(const TJSONValue& answer);
std::string RedeemVoucherCode(const TJSONValue& answer);

// The three together, read in that order from the answer text, before any of them is used.
struct TRedeemAnswer {
  TCurrency DiscountAmount = 0;
  std::string VoucherReference;
  std::string VoucherCode;
};
TRedeemAnswer ReadRedeemAnswer(std::string_view answerText);
