#include "host/till/TillPayment.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <ostream>

#include "host/contract/TDBScript.h"
#include "host/contract/TRestClient.h"
#include "host/store/TGiveBack.h"
#include "host/store/TTillSales.h"
#include "host/till/TTill.h"
#include "intf/intfDI.h"
#include "intf/intfPaymentMethod.h"
#include "lib/common/Utf8Text.h"

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
  std::ostream* PrintedTo;  // where the receipt lines go
  int Changes = 0;
};

void OnChanged(void* context, IPaymentMethod* sender) {
  auto* receipt = static_cast<TReceipt*>(context);
  ++receipt->Changes;
  *receipt->PrintedTo << "changed: amount " << MoneyText(sender->GetAmount()) << '\n';
}

void OnPaymentEntry(void* context, int32_t first, int32_t second, const std::string& code, int32_t,
                    int32_t, double amount, int32_t, int32_t) {
  auto* receipt = static_cast<TReceipt*>(context);
  // Four decimals with a point, whatever the process's locale says.
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, amount, std::chars_format::fixed, 4).ptr;
  *receipt->PrintedTo << "receipt: payment entry " << code << " amount " << std::string(buf, end)
                      << " (context " << first << "," << second << ")\n";
}

void OnPaymentCode(void* context, int32_t first, int32_t second, const std::string& code) {
  auto* receipt = static_cast<TReceipt*>(context);
  *receipt->PrintedTo << "receipt: payment code " << code << " (context " << first << "," << second
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
    // The service's texts, as the database keeps them: stray bytes never reach the printer.
    out << "receipt: detail " << ValidUTF8(line) << '\n';
  }
}

// What the till's own services saw of one step handed to the module.
class TWatch {
 public:
  explicit TWatch(TTill& till) : FDb(till.Database()), FTill(till) {}
  void Begin() {
    FFailures = FDb.Failures();
    FBefore = FTill.Reversals();
  }
  bool DatabaseFailed() const { return FDb.Failures() != FFailures; }
  int32_t GivenBack() const { return FTill.Reversals().Confirmed - FBefore.Confirmed; }
  int32_t NotGivenBack() const { return FTill.Reversals().Sent - FBefore.Sent - GivenBack(); }

 private:
  const TDBScript& FDb;
  const TTill& FTill;
  int64_t FFailures = 0;
  TReversalTally FBefore;
};

struct TSale {
  TTillSales& Sales;
  int32_t Number;
  TWatch Watch;
};

TTillSales SalesOf(TTill& till) {
  return TTillSales(till.Database(), till.Options().StoreID, till.Options().TillID);
}

std::string DetailValue(IPaymentMethod& method, const std::string& name) {
  TIntfPtr<IStringConfigList> details;
  method.GetDetails(details);
  for (int32_t i = 0; details && i < details->Count(); ++i) {
    std::string line;
    details->Line(i, line);
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  }
  return {};
}

// Cancels the sale so that the module gives its voucher back; true when the service confirmed
// every reversal the cancel asked for (and there was one). The sale says it is being cancelled
// before the module is asked, so that reconcile finishes a cancel a crash cut short; a sale that
// cannot say so is not cancelled (intent false).
bool GiveBack(IPaymentMethod& method, TSale& sale, TCurrency paid, const std::string& reference,
              std::ostream& out, bool& intent) {
  // A sale that took no voucher has nothing to give back, and stays as it is.
  const bool holds = paid > 0 || !reference.empty();
  intent = !holds || sale.Sales.Settle(sale.Number, TSaleState::Cancelling, paid, reference);
  if (!intent) {
    out << "sale: not cancelled: the database cannot record that it is being cancelled\n";
    return false;
  }
  sale.Watch.Begin();
  method.CancelTransaction();
  out << "sale: cancelled (CancelTransaction)\n";
  return sale.Watch.GivenBack() > 0 && sale.Watch.NotGivenBack() == 0;
}

TExitCode Recorded(TSale& sale, bool recorded, TSaleState state, std::ostream& err,
                   TExitCode code) {
  if (recorded) return code;
  err << "sarn-till: sale " << sale.Number << ": its state \"" << SaleStateText(state)
      << "\" could not be recorded in the database\n";
  return TExitCode::Failed;
}

