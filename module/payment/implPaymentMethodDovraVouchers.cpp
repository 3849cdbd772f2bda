// The voucher payment method and its factory.
#include "module/payment/implPaymentMethodDovraVouchers.h"

#include <exception>
#include <stdexcept>

#include "intf/intfDBScript.h"
#include "intf/intfDovraVoucherAPI.h"
#include "intf/intfStoreInfo.h"
#include "lib/common/LocalTime.h"
#include "lib/json/clsJSONDocument.h"
#include "lib/modulelog/ModuleLogLines.h"
#include "lib/voucher/DovraMessages.h"
#include "module/core/modAssert.h"
#include "module/core/modRegistry.h"
#include "module/dialog/FDovraPaymentRun.h"
#include "module/log/modLog.h"
#include "module/payment/DovraStatements.h"

namespace {

// The unit and lines named by the assertions of the two statement owners: the host shows them
// in its error text and support staff look them up, so they stay as they are whatever moves in
// this file (the messages the host shows are tested, not this file's layout).
constexpr const char* PaymentUnit = "implPaymentMethodDovraVouchers";
constexpr int LogActivityAssertLine = 119;
constexpr int CreateTransactionAssertLine = 141;
// The till's local time as the activity log stores it: yyyy/mm/dd hh:nn:ss.
constexpr const char* kActivityTimeFormat = "%Y/%m/%d %H:%M:%S";

template <class T>
TIntfPtr<T> ResolveModuleService() {
  return ResolveAs<T>(ModuleRegistry().Get());  // the registry is held to the statement's end
}

bool ParseDecimalInteger(const std::string& text, int32_t& value) {
  if (text.empty()) return false;
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
    if (result > int64_t{INT32_MAX} + 1) return false;
  }
  if (text[0] == '-') result = -result;
  if (result > INT32_MAX || result < INT32_MIN) return false;
  value = static_cast<int32_t>(result);
  return true;
}

// A detail value as the host prints it on the receipt: a control character from the service
// could otherwise start a line of its own there, such as a forged reference.
std::string PlainDetailValue(std::string value) {
  for (char& c : value)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return value;
}

}  // namespace

TPaymentMethodDovraVoucher::TPaymentMethodDovraVoucher() {
  // The store service is held for this lookup only; a host without one still gets a usable
  // payment method, with store 0.
  {
    const TIntfPtr<IServiceRegistry> registry = ModuleRegistry();
    const TIntfPtr<IStoreInfo> store = ResolveAs<IStoreInfo>(registry.Get());
    FStoreID = store ? store->GetStoreID() : 0;
  }
  ModLog::Info("[TPaymentMethodDovraVoucher.Create] Got StoreID : %", FStoreID);
}

void TPaymentMethodDovraVoucher::Changed() {
  // The sender is passed uncounted: the host holds its own reference for the call.
  if (FOnChanged.Assigned()) FOnChanged.Code(FOnChanged.Context, this);
}

void TPaymentMethodDovraVoucher::Reset() {
  TPaymentMethodBase::Reset();
  FTransactionID = -1;
  FInvoiceNum = -1;
  FRedeemed = false;
  FVoucherReference.clear();
}

void TPaymentMethodDovraVoucher::SetAmount(TCurrency amount) { SetAmountField(FAmount, amount); }

void TPaymentMethodDovraVoucher::SetOnChanged(TPaymentChangedEvent handler) {
  FOnChanged = handler;
}

void TPaymentMethodDovraVoucher::SetSecondAmount(TCurrency amount) {
  SetAmountField(FSecondAmount, amount);
}

TCurrency TPaymentMethodDovraVoucher::GetAmount() { return FAmount; }

TPaymentChangedEvent TPaymentMethodDovraVoucher::GetOnChanged() { return FOnChanged; }

TCurrency TPaymentMethodDovraVoucher::GetSecondAmount() { return FSecondAmount; }

void TPaymentMethodDovraVoucher::GetDetails(TIntfPtr<IStringConfigList>& details) {
  details = FDetails;
}

void TPaymentMethodDovraVoucher::SetOrderDocument(const std::string& orderDocument) {
  FOrderDocument = orderDocument;
}

void TPaymentMethodDovraVoucher::GetName1(std::string& name) { name = DovraVoucherPaymentName; }

void TPaymentMethodDovraVoucher::GetName2(std::string& name) { name = DovraVoucherPaymentName; }

void TPaymentMethodDovraVoucher::GetName3(std::string& name) { name = DovraVoucherPaymentName; }

