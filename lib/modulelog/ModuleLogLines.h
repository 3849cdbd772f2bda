// The module log as a journal: the lines the module writes about its payments, and that the till
// reads back when it reconciles. Both sides take the texts from this one list, so a line reworded
// here is reworded for the writer and the reader together.
//
// A line is "[Class.Method] Text : VALUE", one value per line. What recovery depends on is said
// twice around every act: a line before an act at the voucher service (Redeeming, Reversing,
// Giving back) and a line after every record that stands (Recorded, Invoice linked, Reversal
// recorded). Whatever a log shows begun and not finished is what a crash may have left.
#pragma once

#include <optional>
#include <string_view>

enum class TJournalLine {
  // The popup: its DovraTransactions row, the redeem attempt and the service's answer.
  CurrentTransaction,  // the row's ID
  Redeeming,           // the voucher code, before the redeem request is sent
  RedemptionKey,       // the request's key and digest, as one line of JSON
  RedeemResponse,      // the redeem answer as it came (written by the voucher API client)
  Recorded,            // the reference, once the row holds the redemption
  NotRecorded,         // the reference, when the row could not take it
  UnreadableRedemption,
  UnreadableAmountGivenBack,
  NoDiscountGivenBack,
  NoDiscountNotGivenBack,
  // The dialog's settling of a lost redeem answer.
  AskingStatus,
  NotRedeemed,
  LeftInDoubt,
  LeftUsed,
  GivingBack,  // the reference, before the dialog's reverse request
  GivenBack,   // the reference, the service confirmed the reversal
  // The popup's own give-back (not recorded, no discount).
  PopupReversing,
  PopupReversed,
  PopupResponse,
  PopupNotReversed,
  // The host's cancel of the sale.
  CancelReversing,
  CancelReversed,
  CancelResponse,
  CancelNotReversed,
  // The host's override of an invoice.
  OverrideRows,
  OverrideReversing,
  OverrideReversed,
  OverrideResponse,
  OverrideNotReversed,
  OverrideRecorded,  // the reference, once the REVERSE activity row stands
  // Linking.
  InvoiceLinked,  // the invoice number, once the row holds it
  NotLinked,
};

// The line's format for the module log: its text with "%" where the value goes.
const char* JournalFormat(TJournalLine line);

struct TJournalEntry {
  TJournalLine Line;
  std::string_view Value;  // what stands after " : ", as written
};

// A log line's text from its opening bracket on ("[TfrmDovraPayment.btnRedeemClick] ..."): which
// journal line it is, and its value; nothing for any other line.
std::optional<TJournalEntry> ReadJournalLine(std::string_view text);

// What a till puts into its environment before it loads the module, so that the log header the
// module writes for each process says which database, and which sale, that process was writing.
constexpr const char* kDatabaseIdentityVariable = "SARN_DATABASE_ID";
constexpr const char* kSaleVariable = "SARN_SALE";