TExitCode RunPaymentSteps(IPaymentMethod& method, const TPaymentRun& run, TSale& sale,
                          std::ostream& out, std::ostream& err) {
  TReceipt receipt{&out};
  TChangedHandlerScope changed(&method, receipt);
  if (!run.OrderDocument.empty()) method.SetOrderDocument(run.OrderDocument);
  method.SetAmount(run.Amount);

  bool paid = false;
  TCurrency paidAmount = 0;
  std::string reference;
  if (run.Popup) {
    std::optional<TCashierAutopilot> cashier;
    if (run.Cashier) {
      cashier.emplace(*run.Cashier, out);
      cashier->Arm();
    }
    sale.Watch.Begin();
    paid = method.DoPaymentPopup();
    if (cashier) cashier->Disarm();
    paidAmount = method.GetAmount();
    out << "popup: " << (paid ? "paid" : "not paid") << std::endl;
    // A popup that ended because the database failed is the till's failure, not a "no" from
    // the customer: nothing of the sale goes further.
    if (!paid && sale.Watch.DatabaseFailed()) {
      out.flush();
      err << "sarn-till: pay: the database failed during the payment (see above); no payment "
             "was made\n";
      return TExitCode::Failed;
    }
    reference = DetailValue(method, "VoucherReference");
    if (paid && (paidAmount > run.Amount || paidAmount <= 0)) {
      // Booking it would pay out more than the sale is worth (or pay nothing): the voucher goes
      // back and the sale stays unpaid.
      out << "sale: not booked: the voucher pays " << MoneyText(paidAmount)
          << (paidAmount <= 0 ? ", not above 0"
                              : ", more than the amount due " + MoneyText(run.Amount))
          << '\n';
      bool intent = false;
      const bool back = GiveBack(method, sale, paidAmount, reference, out, intent);
      if (!intent) return Recorded(sale, false, TSaleState::Cancelling, err, TExitCode::Failed);
      out << "voucher: paid " << MoneyText(paidAmount)
          << (back ? ", then given back\n" : ", then not given back (see the module log)\n");
      const TSaleState state = back ? TSaleState::Reversed : TSaleState::ReverseFailed;
      return Recorded(sale, sale.Sales.Settle(sale.Number, state, paidAmount, reference), state,
                      err, TExitCode::NotDone);
    }
  }

  PrintReceipt(method, receipt, out);
  TSaleState state = paid ? TSaleState::Paid : TSaleState::Open;
  // A sale paid only to be cancelled at once goes from open to cancelling in one write: in
  // between, a crash would leave a paid sale that nothing says is to be cancelled.
  const bool cancelAtOnce = run.Cancel && paid && !run.Invoice;
  bool recorded =
      cancelAtOnce || sale.Sales.Settle(sale.Number, state, paid ? paidAmount : 0, reference);
  // Only a paid sale has a payment for the invoice to carry.
  if (run.Invoice && paid) {
    method.LinkInvoice(*run.Invoice);
    out << "invoice: " << *run.Invoice << " handed to LinkInvoice\n";
    state = TSaleState::Linked;
    recorded = recorded && sale.Sales.Link(sale.Number, *run.Invoice);
  } else if (run.Invoice) {
    out << "invoice: " << *run.Invoice << " not linked: nothing was paid\n";
  }
  bool givenBack = true;
  if (run.Cancel) {
    bool intent = false;
    givenBack = GiveBack(method, sale, paid ? paidAmount : 0, reference, out, intent);
    if (!intent) return Recorded(sale, false, TSaleState::Cancelling, err, TExitCode::Failed);
    if (paid) {
      state = givenBack ? TSaleState::Reversed : TSaleState::ReverseFailed;
      recorded = recorded && sale.Sales.Settle(sale.Number, state, paidAmount, reference);
    }
  }
  out << "amount: " << MoneyText(method.GetAmount()) << '\n';
  if (!run.Popup) return Recorded(sale, recorded, state, err, TExitCode::Done);
  out << "voucher: "
      << (!paid ? std::string("not paid")
          : run.Cancel
              ? "paid " + MoneyText(paidAmount) +
                    (givenBack ? ", then given back" : ", then not given back (see the module log)")
              : "paid " + MoneyText(paidAmount))
      << std::endl;
  return Recorded(sale, recorded, state, err,
                  paid && givenBack ? TExitCode::Done : TExitCode::NotDone);
}

}  // namespace

