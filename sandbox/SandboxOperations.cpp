#include "sandbox/SandboxOperations.h"

#include <cstdint>
#include <optional>
#include <unordered_map>

#include "lib/common/AsciiCase.h"
#include "lib/common/PathParts.h"
#include "lib/voucher/DovraMessages.h"
#include "sandbox/SandboxClock.h"
#include "sandbox/SandboxJSON.h"
#include "sandbox/SandboxReplies.h"

namespace {

// The origin of a redemption as its redeem request states it; a member in another form than the
// documented one is not guessed at. The digest is of the body's bytes as they arrived.
TRedemptionOrigin RedeemOrigin(const TJSONValue& request, const std::string& body) {
  TRedemptionOrigin origin;
  origin.RequestDigest = RequestDigest(body);
  if (const TJSONValue* store = Member(request, "StoreReference"); store && IsInteger(*store))
    origin.StoreReference = IntegerOf(*store);
  const TJSONValue* order = Member(request, "VoucherOrder");
  if (order && order->Document() && order->Document()->IsObject())
    if (const TJSONValue* date = TextMember(*order, "OrderDate")) origin.OrderDate = date->AsText();
  return origin;
}

// The voucher code and the order's total that evaluate and redeem weigh; a refusal naming the
// member that is missing when the body lacks one.
struct TVoucherOrder {
  const TJSONValue* Code = nullptr;
  const TJSONValue* Total = nullptr;
};

std::optional<TSandboxReply> ReadVoucherOrder(const TJSONValue& body, TVoucherOrder& order) {
  order.Code = TextMember(body, "VoucherCode");
  if (!order.Code) return Refusal(400, "The request has no \"VoucherCode\" text");
  const TJSONValue* lines = Member(body, "VoucherOrder");
  order.Total = (lines && lines->Document() && lines->Document()->IsObject())
                    ? Member(*lines, "TotalPrice")
                    : nullptr;
  if (!order.Total || !IsNumber(*order.Total))
    return Refusal(400, "The request has no \"VoucherOrder\".\"TotalPrice\" number");
  return std::nullopt;
}

TSandboxReply Evaluate(TSandboxBook& book, const TJSONValue& body, const std::string&) {
  TVoucherOrder order;
  if (auto refusal = ReadVoucherOrder(body, order)) return *refusal;
  return JsonReply(
      200,
      AnswerDocument(book.Evaluate(order.Code->AsText(), order.Total->ToMoney(), Today()), false));
}

TSandboxReply Redeem(TSandboxBook& book, const TJSONValue& body, const std::string& rawBody) {
  TVoucherOrder order;
  if (auto refusal = ReadVoucherOrder(body, order)) return *refusal;
  std::string error;
  const TVoucherAnswer answer = book.Redeem(order.Code->AsText(), order.Total->ToMoney(), Today(),
                                            UtcNow(), RedeemOrigin(body, rawBody), error);
  if (!error.empty()) return Refusal(500, error);
  return JsonReply(200, AnswerDocument(answer, true));
}

TSandboxReply Reverse(TSandboxBook& book, const TJSONValue& body, const std::string&) {
  const TJSONValue* reference = TextMember(body, "VoucherReference");
  if (!reference) return Refusal(400, "The request has no \"VoucherReference\" text");
  std::string error;
  const TVoucherAnswer answer = book.Reverse(reference->AsText(), error);
  if (!error.empty()) return Refusal(500, error);
  if (!answer.Success) return JsonReply(200, AnswerDocument(answer, false));
  return JsonReply(200,
                   NewObjectDocument({"Success", true, "VoucherReference", answer.VoucherReference,
                                      "VoucherCode", answer.VoucherCode, "DiscountAmount",
                                      TJSONMoney{answer.DiscountAmount}}));
}

TSandboxReply Status(TSandboxBook& book, const TJSONValue& body, const std::string&) {
  const TJSONValue* code = TextMember(body, "VoucherCode");
  if (!code) return Refusal(400, "The request has no \"VoucherCode\" text");
  const TVoucherStatus status = book.Status(code->AsText(), Today());
  if (!status.Found) return Refusal(200, "Unknown voucher code");
  const TVoucher& v = *status.Voucher;
  TJSONValue doc = NewObjectDocument(
      {"Success", true, "VoucherCode", v.Code, "DisplayName", v.DisplayName, "Kind",
       v.Kind == TVoucherKind::Fixed ? "fixed" : "percentage", "Status", status.State,
       "Redemptions", status.Redemptions, "MultipleUse", v.MultipleUse});
  if (v.Kind == TVoucherKind::Fixed)
    doc.Set("Amount", TJSONMoney{v.Amount});
  else
    doc.Set("Percent", TJSONMoney{v.PercentBasis});
  doc.Set("MinimumOrder", TJSONMoney{v.MinimumOrder});
  doc.Set("ExpiresOn", v.ExpiresOn.empty() ? TJSONValue(nullptr) : TJSONValue(v.ExpiresOn));
  // What a till that lost a redeem answer needs to find its own redemption and give it back.
  TJSONValue live = NewArrayDocument();
  for (const TRedemption& r : status.Live)
    live.Add(NewObjectDocument(
        {"VoucherReference", r.Reference, "StoreReference", StoreReferenceValue(r.Origin),
         "OrderDate", OrderDateValue(r.Origin), "DiscountAmount", TJSONMoney{r.Amount},
         "RedeemedOn", r.Time.empty() ? TJSONValue(nullptr) : TJSONValue(r.Time), "RequestDigest",
         RequestDigestValue(r.Origin)}));
  doc.Set("LiveRedemptions", live);
  // When the list was true: a till weighing its log against it knows which of its requests
  // the answer can have seen.
  doc.Set("AnsweredOn", UtcNow());
  return JsonReply(200, doc);
}

}  // namespace

const TSandboxRoute* FindRoute(const std::string& path) {
  // Keyed by the route's last part in lower case; each operation answers to its documented name
  // and to its short one.
  static const std::unordered_map<std::string, TSandboxRoute> routes = {
      {"evaluatevoucher", {"evaluate", Evaluate}},
      {"evaluate", {"evaluate", Evaluate}},
      {"redeemvoucher", {"redeem", Redeem}},
      {"redeem", {"redeem", Redeem}},
      {"reverseredemption", {"reverse", Reverse}},
      {"reverse", {"reverse", Reverse}},
      {"getvoucherstatus", {"status", Status}},
      {"voucherstatus", {"status", Status}},
      {"status", {"status", Status}},
  };
  const auto it = routes.find(NameOf(LowerAscii(path)));
  return it == routes.end() ? nullptr : &it->second;
}
