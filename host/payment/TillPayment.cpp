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

// Clears the method's change handler on every way out: it points at the runner's stack.
class TChangedHandlerScope {
 public:
  TChangedHandlerScope(IPaymentMethod* method, TReceipt& receipt) : FMethod(method) {
    FMethod->SetOnChanged(TPaymentChangedEvent{&OnChanged, &receipt});
  }
  ~TChangedHandlerScope() { FMethod->SetOnChanged(TPaymentChangedEvent{}); }
  TChangedHandlerScope(const TChangedHandlerScope&) = delete;
  TChangedHandlerScope& operator=(const TChangedHandlerScope&) = delete;

 private:
  IPaymentMethod* FMethod;
};

TIntfPtr<IPaymentMethod> CreatePaymentMethod(TTill& till, std::ostream& out, std::ostream& err) {
  TIntfPtr<IInterface> found;
  if (!till.Registry()->ResolveNamedService(IPaymentMethod::IID, "DovraVouchers", found)) {
    err << "sarn-till: the module registered no payment method \"DovraVouchers\" for "
        << IPaymentMethod::IID.ToString() << '\n';
    return nullptr;
  }
  TIntfPtr<IPaymentMethod> method = found.As<IPaymentMethod>();
  if (!method) {
    err << "sarn-till: the \"DovraVouchers\" service does not implement IPaymentMethod\n";
    return nullptr;
  }
  std::string name;
  method->GetName1(name);
  out << "payment method: " << name << '\n';
  return method;
}

void PrintReceipt(IPaymentMethod& method, TReceipt& receipt, std::ostream& out) {
  // The host's two context values: the sale line and the tender number of this payment.
  const int32_t saleLine = 1, tender = 2;
  method.ReportPaymentEntry(saleLine, tender, TPaymentEntryCallback{&OnPaymentEntry, &receipt});
  method.ReportPaymentCode(saleLine, tender, TPaymentCodeCallback{&OnPaymentCode, &receipt});

  TIntfPtr<IStringConfigList> details;
  method.GetDetails(details);
  if (!details) return;
  for (int32_t i = 0; i < details->Count(); ++i) {
    std::string line;
    details->Line(i, line);
    out << "receipt: detail " << line << '\n';
  }
}

int RunPaymentSteps(IPaymentMethod& method, const TPaymentRun& run, std::ostream& out) {
  TReceipt receipt{&out};
  TChangedHandlerScope changed(&method, receipt);
  if (!run.OrderDocument.empty()) method.SetOrderDocument(run.OrderDocument);
  method.SetAmount(run.Amount);

  bool paid = false;
  TCurrency paidAmount = 0;
  if (run.Popup) {
    std::optional<TCashierAutopilot> cashier;
    if (run.Cashier) {
      cashier.emplace(*run.Cashier, out);
      cashier->Arm();
    }
    paid = method.DoPaymentPopup();
    if (cashier) cashier->Disarm();
    paidAmount = method.GetAmount();
    out << "popup: " << (paid ? "paid" : "not paid") << std::endl;
  }

  PrintReceipt(method, receipt, out);
  if (run.Invoice) {
    method.LinkInvoice(*run.Invoice);
    out << "invoice: " << *run.Invoice << " handed to LinkInvoice\n";
  }
  if (run.Cancel) {
    method.CancelTransaction();
    out << "sale: cancelled (CancelTransaction)\n";
  }
  out << "amount: " << MoneyText(method.GetAmount()) << '\n';
  if (!run.Popup) return kTillOK;
  // A cancelled sale keeps no payment: the voucher was handed back for reversal (the module
  // log says whether the service took it back).
  out << "voucher: "
      << (!paid        ? std::string("not paid")
          : run.Cancel ? "paid " + MoneyText(paidAmount) + ", then handed back for reversal"
                       : "paid " + MoneyText(paidAmount))
      << std::endl;
  return paid ? kTillOK : kTillNotPaid;
}

}  // namespace

int RunPayment(TTill& till, const TPaymentRun& run, std::ostream& out, std::ostream& err) {
  TIntfPtr<IPaymentMethod> method = CreatePaymentMethod(till, out, err);
  if (!method) return kTillFailed;
  // What the module lets pass to the host (a bad order document, a database service missing)
  // ends the run with its message, as the host's payment framework would show it.
  try {
    return RunPaymentSteps(*method, run, out);
  } catch (const std::exception& e) {
    out.flush();
    err << "sarn-till: " << e.what() << std::endl;
  } catch (...) {
    out.flush();
    err << "sarn-till: the payment method raised an error that is not a std::exception\n";
  }
  return kTillFailed;
}

int RunInvoiceOverride(TTill& till, int32_t invoice, std::ostream& out, std::ostream& err) {
  TIntfPtr<IPaymentMethod> method = CreatePaymentMethod(till, out, err);
  if (!method) return kTillFailed;
  try {
    method->DoOverringInvoice(invoice);
    out << "override: invoice " << invoice << " handed to DoOverringInvoice\n";
    return kTillOK;
  } catch (const std::exception& e) {
    err << "sarn-till: " << e.what() << std::endl;
  } catch (...) {
    err << "sarn-till: the payment method raised an error that is not a std::exception\n";
  }
  return kTillFailed;
}
