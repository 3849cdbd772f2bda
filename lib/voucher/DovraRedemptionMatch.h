// Finding a redemption again after its redeem answer was lost: the key a redeem request carries
// (voucher code, store, order date, and the digest of the body as sent), the status answer's
// live redemptions as read from the service, and the rule that tells whether none, one or
// several of them are that request's. Only the digest proves a redemption a request's own: two
// tills of one store may send the same code in the same second. The dialog gives a lost
// redemption back by it; whoever reconciles a till's records later applies the same rule to the
// key the module log carries.
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
  std::string OrderDate;      // "VoucherOrder"."OrderDate" exactly as sent
  std::string RequestDigest;  // empty: not known (a log from before digests)
};

// The key of a check/redeem request document; false when a member is missing or not in its
// documented kind (text code, integer store, text order date).
bool RedemptionKeyOfRequest(const TJSONValue& request, TRedemptionKey& key);
// The key of a request as one line of JSON, its values copied from the request as they stand
// (null when missing), and the digest of the body as sent when given:
// {"VoucherCode":"...","StoreReference":N,"OrderDate":"...","RequestDigest":"<hex>"}.
std::string RedemptionKeyTextOfRequest(const TJSONValue& request,
                                       std::string_view requestDigest = {});
// That line read back; false when it is not one or a value is not of its documented kind. A
// line without "RequestDigest" (written before digests), or with null, reads with the digest
// empty; one whose digest is any other value than 64 lowercase hex digits does not read.
bool ReadRedemptionKeyText(std::string_view text, TRedemptionKey& key);
// Whether text is a request digest as RequestDigest writes it: 64 lowercase hex digits.
bool IsRequestDigest(std::string_view text);

// The status request for a voucher code: {"VoucherCode":"..."}.
std::string VoucherStatusRequestText(std::string_view voucherCode);

// One entry of the status answer's "LiveRedemptions". A digest the service does not give is empty
// and matches no request.
struct TLiveRedemption {
  std::string VoucherReference;
  std::optional<int64_t> StoreReference;
  std::optional<std::string> OrderDate;
  TCurrency DiscountAmount = 0;
  std::string RedeemedOn;     // the service's time, UTC; empty when it does not give one
  std::string RequestDigest;  // empty: the service gave none
};

struct TVoucherStatusAnswer {
  bool Readable = false;  // in the documented form, and about the code asked for
  std::string Problem;    // when not readable: what is wrong with it, for the log
  bool Success = false;   // readable: the service's "Success"
  std::string ErrorMessage;
  std::vector<TLiveRedemption> LiveRedemptions;  // readable with Success true
  std::string AnsweredOn;                        // empty: the answer carries none
};

// Reads a status answer to a request for voucherCode. Never raises: an answer that is not a
// JSON object, lacks "Success", answers for another code, or whose "LiveRedemptions" is missing
// or has an entry out of form (a "RequestDigest" present that is not 64 lowercase hex digits
// among them), is unreadable, since none of them tells which redemptions stand. "AnsweredOn",
// when present and not null, is the service's UTC clock as "YYYY-MM-DDTHH:MM:SS[.fff]Z";
// any other form makes the answer unreadable too.
TVoucherStatusAnswer ReadVoucherStatusAnswer(std::string_view text, std::string_view voucherCode);

enum class TRedemptionMatchCount { None, One, Several, Unknown };

struct TRedemptionMatch {
  TRedemptionMatchCount Count = TRedemptionMatchCount::None;
  std::vector<std::string> References;  // of the matching redemptions, in the answer's order
};

// The live redemptions of one voucher that the request with this digest made (the answer is the
// code's own). One: exactly one entry carries the digest. Several: two or more do (References
// lists them), which only a service fault can bring about. None: no entry carries it and every
// entry carries a digest, so none can be the request's. Unknown: no entry carries it but some
// entry carries no digest, or the request's digest is not known: a person decides.
TRedemptionMatch MatchLiveRedemptions(const std::vector<TLiveRedemption>& live,
                                      const std::string& requestDigest);
// The same for a key, by its digest.
TRedemptionMatch MatchLiveRedemptions(const std::vector<TLiveRedemption>& live,
                                      const TRedemptionKey& key);
