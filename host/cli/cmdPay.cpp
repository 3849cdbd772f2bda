#include "host/cli/cmdPay.h"

#include <QGuiApplication>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>

#include "host/cli/cliCommon.h"
#include "host/cli/cmdReconcile.h"
#include "host/contract/DatabaseConnection.h"
#include "host/contract/TDBScript.h"
#include "host/contract/TRestClient.h"
#include "host/till/TTillReconcile.h"
#include "host/till/TillPayment.h"
#include "intf/intfDovraVoucherAPI.h"

namespace {

// A store's database server that cannot be reached fails the payment before the popup: the
// module would show no dialog and take no voucher anyway, and this way the cashier learns why
// and the till says it failed. The connection made here is the one the module's calls use.
void RequireDatabaseServer(TTill& till) {
  if (!IsServerConnection(till.Options().DatabasePath)) return;
  std::string error;
  if (!till.Database().Exists(error)) {
    std::cerr << "sarn-till: database: " << error << '\n';
    throw CommandEnd(
        "sarn-till: pay: the store database cannot be reached; no payment "
        "was started",
        TExitCode::Failed);
  }
}

// Which database the command writes to, as upgrade says it (a password masked).
void ShowDatabase(TTill& till) {
  std::string shown;
  till.Database().GetConnection(shown);
  std::cout << "database: " << shown << std::endl;
}

// A dialog drawn off screen, with nobody driving it, would wait for ever.
bool NobodyCanSeeTheDialog() {
  const QString platform = QGuiApplication::platformName();
  return platform == "offscreen" || platform == "minimal";
}

void Finish(TExitCode code) {
  if (code != TExitCode::Done) throw CommandEnd(code);
}

// The voucher service's failures the till's REST client met during one command: a service not
// reached, a certificate not trusted, a time-out, an HTTP error. The module keeps the reason to
// its log; the cashier needs it on the screen, and a refusal must not look like an outage.
struct TServiceFailures {
  int32_t Count = 0;
  std::string First;  // the first reason, on one line
};

// Watches every REST exchange of the till from now on.
std::shared_ptr<TServiceFailures> WatchServiceFailures(TTill& till) {
  auto failures = std::make_shared<TServiceFailures>();
  till.MutableOptions().RestObserver = [failures](const TRestExchange& exchange) {
    if (exchange.Error.empty()) return;
    if (failures->Count++ == 0) failures->First = ServiceFailureLine(exchange.Error);
  };
  return failures;
}

// A payment or override that did not go through exits 1, not 3, when the service failed on the
// way: what the customer or the service refused is 3, a service that could not answer is the
// till's matter.
void FinishWatched(TExitCode code, const TServiceFailures& failures, const char* command) {
  if (code == TExitCode::NotDone && failures.Count > 0) {
    std::cerr << "sarn-till " << command << ": the voucher service failed: " << failures.First;
    if (failures.Count > 1) std::cerr << " (and " << failures.Count - 1 << " more request(s))";
    std::cerr << '\n';
    throw CommandEnd(TExitCode::Failed);
  }
  Finish(code);
}

// A till that crashed settles what its own module log left open before it takes another voucher:
// quietly when there is nothing (the log read from the last point, a few milliseconds), with the
// candidates and a summary when there is. Its failures do not stop the payment: reconcile is
// there for what this could not do, and the cashier's sale is another matter.
void NotLookedAt(const std::string& error) {
  std::cerr << "sarn-till pay: what an earlier run left open was not looked at: " << error
            << "; run sarn-till reconcile" << std::endl;
}

void SettleEarlierRun(TTill& till, TTillReconcile& reconcile) {
  std::string error, warning;
  bool needed = false;
  if (!reconcile.NeedsSettling(needed, error)) return NotLookedAt(error);
  if (!needed) return;
  const TIntfPtr<IDovraVoucherAPI> api = ResolveAs<IDovraVoucherAPI>(till.Registry());
  if (!api) return;  // the payment itself says there is no voucher service
  std::vector<Reconcile::TOutcome> outcomes;
  if (!reconcile.Settle(*api, outcomes, error, warning)) {
    std::cerr << "sarn-till pay: what an earlier run left open could not be settled: " << error
              << "; run sarn-till reconcile" << std::endl;
    return;
  }
  if (!warning.empty()) std::cerr << "sarn-till pay: " << warning << std::endl;
  if (!outcomes.empty()) PrintSettledBeforePayment(outcomes, std::cout);
}

struct TPayOptions {
  TPaymentRun Run;
  TReconcileSettings Settle;
  std::string AmountText, OrderFile;
  TCashierScript Cashier;
  bool NoRedeem = false;
  int GiveUpSeconds = 60;
  int32_t Invoice = -1;
};

void AddPayCommand(CLI::App& app, TTill& till) {
  auto o = std::make_shared<TPayOptions>();
  CLI::App* pay = app.add_subcommand("pay", "Pay a sale with the module's payment method");
  pay->add_option("--amount", o->AmountText, "Amount of the payment, e.g. 12.50")->required();
  CLI::Option* order = pay->add_option(
      "--order", o->OrderFile,
      "JSON order document of the sale: an object with \"AfterDisc\" and \"LineItems\"");
  CLI::Option* popup =
      pay->add_flag("--popup", o->Run.Popup, "Show the module's payment popup")->needs(order);
  CLI::Option* voucher = pay->add_option("--voucher", o->Cashier.VoucherCode,
                                         "Cashier autopilot: voucher code to type into the dialog")
                             ->needs(popup);
  CLI::Option* mobile = pay->add_option("--mobile", o->Cashier.UserReference,
                                        "Cashier autopilot: the customer's mobile number");
  voucher->needs(mobile);
  mobile->needs(voucher);
  pay->add_flag("--no-redeem", o->NoRedeem,
                "Cashier autopilot: check the voucher, then close the dialog by its close box")
      ->needs(voucher);
  pay->add_option("--redeem-presses", o->Cashier.RedeemPresses,
                  "Cashier autopilot: while the dialog stays open after Redeem, press it again, "
                  "up to N presses in all")
      ->check(CLI::Range(1, 10))
      ->capture_default_str()
      ->needs(voucher);
  pay->add_option("--give-up", o->GiveUpSeconds,
                  "Cashier autopilot: seconds after which whatever is open is closed (units "
                  "allowed: 90s, 5m)")
      ->transform(Seconds(1, 3600))
      ->capture_default_str()
      ->needs(voucher);
  CLI::Option* invoice =
      pay->add_option("--invoice", o->Invoice, "After the popup: link the sale to invoice N")
          ->check(CLI::Range(0, std::numeric_limits<int32_t>::max()));
  pay->add_flag("--cancel", o->Run.Cancel, "After the popup: cancel the sale")->excludes(invoice);
  pay->add_option("--settle-older-than", o->Settle.OlderThan,
                  "Before the payment, what an earlier run of this till left open in the module "
                  "log is settled as reconcile does, leaving alone redemptions the service made "
                  "less than SECONDS ago (units allowed: 90s, 5m, 2h)")
      ->capture_default_str()
      ->transform(Seconds(0, 315360000));
  pay->footer(
      std::string("Prints \"voucher service: ADDRESS\", the cashier's actions (the mobile number "
                  "but its last three digits masked), \"popup: paid|not paid\", the receipt "
                  "lines, the amount and \"voucher: paid AMOUNT|not paid\".\n"
                  "Without --voucher and --mobile a person works the dialog, which needs a "
                  "display.\n"
                  "The order document is checked before the module is asked. A voucher that "
                  "pays more than --amount, or not above 0, is given back and the sale is not "
                  "booked. Without --popup no voucher is involved: refused.\n\n") +
      kExitCodeTable);
  pay->callback([o, &till, voucher] {
    TPaymentRun& run = o->Run;
    // Without the popup no voucher is involved and the till would book nothing of its own.
    if (!run.Popup)
      throw CommandEnd(
          "sarn-till pay: --popup is needed: a payment without the module's popup involves no "
          "voucher",
          TExitCode::Usage);
    if (!ParseMoney(o->AmountText, run.Amount))
      throw CLI::ValidationError("--amount", AmountProblem(o->AmountText));
    if (*voucher) {
      o->Cashier.Redeem = !o->NoRedeem;
      o->Cashier.GiveUpMs = o->GiveUpSeconds * 1000;
      run.Cashier = o->Cashier;
    } else if (run.Popup && NobodyCanSeeTheDialog()) {
      const bool noDisplayVariable = !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
      std::cerr << "sarn-till: pay --popup: there is no display for a person to use the voucher "
                   "dialog (Qt platform \""
                << QGuiApplication::platformName().toStdString() << "\""
                << (noDisplayVariable ? "; DISPLAY and WAYLAND_DISPLAY are not set" : "")
                << "); give --voucher CODE --mobile NUMBER to let the cashier autopilot work it\n";
      throw CommandEnd(TExitCode::Usage);
    }
    if (o->Invoice >= 0) run.Invoice = o->Invoice;
    // A document the module cannot use would leave an opened row and an error entry behind.
    std::string orderError;
    if (!o->OrderFile.empty() && !ReadOrderDocument(o->OrderFile, run.OrderDocument, orderError))
      throw CommandEnd("sarn-till pay: " + orderError, TExitCode::Usage);
    RequireDatabase(till, "pay");
    const auto failures = WatchServiceFailures(till);
    till.StartServices();
    ShowDatabase(till);
    RequireDatabaseServer(till);
    RequireModuleTables(till, "pay");
    const int32_t sale = OpenSale(till, run.Amount, std::cerr);
    if (sale < 0) throw CommandEnd(TExitCode::Failed);
    till.NameForModuleLog(sale);
    // The log as earlier runs left it, before this process's own header joins it.
    TTillReconcile earlier(till, o->Settle);
    std::string logError;
    const bool logRead = earlier.ReadLog(logError);
    if (!logRead) NotLookedAt(logError);
    try {
      StartModule(till, "pay");
    } catch (...) {
      CloseUnpaidSale(till, sale);
      throw;
    }
    if (logRead) {
      SettleEarlierRun(till, earlier);
      // What the settling met at the service is not this payment's.
      *failures = TServiceFailures{};
    }
    FinishWatched(RunPayment(till, run, sale, std::cout, std::cerr), *failures, "pay");
  });
}

void AddOverrideCommand(CLI::App& app, TTill& till) {
  auto invoice = std::make_shared<int32_t>(0);
  CLI::App* override_ = app.add_subcommand(
      "override", "Hand the module an overridden invoice: it reverses the vouchers it carried");
  override_->add_option("--invoice", *invoice, "Number of the overridden invoice")
      ->required()
      ->check(CLI::Range(0, std::numeric_limits<int32_t>::max()));
  override_->footer(
      std::string("Prints \"invoice N: K voucher(s) given back, M could not be (see the module "
                  "log)\", counted from the reversals the till's REST client sent and the service "
                  "confirmed.\n\n") +
      kExitCodeTable);
  override_->callback([invoice, &till] {
    RequireDatabase(till, "override");
    const auto failures = WatchServiceFailures(till);
    till.StartServices();
    ShowDatabase(till);
    RequireModuleTables(till, "override");
    if (!BeginInvoiceOverride(till, *invoice, std::cerr)) throw CommandEnd(TExitCode::Failed);
    till.NameForModuleLog(-1);
    StartModule(till, "override");
    FinishWatched(RunInvoiceOverride(till, *invoice, std::cout, std::cerr), *failures, "override");
  });
}

}  // namespace

void AddPaymentCommands(CLI::App& app, TTill& till) {
  AddPayCommand(app, till);
  AddOverrideCommand(app, till);
}
