// The voucher service documents, built and read member by member in the order the dialog and
// the payment method use them.
#include "lib/voucher/DovraMessages.h"

#include <openssl/evp.h>

#include <cmath>
#include <exception>
#include <stdexcept>

#include "lib/common/AsciiCase.h"
#include "lib/common/LocalTime.h"

namespace {

// Days since 1899-12-30 of a proleptic Gregorian date.
int64_t DaysSinceEpoch1899(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 25569;
}

}  // namespace

TDateTime LocalNow() {
  const TLocalTime now = LocalTimeNow();
  const int64_t days = DaysSinceEpoch1899(now.Year, now.Month, now.Day);
  const double seconds = now.Hour * 3600.0 + now.Minute * 60.0 + now.Second +
                         static_cast<double>(now.Millisecond) / 1000.0;
  return static_cast<double>(days) + seconds / 86400.0;
}

TCurrency FloatToMoney(double amount) {
  // nearbyint in the default rounding mode sends an exact half to the even neighbour.
  const double scaled = std::nearbyint(amount * 10000.0);
  if (!std::isfinite(scaled) || scaled < -9.2e18 || scaled > 9.2e18)
    throw EVariantTypeCastError("Double", "Currency");
  return static_cast<TCurrency>(scaled);
}

void AppendVoucherItems(const TJSONValue& order, const TJSONValue& items) {
  // Every access goes again through "LineItems" and the index, as the dialog's preparation
  // does, so a faulty line raises at the same member.
  const int32_t last = order.Get("LineItems").Count() - 1;
  for (int32_t i = 0; i <= last; ++i) {
    if (order.Get("LineItems")._(i).Get("Code").ToText().empty()) continue;
    items.Add(NewObjectDocument({"Code", order.Get("LineItems")._(i).Get("Code"), "Quantity",
                                 order.Get("LineItems")._(i).Get("Quantity"), "UnitPrice",
                                 order.Get("LineItems")._(i).Get("Price")}));
  }
}

TJSONValue NewVoucherItems(const TJSONValue& order) {
  TJSONValue items = NewArrayDocument();
  AppendVoucherItems(order, items);
  return items;
}

void SetVoucherRequest(const TJSONValue& request, const std::string& voucherCode,
                       int32_t storeReference, const std::string& userReference,
                       const TJSONValue& order, const TJSONValue& items, const TLocalClock& clock) {
  request.Set("VoucherCode", voucherCode);
  request.Set("StoreReference", storeReference);
  request.Set("User", NewObjectDocument(
                          {"Reference", userReference, "CreatedOn", DateTimeToISO8601(clock())}));
  // A braced list is evaluated in order: the clock is read before "AfterDisc" is converted.
  request.Set("VoucherOrder",
              NewObjectDocument({"OrderDate", DateTimeToISO8601(clock()), "TotalPrice",
                                 order.Get("AfterDisc").ToFloat(), "Items", items}));
}

std::string ReversalRequestText(std::string_view voucherReference) {
  return NewObjectDocument({"VoucherReference", voucherReference}).ToJSON();
}

std::optional<bool> ServiceSuccessOf(const TJSONValue& answer) {
  if (!answer.Document() || !answer.Document()->IsObject()) return std::nullopt;
  const TJSONValue* success = answer.Find("Success");
  if (!success || success->Kind() != TJSONKind::Boolean) return std::nullopt;
  return success->AsBoolean();
}

std::optional<bool> ServiceSuccess(std::string_view answerText) {
  return ServiceSuccessOf(ParseJSONDocument(answerText));
}

std::string ReversalRequestReference(std::string_view requestText) {
  const TJSONValue request = ParseJSONDocument(requestText);
  const TJSONValue* reference = request.Document() && request.Document()->IsObject()
                                    ? request.Find("VoucherReference")
                                    : nullptr;
  return reference && reference->Kind() == TJSONKind::Text ? reference->AsText() : std::string();
}

std::string RequestDigest(std::string_view body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(body.data(), body.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length != 32)
    throw std::runtime_error("SHA-256 of a request body of " + std::to_string(body.size()) +
                             " bytes failed in libcrypto");
  static const char* const kHex = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

bool ReversalConfirmed(std::string_view response, std::string_view voucherReference) {
  if (!StrictJSONProblem(response).empty()) return false;
  const TJSONValue answer = ParseJSONDocument(response);
  const TJSONDocument* doc = answer.Document();
  if (!doc || !doc->IsObject()) return false;
  // The lenient lookup ignores letter case; here each spelling of a name is seen, and a second
  // spelling beside the exact one leaves it open which the service meant.
  bool confirmed = false;
  for (const TJSONMember& member : doc->Members()) {
    if (SameTextAscii(member.Name, "Success")) {
      if (member.Name != "Success" || member.Value.Kind() != TJSONKind::Boolean ||
          !member.Value.AsBoolean())
        return false;
      confirmed = true;
    } else if (SameTextAscii(member.Name, "VoucherReference")) {
      if (member.Value.Kind() != TJSONKind::Text || member.Value.AsText() != voucherReference)
        return false;
    }
  }
  return confirmed;
}

bool ReverseConfirmed(IDovraVoucherAPI& api, const std::string& voucherReference,
                      std::string& response) {
  return api.Reverse(ReversalRequestText(voucherReference), response) &&
         ReversalConfirmed(response, voucherReference);
}

TCurrency RedeemDiscountAmount(const TJSONValue& answer) {
  const TJSONValue amount = answer.Get("DiscountAmount");
  // An amount written with up to four decimals was read exactly; going through a double would
  // turn 12.345 into 123449.99999999999 ten-thousandths and round the wrong way.
  if (amount.Kind() == TJSONKind::Money) return amount.AsInt64();
  // A whole amount is exact too: beyond 2^53 ten-thousandths (about 900 billion units) a double
  // holds it only to the nearest few ten-thousandths. Too large for money raises, as below.
  if (amount.Kind() == TJSONKind::Integer || amount.Kind() == TJSONKind::LargeInteger)
    return amount.ToMoney();
  return FloatToMoney(amount.ToFloat());
}

std::string RedeemVoucherReference(const TJSONValue& answer) {
  return answer.Get("VoucherReference").ToText();
}

std::string RedeemVoucherCode(const TJSONValue& answer) {
  return answer.Get("VoucherCode").ToText();
}

void ReadRedeemAnswer(std::string_view answerText, TRedeemAnswer& read) {
  const TJSONValue answer = ParseJSONDocument(answerText);
  std::exception_ptr firstError;
  auto attempt = [&](auto step) {
    try {
      step();
    } catch (...) {
      if (!firstError) firstError = std::current_exception();
    }
  };
  attempt([&] {
    read.DiscountAmount = RedeemDiscountAmount(answer);
    read.HasAmount = true;
  });
  attempt([&] {
    read.VoucherReference = RedeemVoucherReference(answer);
    read.HasReference = true;
  });
  attempt([&] { read.VoucherCode = RedeemVoucherCode(answer); });
  if (firstError) std::rethrow_exception(firstError);
}
