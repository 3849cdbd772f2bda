// The till's payment runner: a sale paid through the module's payment method, as the host's
// payment framework drives it, with the report callbacks printed as receipt lines.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "host/till/TCashierAutopilot.h"
#include "host/till/TExitCode.h"
#include "intf/intfBase.h"

class TTill;

struct TPaymentRun {
  TCurrency Amount = 0;
  std::string OrderDocument;  // JSON text of the sale; empty: none
  bool Popup = false;         // run the module's payment popup
  // With a script the cashier autopilot works the popup's dialog; without one a person does.
  std::optional<TCashierScript> Cashier;
  std::optional<int32_t> Invoice;  // after the popup: LinkInvoice with this number
  bool Cancel = false;             // after the popup: CancelTransaction
};

// Parses a decimal amount ("12.50", "-3", "0.0001") into ten-thousandths exactly; false on
// anything else (more than four decimals, letters, overflow).
bool ParseMoney(const std::string& text, TCurrency& amount);

// Creates the payment method through the registry by GUID and "DovraVouchers", runs the payment
// and prints what the host would see to out: the cashier's actions, "popup: paid|not paid", the
// receipt lines, the invoice link or cancel, "amount: ..." and "voucher: paid X|not paid".
// An error raised by the module is printed as "sarn-till: <message>". Done: the run went through
// (with a popup, a voucher paid); Failed: the till or the module failed (message on err); NotDone:
// no voucher payment booked, or a voucher not given back.
// The sale is booked in the till's SarnSales first (Failed when it cannot be); a voucher that pays
// more than the amount due, or not above 0, is given back and the sale not booked (NotDone); a
// popup that ended because the database failed is Failed, with no invoice link.
// The till books its sale before the module is asked (and before the module loads, so that the
// module's log names it), as a host does: a database that cannot take it takes no payment either.
// The sale's number, or -1 (the reason on err).
int32_t OpenSale(TTill& till, TCurrency amount, std::ostream& err);
// A sale opened for a payment that never began: closed as not booked.
void CloseUnpaidSale(TTill& till, int32_t sale);
TExitCode RunPayment(TTill& till, const TPaymentRun& run, int32_t sale, std::ostream& out,
                     std::ostream& err);
// The invoice's sales say they are being overridden, before the module loads: from then on a
// crash at any step is finished by reconcile. False (the reason on err) when the database cannot
// record it; then nothing may be overridden.
bool BeginInvoiceOverride(TTill& till, int32_t invoice, std::ostream& err);

// Creates the payment method and hands it an overridden invoice (DoOverringInvoice), then prints
// "invoice N: K voucher(s) given back, M could not be (see the module log)" from the till's REST
// client's count of reversals (", E given back earlier by the till" added when vouchers of the
// invoice were given back before, by voucher reverse or reconcile: the service refuses those
// again, and they count as no failure): Failed when a database call failed meanwhile, NotDone
// when M > 0.
TExitCode RunInvoiceOverride(TTill& till, int32_t invoice, std::ostream& out, std::ostream& err);
