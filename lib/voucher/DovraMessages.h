// The voucher service documents as the dialog and the payment method build and read them, member
// by member in their flow's order, so that a missing member stops at the same point there.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "intf/intfBase.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/json/clsJSONDocument.h"

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

// The service's "Success" as it said it: the boolean member of an answer that is a JSON object;
// nothing when the answer is no object or its "Success" is missing or no boolean. An operation
// counts as done only on true: a refusal, an error page or garbage sent with a success status
// must never pass for one.
std::optional<bool> ServiceSuccessOf(const TJSONValue& answer);
std::optional<bool> ServiceSuccess(std::string_view answerText);

// The reversal request text: {"VoucherReference":"..."} with the reference escaped.
std::string ReversalRequestText(std::string_view voucherReference);
// The reference a reversal request text names; empty when it names none.
std::string ReversalRequestReference(std::string_view requestText);

// The identity of one request: the SHA-256 of its body exactly as sent, 64 lowercase hex
// digits. The service keeps the same digest of the body as it received it, so a redemption is
// known as this request's by the bytes themselves, not by what they happen to share with
// another till's request.
std::string RequestDigest(std::string_view body);
// A voucher counts as given back only when the service says so without room for doubt: the
// answer is exactly one strict JSON document (StrictJSONProblem empty), an object whose member
// named exactly "Success" is the boolean true, with no other spelling of that name beside it,
// and whose "VoucherReference", where it carries one (in any spelling), is the text asked for.
// Anything else may be a refusal, a proxy's page or another redemption's answer, and the
// customer's voucher would stay used while the till counts it as given back.
bool ReversalConfirmed(std::string_view response, std::string_view voucherReference);
// Sends the reversal request for voucherReference through api; true only when the call went
// through and the answer confirms that reversal. response: the answer, as Reverse leaves it.
bool ReverseConfirmed(IDovraVoucherAPI& api, const std::string& voucherReference,
                      std::string& response);

// Members of a parsed redeem answer as the payment method reads them, each raising the
// documented conversion error when missing (and an invalid variant operation when the answer is
// not a document).
TCurrency RedeemDiscountAmount(const TJSONValue& answer);
std::string RedeemVoucherReference(const TJSONValue& answer);
std::string RedeemVoucherCode(const TJSONValue& answer);

// The three from the answer text, each tried on its own so that what can be read is known when
// another is missing; after all three, the first member's error (in that order) is raised.
struct TRedeemAnswer {
  TCurrency DiscountAmount = 0;
  std::string VoucherReference;
  std::string VoucherCode;
  bool HasAmount = false;
  bool HasReference = false;
};
void ReadRedeemAnswer(std::string_view answerText, TRedeemAnswer& read);
