#include "sandbox/SandboxReplies.h"

TSandboxReply JsonReply(int status, const TJSONValue& document) {
  TSandboxReply reply;
  reply.Status = status;
  reply.Body = document.ToJSON();
  return reply;
}

TSandboxReply Refusal(int status, const std::string& message) {
  return JsonReply(status, NewObjectDocument({"Success", false, "ErrorMessage", message}));
}

TJSONValue AnswerDocument(const TVoucherAnswer& a, bool withReference) {
  if (!a.Success) return NewObjectDocument({"Success", false, "ErrorMessage", a.ErrorMessage});
  TJSONValue doc = NewObjectDocument({"Success", true, "DisplayName", a.DisplayName,
                                      "DiscountAmount", TJSONMoney{a.DiscountAmount}});
  if (withReference) {
    doc.Set("VoucherReference", a.VoucherReference);
    doc.Set("VoucherCode", a.VoucherCode);
  }
  return doc;
}

TJSONValue StoreReferenceValue(const TRedemptionOrigin& origin) {
  return origin.StoreReference ? TJSONValue(*origin.StoreReference) : TJSONValue(nullptr);
}

TJSONValue OrderDateValue(const TRedemptionOrigin& origin) {
  return origin.OrderDate ? TJSONValue(*origin.OrderDate) : TJSONValue(nullptr);
}

TJSONValue RequestDigestValue(const TRedemptionOrigin& origin) {
  return origin.RequestDigest ? TJSONValue(*origin.RequestDigest) : TJSONValue(nullptr);
}