int32_t TPaymentMethodDovraVoucher::LogActivity(const std::string& activityClass,
                                                const std::string& message) {
  const TIntfPtr<IDBScript> db = ResolveModuleService<IDBScript>();
  if (!db) AssertionFailed("Could not create DBScript", PaymentUnit, LogActivityAssertLine);
  // A message longer than its column would fail the insert on an engine that enforces it: the
  // row gets what fits, the module log the whole text.
  const std::string recorded = ColumnText(message);
  if (recorded.size() < message.size())
    ModLog::Info("[TPaymentMethodDovraVoucher.LogActivity] Message cut to its column : %", message);
  return db->Execute(ActivityInsertStatement(),
                     {QuotedSQLText(LocalTimestamp(kActivityTimeFormat)),
                      QuotedSQLText(activityClass), QuotedSQLText(recorded)});
}

namespace {
// The REDEEM activity's message as the activity log holds it: spaced as here, the reference as
// the service sent it, unescaped. The JSON writer would escape it and change the spacing.
std::string RedeemActivityMessage(int32_t transactionID, const std::string& voucherReference) {
  return "{\"ID\": " + std::to_string(transactionID) + ", \"VoucherReference\": \"" +
         voucherReference + "\" }";
}
}  // namespace

int32_t TPaymentMethodDovraVoucher::CreateTransaction() {
  const TIntfPtr<IDBScript> db = ResolveModuleService<IDBScript>();
  if (!db) AssertionFailed("Could not create DBScript", PaymentUnit, CreateTransactionAssertLine);
  std::string value;
  db->QueryValue(TransactionInsertStatement(), "ID", value);
  int32_t id = -1;
  return ParseDecimalInteger(value, id) ? id : -1;
}

bool TPaymentMethodDovraVoucher::RunVoucherDialog(std::string& redeemResponseText) {
  return ::RunVoucherDialog(FStoreID, FOrderDocument, redeemResponseText);
}

bool TPaymentMethodDovraVoucher::RecordPayment(const std::string& reference,
                                               const std::string& redeemResponseText,
                                               TCurrency amount) {
  const TIntfPtr<IDBScript> db = ResolveModuleService<IDBScript>();
  // A merely long answer still records and pays: the row keeps what fits its column, the module
  // log the whole answer. A reference longer than its column cannot be recorded faithfully and
  // is refused by the engine as before.
  const std::string answer = ColumnText(redeemResponseText);
  if (answer.size() < redeemResponseText.size())
    ModLog::Info("[TPaymentMethodDovraVoucher.DoPaymentPopup] Redeem answer cut to its column : %",
                 redeemResponseText);
  const bool recorded =
      db && db->Execute(PaymentUpdateStatement(), {QuotedSQLText(reference), QuotedSQLText(answer),
                                                   amount, FTransactionID}) >= 1;
  // "Recorded" names the redemption the row now holds; a row that keeps only an answer without
  // a reference holds none a reader could act on.
  if (!recorded)
    ModLog::Info(JournalFormat(TJournalLine::NotRecorded), reference);
  else if (!reference.empty())
    ModLog::Info(JournalFormat(TJournalLine::Recorded), reference);
  return recorded;
}

bool TPaymentMethodDovraVoucher::GiveBack(TGiveBackFor operation, const std::string& reference) {
  const bool popup = operation == TGiveBackFor::Popup;
  std::string response;
  // An empty reference names no redemption the service could find.
  if (!reference.empty()) {
    ModLog::Info(
        JournalFormat(popup ? TJournalLine::PopupReversing : TJournalLine::CancelReversing),
        reference);
    if (ReverseRedemption(reference, response)) {
      ModLog::Info(
          JournalFormat(popup ? TJournalLine::PopupReversed : TJournalLine::CancelReversed),
          reference);
      ModLog::Info(
          JournalFormat(popup ? TJournalLine::PopupResponse : TJournalLine::CancelResponse),
          response);
      return true;
    }
  }
  ModLog::Info(
      JournalFormat(popup ? TJournalLine::PopupNotReversed : TJournalLine::CancelNotReversed),
      reference);
  return false;
}

bool TPaymentMethodDovraVoucher::DoPaymentPopup() {
  if (!OpenTransaction()) return false;
  std::string redeemResponseText;
  if (!RunVoucherDialog(redeemResponseText)) {
    FAmount = 0;
    return false;
  }
  TRedeemAnswer read;
  try {
    ReadRedeemAnswer(redeemResponseText, read);
  } catch (const std::exception& error) {
    return SettleUnreadableRedemption(redeemResponseText, read, error);
  }
  const THeld before = HoldRedemption(read.VoucherReference);
  if (!RecordPayment(read.VoucherReference, redeemResponseText, read.DiscountAmount))
    GiveBackUnrecorded(read, before);
  if (read.DiscountAmount <= 0) {
    GiveBackWithoutDiscount(read, before);
    return false;
  }
  AcceptRedemption(read);
  return true;
}

