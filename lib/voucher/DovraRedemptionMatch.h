// Finding a redemption again after its redeem answer was lost: the key a redeem request carries
// (voucher code, store, order date), the status answer's live redemptions as read from the
// service, and the rule that tells whether none, one or several of them are that request's.
// The dialog gives a lost redemption back by it; whoever reconciles a till's records later
// applies the same rule to the key the module log carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "intf/intfBase.h"
#include "lib/json/clsJSONDocument.h"

// What names one redeem request's redemption at the service.
struct TRedemptionKey {
  std::string VoucherCode;
  int64_t StoreReference = 0;
  std::string OrderDate;  // "VoucherOrder"."OrderDate" exactly as sent
};

// The key of a check/redeem request document; false when a member is missing or not in its
// documented kind (text code, integer store, text order date).
bool RedemptionKeyOfRequest(const TJSONValue& request, TRedemptionKey& key);
// The key of a request as one line of JSON, its values copied from the request as they stand
// (null when missing): {"VoucherCode":"...","StoreReference":N,"OrderDate":"..."}.
std::string RedemptionKeyTextOfRequest(const TJSONValue& request);
// That line read back; false when it is not one or a value is not of its documented kind.
bool ReadRedemptionKeyText(std::string_view text, TRedemptionKey& key);

// The status request for a voucher code: {"VoucherCode":"..."}.
std::string VoucherStatusRequestText(std::string_view voucherCode);

// One entry of the status answer's "LiveRedemptions". An origin the service does not know is
// empty and matches no request.
struct TLiveRedemption {
  std::string VoucherReference;
  std::optional<int64_t> StoreReference;
  std::optional<std::string> OrderDate;
  TCurrency DiscountAmount = 0;
  std::string RedeemedOn;  // the service's time, UTC; empty when it does not give one
};

struct TVoucherStatusAnswer {
  bool Readable = false;  // in the documented form, and about the code asked for
  std::string Problem;    // when not readable: what is wrong with it, for the log
  bool Success = false;   // readable: the service's "Success"
  std::string ErrorMessage;
  std::vector<TLiveRedemption> LiveRedemptions;  // readable with Success true
};

// Reads a status answer to a request for voucherCode. Never raises: an answer that is not a
// JSON object, lacks "Success", answers for another code, or whose "LiveRedemptions" is missing
// or has an entry out of form, is unreadable, since none of them tells which redemptions stand.
TVoucherStatusAnswer ReadVoucherStatusAnswer(std::string_view text, std::string_view voucherCode);

enum class TRedemptionMatchCount { None, One, Several };

struct TRedemptionMatch {
  TRedemptionMatchCount Count = TRedemptionMatchCount::None;
  std::vector<std::string> References;  // of the matching redemptions, in the answer's order
};

// The live redemptions of one voucher that the request with key made: same store and same order
// date (the answer is the code's own). Two or more cannot be told apart.
TRedemptionMatch MatchLiveRedemptions(const std::vector<TLiveRedemption>& live,
                                      const TRedemptionKey& key);
