#include "sandbox/VoucherBook.h"

#include <cstdio>

void TVoucherBook::SetVouchers(std::vector<TVoucher> vouchers) { FVouchers = std::move(vouchers); }

void TVoucherBook::SetState(std::vector<TRedemption> redemptions, int64_t nextReference) {
  FRedemptions = std::move(redemptions);
  FNextReference = nextReference > 0 ? nextReference : 1;
  FByReference.clear();
  FByCode.clear();
  FActive.clear();
  for (size_t i = 0; i < FRedemptions.size(); ++i) Index(i);
}

void TVoucherBook::Index(size_t position) {
  const TRedemption& r = FRedemptions[position];
  FByReference.emplace(r.Reference, position);
  FByCode[r.Code].push_back(position);
  if (!r.Reversed) ++FActive[r.Code];
}

const TVoucher* TVoucherBook::Find(const std::string& code) const {
  for (const TVoucher& v : FVouchers)
    if (v.Code == code) return &v;
  return nullptr;
}

int32_t TVoucherBook::ActiveUses(const std::string& code) const {
  const auto it = FActive.find(code);
  return it == FActive.end() ? 0 : it->second;
}

std::string FormatMoney(TSandboxMoney value) {
  const bool negative = value < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : value;
  std::string text = std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(fraction));
    std::string f = digits;
    while (!f.empty() && f.back() == '0') f.pop_back();
    text += "." + f;
  }
  return negative ? "-" + text : text;
}

TVoucherAnswer TVoucherBook::Evaluate(const std::string& code, TSandboxMoney orderTotal,
                                      const std::string& today) const {
  TVoucherAnswer answer;
  answer.VoucherCode = code;
  const TVoucher* v = Find(code);
  if (!v) {
    answer.ErrorMessage = "Unknown voucher code";
    return answer;
  }
  // ISO dates compare correctly as text.
  if (!v->ExpiresOn.empty() && today > v->ExpiresOn) {
    answer.ErrorMessage = "Voucher expired on " + v->ExpiresOn;
    return answer;
  }
  if (!v->MultipleUse && ActiveUses(code) > 0) {
    answer.ErrorMessage = "Voucher has already been used";
    return answer;
  }
  if (orderTotal <= 0) {
    answer.ErrorMessage = "Order total must be above zero";
    return answer;
  }
  if (orderTotal < v->MinimumOrder) {
    answer.ErrorMessage =
        "Order total is below the voucher's minimum of " + FormatMoney(v->MinimumOrder);
    return answer;
  }
  TSandboxMoney discount = 0;
  if (v->Kind == TVoucherKind::Fixed) {
    discount = v->Amount;
  } else {
    // Percent of the total, rounded half up to whole cents (100 ten-thousandths).
    const __int128 raw = static_cast<__int128>(orderTotal) * v->PercentBasis / 1000000;
    discount = static_cast<TSandboxMoney>((raw + 50) / 100 * 100);
  }
  // A voucher never pays more than the order is worth.
  if (discount > orderTotal) discount = orderTotal;
  answer.Success = true;
  answer.DisplayName = v->DisplayName;
  answer.DiscountAmount = discount;
  return answer;
}

TVoucherAnswer TVoucherBook::Redeem(const std::string& code, TSandboxMoney orderTotal,
                                    const std::string& today, const std::string& time,
                                    const TRedemptionOrigin& origin, const TKeepChange& keep) {
  TVoucherAnswer answer = Evaluate(code, orderTotal, today);
  if (!answer.Success) return answer;
  char reference[32];
  std::snprintf(reference, sizeof reference, "DVR-%08lld", static_cast<long long>(FNextReference));
  answer.VoucherReference = reference;
  TRedemption made{answer.VoucherReference, code, answer.DiscountAmount, false, time, origin};
  if (keep && !keep(made, FNextReference + 1)) return answer;
  ++FNextReference;
  FRedemptions.push_back(std::move(made));
  Index(FRedemptions.size() - 1);
  return answer;
}

TVoucherAnswer TVoucherBook::Reverse(const std::string& reference, const TKeepChange& keep) {
  TVoucherAnswer answer;
  answer.VoucherReference = reference;
  const auto found = FByReference.find(reference);
  if (found == FByReference.end()) {
    answer.ErrorMessage = "Unknown voucher reference";
    return answer;
  }
  TRedemption& r = FRedemptions[found->second];
  answer.VoucherCode = r.Code;
  if (r.Reversed) {
    answer.ErrorMessage = "Redemption " + reference + " has already been reversed";
    return answer;
  }
  answer.Success = true;
  answer.DiscountAmount = r.Amount;
  if (keep && !keep(r, FNextReference)) return answer;
  r.Reversed = true;
  --FActive[r.Code];
  return answer;
}

TVoucherStatus TVoucherBook::Status(const std::string& code, const std::string& today) const {
  TVoucherStatus status;
  status.Voucher = Find(code);
  if (!status.Voucher) return status;
  status.Found = true;
  status.Redemptions = ActiveUses(code);
  if (const auto uses = FByCode.find(code); uses != FByCode.end())
    for (const size_t i : uses->second)
      if (!FRedemptions[i].Reversed) status.Live.push_back(FRedemptions[i]);
  if (!status.Voucher->ExpiresOn.empty() && today > status.Voucher->ExpiresOn)
    status.State = "expired";
  else if (!status.Voucher->MultipleUse && status.Redemptions > 0)
    status.State = "used";
  else
    status.State = "available";
  return status;
}