bool TPaymentMethodDovraVoucher::OpenTransaction() {
  FTransactionID = CreateTransaction();
  ModLog::Info(JournalFormat(TJournalLine::CurrentTransaction), FTransactionID);
  if (FTransactionID < 0) {
    // A redemption with no row to record it could be neither found nor given back later, so
    // no voucher is taken without one.
    ModLog::Info(
        "[TPaymentMethodDovraVoucher.DoPaymentPopup] No transaction row, dialog not "
        "shown : %",
        FTransactionID);
    FAmount = 0;
    return false;
  }
  LogActivity("INFO", "New Transaction: " + std::to_string(FTransactionID));
  return true;
}

bool TPaymentMethodDovraVoucher::SettleUnreadableRedemption(const std::string& redeemResponseText,
                                                            const TRedeemAnswer& read,
                                                            const std::exception& error) {
  // The voucher is used at the service: keep its answer and whatever reference is known in
  // the row, so that support can find the redemption and give it back, then let the error
  // reach the host, naming the voucher when it is known. A redemption held from an earlier
  // popup stays held: a cancel must still be able to give that one back.
  FAmount = 0;
  ModLog::Info(JournalFormat(TJournalLine::UnreadableRedemption),
               std::string(error.what()) + " (transaction " + std::to_string(FTransactionID) + ")");
  RecordPayment(read.VoucherReference, redeemResponseText, 0);
  // Without a reference nothing here can give the voucher back; the row keeps the answer and
  // the line above names the row. The host hears what happened, not a conversion error.
  if (!read.HasReference || read.VoucherReference.empty())
    throw std::runtime_error(
        "The voucher service's redeem answer names no voucher reference (" +
        std::string(error.what()) + "); the voucher may be used at the service and is not paid: " +
        "see transaction " + std::to_string(FTransactionID) + " in the module log");
  // A redemption whose amount cannot be taken pays nothing: it goes back at once, as one
  // without a discount does.
  if (!read.HasAmount && GiveBack(TGiveBackFor::Popup, read.VoucherReference)) {
    ModLog::Info(JournalFormat(TJournalLine::UnreadableAmountGivenBack), read.VoucherReference);
    return false;
  }
  if (!FRedeemed) {
    FVoucherReference = read.VoucherReference;
    FRedeemed = true;
  }
  throw std::runtime_error(std::string(error.what()) + " (voucher reference " +
                           read.VoucherReference + " is redeemed at the service and not paid)");
}

TPaymentMethodDovraVoucher::THeld TPaymentMethodDovraVoucher::HoldRedemption(
    const std::string& reference) {
  THeld before{FRedeemed, FVoucherReference};
  FVoucherReference = reference;
  FRedeemed = true;
  FAmount = 0;
  return before;
}

void TPaymentMethodDovraVoucher::ReleaseHeld(const THeld& before) {
  FRedeemed = before.Redeemed;
  FVoucherReference = before.Reference;
}

void TPaymentMethodDovraVoucher::GiveBackUnrecorded(const TRedeemAnswer& read,
                                                    const THeld& before) {
  // Paid without a record, the voucher could never be found again by its invoice.
  const bool givenBack = GiveBack(TGiveBackFor::Popup, read.VoucherReference);
  // Without a reference there is nothing a later cancel could give back either.
  if (givenBack || read.VoucherReference.empty()) ReleaseHeld(before);
  if (givenBack)
    throw std::runtime_error(
        "The voucher redemption could not be recorded in the database; the voucher was "
        "given back");
  throw std::runtime_error(
      "The voucher redemption could not be recorded in the database and could not be given "
      "back: " +
      (read.VoucherReference.empty() ? std::string("the service gave no voucher reference")
                                     : "voucher reference " + read.VoucherReference +
                                           " is redeemed at the service and not paid"));
}

void TPaymentMethodDovraVoucher::GiveBackWithoutDiscount(const TRedeemAnswer& read,
                                                         const THeld& before) {
  const bool givenBack = GiveBack(TGiveBackFor::Popup, read.VoucherReference);
  if (givenBack || read.VoucherReference.empty()) ReleaseHeld(before);
  ModLog::Info(JournalFormat(givenBack ? TJournalLine::NoDiscountGivenBack
                                       : TJournalLine::NoDiscountNotGivenBack),
               read.VoucherReference);
}

