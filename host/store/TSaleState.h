// The states a sale of the till takes in SarnSales, and the states a voucher payment (a module's
// DovraTransactions row) reads as in transactions: one list, so that the texts written and the
// texts compared never differ. The texts are the table's; they never change.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "host/store/EnumTexts.h"

enum class TSaleState {
  Open,           // started, nothing paid (yet)
  Paid,           // paid, not linked to an invoice
  Linked,         // paid and linked to an invoice
  Reversed,       // cancelled or overridden; the voucher it carried was given back
  ReverseFailed,  // cancelled or overridden, but the voucher could not be given back
  Cancelling,     // being cancelled: written before the module is asked
  Overriding,     // the same for an override of its invoice
  NotBooked,      // never booked by the till: reconcile closed it
};

namespace SaleStateDetail {
inline constexpr std::array<std::string_view, 8> Texts = {
    "open",           "paid",       "linked",     "reversed",
    "reverse failed", "cancelling", "overriding", "not booked"};
}

// The state as the tables hold it ("reverse failed").
constexpr const char* SaleStateText(TSaleState state) {
  return EnumText(SaleStateDetail::Texts, state);
}

// The state a table's text names; none for a text that is no state (a row another program wrote).
constexpr std::optional<TSaleState> ReadSaleState(std::string_view text) {
  return ReadEnumText<TSaleState>(SaleStateDetail::Texts, text);
}

// A sale in one of these no longer holds its voucher: it is being, or has been, given back.
constexpr bool ReleasesVoucher(TSaleState state) {
  return state == TSaleState::Reversed || state == TSaleState::ReverseFailed ||
         state == TSaleState::Cancelling || state == TSaleState::Overriding ||
         state == TSaleState::NotBooked;
}

// A sale in one of these was begun to be given back and not seen through: reconcile finishes it.
constexpr bool IsIntentState(TSaleState state) {
  return state == TSaleState::Cancelling || state == TSaleState::Overriding ||
         state == TSaleState::ReverseFailed;
}
