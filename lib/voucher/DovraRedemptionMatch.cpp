#include "lib/voucher/DovraRedemptionMatch.h"

#include <exception>

#include "lib/voucher/DovraMessages.h"

namespace {

bool IsInteger(const TJSONValue& v) {
  return v.Kind() == TJSONKind::Integer || v.Kind() == TJSONKind::LargeInteger;
}

int64_t IntegerOf(const TJSONValue& v) {
  return v.Kind() == TJSONKind::Integer ? v.AsInteger() : v.AsInt64();
}

// The member of an object document, or nullptr (also for a value that is no object).
const TJSONValue* MemberOf(const TJSONValue& object, std::string_view name) {
  const TJSONDocument* doc = object.Document();
  return doc && doc->IsObject() ? object.Find(name) : nullptr;
}

const TJSONValue* TextOf(const TJSONValue& object, std::string_view name) {
  const TJSONValue* v = MemberOf(object, name);
  return v && v->Kind() == TJSONKind::Text ? v : nullptr;
}

bool IsAbsentOrNull(const TJSONValue* v) { return !v || v->IsNull(); }

// One "LiveRedemptions" entry; a problem text when it is out of form.
std::string ReadLiveRedemption(const TJSONValue& entry, TLiveRedemption& live) {
  if (!entry.Document() || !entry.Document()->IsObject()) return "is not an object";
  const TJSONValue* reference = TextOf(entry, "VoucherReference");
  if (!reference || reference->AsText().empty()) return "has no \"VoucherReference\" text";
  live.VoucherReference = reference->AsText();
  const TJSONValue* store = MemberOf(entry, "StoreReference");
  if (store && IsInteger(*store))
    live.StoreReference = IntegerOf(*store);
  else if (!IsAbsentOrNull(store))
    return "has a \"StoreReference\" that is neither an integer nor null";
  const TJSONValue* date = MemberOf(entry, "OrderDate");
  if (date && date->Kind() == TJSONKind::Text)
    live.OrderDate = date->AsText();
  else if (!IsAbsentOrNull(date))
    return "has an \"OrderDate\" that is neither text nor null";
  try {
    live.DiscountAmount = RedeemDiscountAmount(entry);
  } catch (const std::exception&) {
    return "has no \"DiscountAmount\" amount";
  }
  if (const TJSONValue* on = TextOf(entry, "RedeemedOn")) live.RedeemedOn = on->AsText();
  const TJSONValue* digest = MemberOf(entry, "RequestDigest");
  if (digest && digest->Kind() == TJSONKind::Text && IsRequestDigest(digest->AsText()))
    live.RequestDigest = digest->AsText();
  else if (!IsAbsentOrNull(digest))
    return "has a \"RequestDigest\" that is neither 64 lowercase hex digits nor null";
  return {};
}

bool IsDigits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return !text.empty();
}

// "YYYY-MM-DDTHH:MM:SS", an optional fraction, and "Z": the service's clock in UTC.
bool IsUtcTimestamp(std::string_view t) {
  if (t.size() < 20 || t.back() != 'Z') return false;
  if (!(IsDigits(t.substr(0, 4)) && t[4] == '-' && IsDigits(t.substr(5, 2)) && t[7] == '-' &&
        IsDigits(t.substr(8, 2)) && t[10] == 'T' && IsDigits(t.substr(11, 2)) && t[13] == ':' &&
        IsDigits(t.substr(14, 2)) && t[16] == ':' && IsDigits(t.substr(17, 2))))
    return false;
  const std::string_view rest = t.substr(19, t.size() - 20);
  return rest.empty() || (rest[0] == '.' && IsDigits(rest.substr(1)));
}

}  // namespace