void TPaymentMethodDovraVoucher::AcceptRedemption(const TRedeemAnswer& read) {
  if (read.VoucherReference.empty())
    ModLog::Info("[TPaymentMethodDovraVoucher.DoPaymentPopup] Redemption without reference : %",
                 FTransactionID);
  FAmount = read.DiscountAmount;
  LogActivity("REDEEM", RedeemActivityMessage(FTransactionID, FVoucherReference));
  FDetails->AddValue("VoucherReference", PlainDetailValue(FVoucherReference));
  FDetails->AddValue("VoucherCode", PlainDetailValue(read.VoucherCode));
}

void TPaymentMethodDovraVoucher::ReportPaymentEntry(int32_t a, int32_t b,
                                                    TPaymentEntryCallback callback) {
  if (!callback.Assigned() || FAmount <= 0) return;
  // The host expects its two context values back in swapped order.
  callback.Code(callback.Context, b, a, DovraVoucherPaymentCode, 0, 0,
                static_cast<double>(FAmount) / static_cast<double>(CurrencyScale), 0, 0);
}

void TPaymentMethodDovraVoucher::ReportPaymentCode(int32_t a, int32_t b,
                                                   TPaymentCodeCallback callback) {
  // Unlike the entry report, a negative amount is reported here too.
  if (!callback.Assigned() || FAmount == 0) return;
  callback.Code(callback.Context, b, a, DovraVoucherPaymentCode);
}

void TPaymentMethodDovraVoucher::LinkInvoice(int32_t invoiceNumber) {
  // A held redemption is linked even when it paid nothing: an override must still find it.
  if ((FAmount <= 0 && !FRedeemed) || FTransactionID < 0) return;
  FInvoiceNum = invoiceNumber;
  const TIntfPtr<IDBScript> db = ResolveModuleService<IDBScript>();
  if (db && db->Execute(InvoiceLinkStatement(), {FInvoiceNum, FTransactionID}) >= 1)
    ModLog::Info(JournalFormat(TJournalLine::InvoiceLinked), FInvoiceNum);
  else
    ModLog::Info(
        JournalFormat(TJournalLine::NotLinked),
        std::to_string(FInvoiceNum) + " (transaction " + std::to_string(FTransactionID) + ")");
}

bool TPaymentMethodDovraVoucher::ReverseRedemption(const std::string& voucherReference,
                                                   std::string& response) {
  // Without a client the reversal did not happen: the same outcome as a refused one.
  const TIntfPtr<IDovraVoucherAPI> api = ResolveModuleService<IDovraVoucherAPI>();
  return api && ReverseConfirmed(*api, voucherReference, response);
}

void TPaymentMethodDovraVoucher::CancelTransaction() {
  if (!FRedeemed || FVoucherReference.empty()) return;
  GiveBack(TGiveBackFor::Cancel, FVoucherReference);
}

void* TPaymentMethodDovraVoucher::GetImplementingObject() { return this; }

void TPaymentMethodDovraVoucher::DoOverringInvoice(int32_t invoiceNumber) {
  std::string rowsText;
  if (const TIntfPtr<IDBScript> db = ResolveModuleService<IDBScript>())
    db->QueryJSON(InvoiceRowsStatement(), {invoiceNumber}, rowsText);
  ModLog::Info(JournalFormat(TJournalLine::OverrideRows), rowsText);

  const TJSONValue rows = ParseJSONDocument(rowsText);
  if (!rows.IsDocument() || !rows.Document()->IsArray()) return;
  // Every voucher the invoice carried goes back, in the order the rows came.
  for (const TJSONValue& row : rows.Document()->Items()) {
    const TJSONValue* found = row.IsDocument() ? row.Find("VoucherReference") : nullptr;
    if (!found || found->Kind() != TJSONKind::Text || found->AsText().empty()) continue;
    const std::string reference = found->AsText();
    std::string response;
    ModLog::Info(JournalFormat(TJournalLine::OverrideReversing), reference);
    if (ReverseRedemption(reference, response)) {
      if (LogActivity("REVERSE", row.ToText()) >= 1)
        ModLog::Info(JournalFormat(TJournalLine::OverrideRecorded), reference);
      LogActivity("INFO", response);
      ModLog::Info(JournalFormat(TJournalLine::OverrideReversed), reference);
      ModLog::Info(JournalFormat(TJournalLine::OverrideResponse), response);
    } else {
      ModLog::Info(JournalFormat(TJournalLine::OverrideNotReversed), reference);
    }
  }
}
