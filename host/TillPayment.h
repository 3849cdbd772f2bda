// The till's payment runner: a sale paid through the module's payment method, as the host's
// payment framework drives it, with the report callbacks printed as receipt lines.
#pragma once

#include <iosfwd>
#include <string>

#include "intfBase.h"

class TTill;

struct TPaymentRun {
  TCurrency Amount = 0;
  std::string OrderDocument;  // JSON text of the sale; empty: none
  bool Popup = false;         // run the module's payment popup
};

// Parses a decimal amount ("12.50", "-3", "0.0001") into ten-thousandths exactly; false on
// anything else (more than four decimals, letters, overflow).
bool ParseMoney(const std::string& text, TCurrency& amount);

// Creates the payment method through the registry by GUID and "DovraVouchers", runs the payment
// and prints what the host would see to out. Returns the process exit code.
int RunPayment(TTill& till, const TPaymentRun& run, std::ostream& out, std::ostream& err);