int32_t OpenSale(TTill& till, TCurrency amount, std::ostream& err) {
  const int32_t number = SalesOf(till).Open(amount);
  if (number < 0) {
    std::string path;
    till.Database().GetConnection(path);
    err << "sarn-till: pay: the sale could not be recorded in the database " << path
        << "; no payment was started\n";
  }
  return number;
}

void CloseUnpaidSale(TTill& till, int32_t sale) {
  SalesOf(till).Settle(sale, TSaleState::NotBooked, 0, "");
}

TExitCode RunPayment(TTill& till, const TPaymentRun& run, int32_t saleNumber, std::ostream& out,
                     std::ostream& err) {
  TTillSales sales = SalesOf(till);
  TSale sale{sales, saleNumber, TWatch(till)};
  out << "sale: " << sale.Number << " opened for " << MoneyText(run.Amount) << '\n';
  TIntfPtr<IPaymentMethod> method = CreatePaymentMethod(till, out, err);
  if (!method) return TExitCode::Failed;
  // What the module lets pass to the host (a bad order document, a database service missing)
  // ends the run with its message, as the host's payment framework would show it.
  try {
    return RunPaymentSteps(*method, run, sale, out, err);
  } catch (const std::exception& e) {
    out.flush();
    err << "sarn-till: " << e.what() << std::endl;
  } catch (...) {
    out.flush();
    err << "sarn-till: the payment method raised an error that is not a std::exception\n";
  }
  return TExitCode::Failed;
}

bool BeginInvoiceOverride(TTill& till, int32_t invoice, std::ostream& err) {
  if (SalesOf(till).SettleInvoice(invoice, TSaleState::Overriding) >= 0) return true;
  err << "sarn-till: override: invoice " << invoice
      << ": the database cannot record that it is being overridden; nothing was given back\n";
  return false;
}

TExitCode RunInvoiceOverride(TTill& till, int32_t invoice, std::ostream& out, std::ostream& err) {
  TIntfPtr<IPaymentMethod> method = CreatePaymentMethod(till, out, err);
  if (!method) return TExitCode::Failed;
  // A voucher of the invoice the till already gave back (voucher reverse, reconcile) cannot go
  // back twice: the service's refusal of it is no failure.
  int32_t earlier = 0;
  std::string unread;
  if (!CountGivenBackEarlier(till.Database(), invoice, earlier, unread)) earlier = 0;
  TWatch watch(till);
  try {
    watch.Begin();
    method->DoOverringInvoice(invoice);
  } catch (const std::exception& e) {
    err << "sarn-till: " << e.what() << std::endl;
    return TExitCode::Failed;
  } catch (...) {
    err << "sarn-till: the payment method raised an error that is not a std::exception\n";
    return TExitCode::Failed;
  }
  const int32_t back = watch.GivenBack();
  const int32_t notBack = std::max(0, watch.NotGivenBack() - earlier);
  out << "invoice " << invoice << ": " << back << " voucher(s) given back, " << notBack
      << " could not be (see the module log)";
  if (earlier) out << ", " << earlier << " given back earlier by the till";
  out << std::endl;
  if (watch.DatabaseFailed()) {
    err << "sarn-till: override: invoice " << invoice
        << ": the database failed (see above); its vouchers may not all have been found\n";
    return TExitCode::Failed;
  }
  if (SalesOf(till).SettleInvoice(invoice,
                                  notBack ? TSaleState::ReverseFailed : TSaleState::Reversed) < 0) {
    err << "sarn-till: override: invoice " << invoice
        << ": its sales' state could not be recorded in the database\n";
    return TExitCode::Failed;
  }
  return notBack ? TExitCode::NotDone : TExitCode::Done;
}