bool IsRequestDigest(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool RedemptionKeyOfRequest(const TJSONValue& request, TRedemptionKey& key) {
  const TJSONValue* code = TextOf(request, "VoucherCode");
  const TJSONValue* store = MemberOf(request, "StoreReference");
  const TJSONValue* order = MemberOf(request, "VoucherOrder");
  const TJSONValue* date = order ? TextOf(*order, "OrderDate") : nullptr;
  if (!code || !store || !IsInteger(*store) || !date) return false;
  key = {code->AsText(), IntegerOf(*store), date->AsText(), {}};
  return true;
}

std::string RedemptionKeyTextOfRequest(const TJSONValue& request, std::string_view requestDigest) {
  auto copy = [](const TJSONValue* v) { return v ? *v : TJSONValue(nullptr); };
  const TJSONValue* order = MemberOf(request, "VoucherOrder");
  const TJSONValue line =
      NewObjectDocument({"VoucherCode", copy(MemberOf(request, "VoucherCode")), "StoreReference",
                         copy(MemberOf(request, "StoreReference")), "OrderDate",
                         copy(order ? MemberOf(*order, "OrderDate") : nullptr)});
  if (!requestDigest.empty()) line.Set("RequestDigest", requestDigest);
  return line.ToJSON();
}

bool ReadRedemptionKeyText(std::string_view text, TRedemptionKey& key) {
  const TJSONValue line = ParseJSONDocument(text);
  const TJSONValue* code = TextOf(line, "VoucherCode");
  const TJSONValue* store = MemberOf(line, "StoreReference");
  const TJSONValue* date = TextOf(line, "OrderDate");
  const TJSONValue* digest = MemberOf(line, "RequestDigest");
  if (!code || !store || !IsInteger(*store) || !date) return false;
  const bool knownDigest = digest && digest->Kind() == TJSONKind::Text;
  if (knownDigest ? !IsRequestDigest(digest->AsText()) : !IsAbsentOrNull(digest)) return false;
  key = {code->AsText(), IntegerOf(*store), date->AsText(),
         knownDigest ? digest->AsText() : std::string()};
  return true;
}

std::string VoucherStatusRequestText(std::string_view voucherCode) {
  return NewObjectDocument({"VoucherCode", voucherCode}).ToJSON();
}

TVoucherStatusAnswer ReadVoucherStatusAnswer(std::string_view text, std::string_view voucherCode) {
  TVoucherStatusAnswer answer;
  const TJSONValue doc = ParseJSONDocument(text);
  if (!doc.Document() || !doc.Document()->IsObject()) {
    answer.Problem = "the answer is not a JSON object";
    return answer;
  }
  const TJSONValue* answeredOn = MemberOf(doc, "AnsweredOn");
  if (answeredOn && answeredOn->Kind() == TJSONKind::Text && IsUtcTimestamp(answeredOn->AsText())) {
    answer.AnsweredOn = answeredOn->AsText();
  } else if (!IsAbsentOrNull(answeredOn)) {
    answer.Problem = "the answer has an \"AnsweredOn\" that is no UTC time (YYYY-MM-DDTHH:MM:SSZ)";
    return answer;
  }
  const std::optional<bool> success = ServiceSuccessOf(doc);
  if (!success) {
    answer.Problem = "the answer has no \"Success\" true or false";
    return answer;
  }
  if (!*success) {
    const TJSONValue* message = TextOf(doc, "ErrorMessage");
    answer.Readable = true;
    answer.ErrorMessage = message ? message->AsText() : std::string();
    return answer;
  }
  const TJSONValue* code = TextOf(doc, "VoucherCode");
  if (!code || code->AsText() != voucherCode) {
    answer.Problem = "the answer is not about the voucher code asked for";
    return answer;
  }
  const TJSONValue* list = MemberOf(doc, "LiveRedemptions");
  if (!list || !list->Document() || !list->Document()->IsArray()) {
    answer.Problem = "the answer has no \"LiveRedemptions\" array";
    return answer;
  }
  for (int32_t i = 0; i < list->Count(); ++i) {
    TLiveRedemption live;
    if (const std::string problem = ReadLiveRedemption(list->_(i), live); !problem.empty()) {
      answer.Problem = "live redemption " + std::to_string(i + 1) + " " + problem;
      answer.LiveRedemptions.clear();
      return answer;
    }
    answer.LiveRedemptions.push_back(std::move(live));
  }
  answer.Readable = true;
  answer.Success = true;
  return answer;
}

TRedemptionMatch MatchLiveRedemptions(const std::vector<TLiveRedemption>& live,
                                      const std::string& requestDigest) {
  TRedemptionMatch match;
  // A request whose digest is not known can prove no redemption its own, nor any not its own.
  if (requestDigest.empty()) {
    match.Count = TRedemptionMatchCount::Unknown;
    return match;
  }
  bool allCarryDigest = true;
  for (const TLiveRedemption& r : live) {
    if (r.RequestDigest.empty()) allCarryDigest = false;
    if (r.RequestDigest == requestDigest) match.References.push_back(r.VoucherReference);
  }
  match.Count = match.References.size() == 1  ? TRedemptionMatchCount::One
                : match.References.size() > 1 ? TRedemptionMatchCount::Several
                : allCarryDigest              ? TRedemptionMatchCount::None
                                              : TRedemptionMatchCount::Unknown;
  return match;
}

TRedemptionMatch MatchLiveRedemptions(const std::vector<TLiveRedemption>& live,
                                      const TRedemptionKey& key) {
  return MatchLiveRedemptions(live, key.RequestDigest);
}
