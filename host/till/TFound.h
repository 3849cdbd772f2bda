// Where reconcile found a voucher in doubt. Its words reach the output and SarnGiveBacks' Found
// column, where earlier runs wrote them: they never change.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/store/TSaleState.h"

namespace Reconcile {

enum class TFoundSource {
  LogPopup,      // a Redeem of the popup, or the popup's own give-back
  LogNotBooked,  // a redemption the module recorded for a sale the till never booked
  LogCancel,     // the module's give-back of a cancelled sale
  LogOverride,   // the module's give-back of an overridden invoice
  LogDialog,     // the dialog's give-back
  TillSale,      // a sale the till began to give back; its state says how
  TillLinked,    // a paid sale whose voucher's row the module linked to an invoice
};

struct TFound {
  TFound(TFoundSource source = TFoundSource::LogPopup) : Source(source) {}
  TFound(TFoundSource source, TSaleState saleState) : Source(source), SaleState(saleState) {}
  TFoundSource Source;
  TSaleState SaleState = TSaleState::Open;  // TillSale's: the state its sale reads
  friend bool operator==(const TFound&, const TFound&) = default;
};

// "log: popup", "till: cancelling", ...
inline std::string FoundText(const TFound& found) {
  switch (found.Source) {
    case TFoundSource::LogPopup:
      return "log: popup";
    case TFoundSource::LogNotBooked:
      return "log: not booked";
    case TFoundSource::LogCancel:
      return "log: cancel";
    case TFoundSource::LogOverride:
      return "log: override";
    case TFoundSource::LogDialog:
      return "log: dialog";
    case TFoundSource::TillSale:
      return std::string("till: ") + SaleStateText(found.SaleState);
    case TFoundSource::TillLinked:
      return "till: paid, row linked";
  }
  return {};
}

// The source a text names; none for a text that is none (a journal point another version wrote).
inline std::optional<TFound> ReadFound(std::string_view text) {
  constexpr std::string_view kTill = "till: ";
  if (text.substr(0, kTill.size()) == kTill)
    if (const std::optional<TSaleState> state = ReadSaleState(text.substr(kTill.size())))
      return TFound(TFoundSource::TillSale, *state);
  for (const TFoundSource source :
       {TFoundSource::LogPopup, TFoundSource::LogNotBooked, TFoundSource::LogCancel,
        TFoundSource::LogOverride, TFoundSource::LogDialog, TFoundSource::TillLinked})
    if (FoundText(source) == text) return TFound(source);
  return std::nullopt;
}

}  // namespace Reconcile
