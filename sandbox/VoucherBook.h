// The sandbox's voucher book: which vouchers exist, what they are worth against an order, and
// which redemptions were made and reversed. Amounts are kept in ten-thousandths (TCurrency).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

using TSandboxMoney = int64_t;  // ten-thousandths of the currency unit

enum class TVoucherKind { Fixed, Percentage };

struct TVoucher {
  std::string Code;
  std::string DisplayName;
  TVoucherKind Kind = TVoucherKind::Fixed;
  TSandboxMoney Amount = 0;  // fixed vouchers: the discount
  int64_t PercentBasis = 0;  // percentage vouchers: percent in ten-thousandths (15% = 150000)
  TSandboxMoney MinimumOrder = 0;
  std::string ExpiresOn;  // "YYYY-MM-DD", last valid day; empty: never expires
  bool MultipleUse = false;
};

// Where a redemption came from, as the redeem request named it, so that a till that lost the
// answer can tell its own redemption from another till's. Unknown in states saved before it was
// kept, and when the request did not carry it in its documented form.
struct TRedemptionOrigin {
  std::optional<int64_t> StoreReference;
  std::optional<std::string> OrderDate;  // the request's "VoucherOrder"."OrderDate", as sent
  // The SHA-256 (lowercase hex) of the redeem body as the service received it, byte for byte:
  // what proves a redemption one request's own when two tills send alike requests.
  std::optional<std::string> RequestDigest;
};

struct TRedemption {
  std::string Reference;
  std::string Code;
  TSandboxMoney Amount = 0;
  bool Reversed = false;
  std::string Time;  // when it was made: UTC, ISO 8601; empty in states saved before it was kept
  TRedemptionOrigin Origin;
};

// What the service answers for a voucher against an order.
struct TVoucherAnswer {
  bool Success = false;
  std::string ErrorMessage;
  std::string DisplayName;
  std::string VoucherCode;
  TSandboxMoney DiscountAmount = 0;
  std::string VoucherReference;  // redeem and reverse only
};

struct TVoucherStatus {
  bool Found = false;
  std::string State;        // "available", "used" or "expired"
  int32_t Redemptions = 0;  // not reversed
  const TVoucher* Voucher = nullptr;
  std::vector<TRedemption> Live;  // the redemptions not reversed, oldest first
};

// Asked before a change is made to the book: false keeps the book as it was (the change could
// not be made to last). nextReference: the book's next reference once the change is made.
using TKeepChange = std::function<bool(const TRedemption& changed, int64_t nextReference)>;

class TVoucherBook {
 public:
  // The vouchers are fixed for the book's life; the redemptions are its changing state.
  void SetVouchers(std::vector<TVoucher> vouchers);
  void SetState(std::vector<TRedemption> redemptions, int64_t nextReference);

  // today: "YYYY-MM-DD" (local date). Codes compare exactly as typed.
  TVoucherAnswer Evaluate(const std::string& code, TSandboxMoney orderTotal,
                          const std::string& today) const;
  // As Evaluate; on success records a redemption under a new unique reference, made at time,
  // unless keep (when given) refuses it: the answer then stays a success with the reference that
  // was not taken, and the book is unchanged.
  TVoucherAnswer Redeem(const std::string& code, TSandboxMoney orderTotal, const std::string& today,
                        const std::string& time, const TRedemptionOrigin& origin = {},
                        const TKeepChange& keep = {});
  // Makes the redemption's use available again, unless keep refuses it (as Redeem); a second
  // reversal is refused.
  TVoucherAnswer Reverse(const std::string& reference, const TKeepChange& keep = {});
  TVoucherStatus Status(const std::string& code, const std::string& today) const;

  const std::vector<TRedemption>& Redemptions() const { return FRedemptions; }
  int64_t NextReference() const { return FNextReference; }
  const std::vector<TVoucher>& Vouchers() const { return FVouchers; }

 private:
  const TVoucher* Find(const std::string& code) const;
  int32_t ActiveUses(const std::string& code) const;
  void Index(size_t position);

  std::vector<TVoucher> FVouchers;
  std::vector<TRedemption> FRedemptions;
  int64_t FNextReference = 1;
  // Kept beside the list so that a request costs the same however long the book has been used.
  std::unordered_map<std::string, size_t> FByReference;          // reference -> position
  std::unordered_map<std::string, std::vector<size_t>> FByCode;  // code -> positions, oldest first
  std::unordered_map<std::string, int32_t> FActive;              // code -> uses not reversed
};

// Money as the service writes it: up to four decimals, no trailing zeros ("12.5", "10").
std::string FormatMoney(TSandboxMoney value);
