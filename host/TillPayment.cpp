#include "TillPayment.h"

#include <cstdio>
#include <limits>
#include <ostream>

#include "Till.h"
#include "intfPaymentMethod.h"

bool ParseMoney(const std::string& text, TCurrency& amount) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const size_t digitsStart = i;
  TCurrency whole = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (whole > (std::numeric_limits<TCurrency>::max() / CurrencyScale - 9) / 10) return false;
    whole = whole * 10 + (text[i] - '0');
  }
  bool anyDigit = i > digitsStart;
  TCurrency fraction = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    int decimals = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++decimals) {
      if (decimals == 4) return false;
      fraction = fraction * 10 + (text[i] - '0');
      anyDigit = true;
    }
    for (; decimals < 4; ++decimals) fraction *= 10;
  }
  if (!anyDigit || i != text.size()) return false;
  amount = (whole * CurrencyScale + fraction) * (negative ? -1 : 1);
  return true;
}

namespace {

std::string MoneyText(TCurrency amount) {
  char buf[48];
  const TCurrency magnitude = amount < 0 ? -amount : amount;
  snprintf(buf, sizeof buf, "%s%lld.%04lld", amount < 0 ? "-" : "",
           static_cast<long long>(magnitude / CurrencyScale),
           static_cast<long long>(magnitude % CurrencyScale));
  return buf;
}

struct TReceipt {
  std::ostream* Out;
  int Changes = 0;
};

void OnChanged(void* context, IPaymentMethod* sender) {
  auto* receipt = static_cast<TReceipt*>(context);
  ++receipt->Changes;
  *receipt->Out << "changed: amount " << MoneyText(sender->GetAmount()) << '\n';
}

void OnPaymentEntry(void* context, int32_t first, int32_t second, const std::string& code, int32_t,
                    int32_t, double amount, int32_t, int32_t) {
  auto* receipt = static_cast<TReceipt*>(context);
  char buf[64];
  snprintf(buf, sizeof buf, "%.4f", amount);
  *receipt->Out << "receipt: payment entry " << code << " amount " << buf << " (context " << first
                << "," << second << ")\n";
}

void OnPaymentCode(void* context, int32_t first, int32_t second, const std::string& code) {
  auto* receipt = static_cast<TReceipt*>(context);
  *receipt->Out << "receipt: payment code " << code << " (context " << first << "," << second
                << ")\n";
}

}  // namespace

int RunPayment(TTill& till, const TPaymentRun& run, std::ostream& out, std::ostream& err) {
  TIntfPtr<IInterface> found;
  if (!till.Registry()->ResolveNamedService(IPaymentMethod::IID, "DovraVouchers", found)) {
    err << "sarn-till: the module registered no payment method \"DovraVouchers\" for "
        << IPaymentMethod::IID.ToString() << '\n';
    return 1;
  }
  TIntfPtr<IPaymentMethod> method = found.As<IPaymentMethod>();
  if (!method) {
    err << "sarn-till: the \"DovraVouchers\" service does not implement IPaymentMethod\n";
    return 1;
  }
  std::string name;
  method->GetName1(name);
  out << "payment method: " << name << '\n';

  TReceipt receipt{&out};
  method->SetOnChanged(TPaymentChangedEvent{&OnChanged, &receipt});
  if (!run.OrderDocument.empty()) method->SetOrderDocument(run.OrderDocument);
  method->SetAmount(run.Amount);

  if (run.Popup) {
    const bool paid = method->DoPaymentPopup();
    out << "popup: " << (paid ? "paid" : "not paid") << '\n';
  }

  // The host's two context values: the sale line and the tender number of this payment.
  const int32_t saleLine = 1, tender = 2;
  method->ReportPaymentEntry(saleLine, tender, TPaymentEntryCallback{&OnPaymentEntry, &receipt});
  method->ReportPaymentCode(saleLine, tender, TPaymentCodeCallback{&OnPaymentCode, &receipt});

  TIntfPtr<IStringConfigList> details;
  method->GetDetails(details);
  if (details) {
    for (int32_t i = 0; i < details->Count(); ++i) {
      std::string line;
      details->Line(i, line);
      out << "receipt: detail " << line << '\n';
    }
  }
  out << "amount: " << MoneyText(method->GetAmount()) << '\n';
  method->SetOnChanged(TPaymentChangedEvent{});
  return 0;
}
