#include "lib/modulelog/ModuleLogLines.h"

#include <array>
#include <utility>

namespace {

struct TLineText {
  TJournalLine Line;
  const char* Format;
};

#define POPUP "[TPaymentMethodDovraVoucher.DoPaymentPopup] "
#define DIALOG "[TfrmDovraPayment.btnRedeemClick] "
#define CANCEL "[TPaymentMethodDovraVoucher.CancelTransaction] "
#define OVERRIDE "[TPaymentMethodDovraVoucher.DoOverringInvoice] "
#define LINK "[TPaymentMethodDovraVoucher.LinkInvoice] "

// In the order of TJournalLine.
constexpr std::array<TLineText, 32> kLines{{
    {TJournalLine::CurrentTransaction, POPUP "Current Transaction : %"},
    {TJournalLine::Redeeming, DIALOG "Redeeming : %"},
    {TJournalLine::RedemptionKey, DIALOG "Redemption key : %"},
    {TJournalLine::RedeemResponse, "[TDovraVoucherAPI.Redeem] Response : %"},
    {TJournalLine::Recorded, POPUP "Recorded : %"},
    {TJournalLine::NotRecorded, POPUP "Could not record redemption : %"},
    {TJournalLine::UnreadableRedemption, POPUP "Unreadable redemption : %"},
    {TJournalLine::UnreadableAmountGivenBack, POPUP "Unreadable amount, voucher given back : %"},
    {TJournalLine::NoDiscountGivenBack, POPUP "No discount, voucher given back : %"},
    {TJournalLine::NoDiscountNotGivenBack, POPUP "No discount, voucher not given back : %"},
    {TJournalLine::AskingStatus, DIALOG "Asking status : %"},
    {TJournalLine::NotRedeemed, DIALOG "Not redeemed : %"},
    {TJournalLine::LeftInDoubt, DIALOG "Left in doubt : %"},
    {TJournalLine::LeftUsed, DIALOG "Left used : %"},
    {TJournalLine::GivingBack, DIALOG "Giving back : %"},
    {TJournalLine::GivenBack, DIALOG "Given back : %"},
    {TJournalLine::PopupReversing, POPUP "Reversing : %"},
    {TJournalLine::PopupReversed, POPUP "Reversed : %"},
    {TJournalLine::PopupResponse, POPUP "Response : %"},
    {TJournalLine::PopupNotReversed, POPUP "Could not reverse : %"},
    {TJournalLine::CancelReversing, CANCEL "Reversing : %"},
    {TJournalLine::CancelReversed, CANCEL "Reversed : %"},
    {TJournalLine::CancelResponse, CANCEL "Response : %"},
    {TJournalLine::CancelNotReversed, CANCEL "Could not reverse : %"},
    {TJournalLine::OverrideRows, OVERRIDE "Transaciton : %"},
    {TJournalLine::OverrideReversing, OVERRIDE "Reversing : %"},
    {TJournalLine::OverrideReversed, OVERRIDE "Reversed : %"},
    {TJournalLine::OverrideResponse, OVERRIDE "Response : %"},
    {TJournalLine::OverrideNotReversed, OVERRIDE "Could not reverse : %"},
    {TJournalLine::OverrideRecorded, OVERRIDE "Reversal recorded : %"},
    {TJournalLine::InvoiceLinked, LINK "Invoice linked : %"},
    {TJournalLine::NotLinked, LINK "Could not link invoice : %"},
}};

constexpr size_t kCount = kLines.size();

constexpr bool InOrder() {
  for (size_t i = 0; i < kCount; ++i)
    if (static_cast<size_t>(kLines[i].Line) != i) return false;
  return true;
}
static_assert(InOrder() && kCount == static_cast<size_t>(TJournalLine::NotLinked) + 1,
              "kLines names every TJournalLine, in its order");

}  // namespace

const char* JournalFormat(TJournalLine line) { return kLines[static_cast<size_t>(line)].Format; }

std::optional<TJournalEntry> ReadJournalLine(std::string_view text) {
  for (size_t i = 0; i < kCount; ++i) {
    const std::string_view format = kLines[i].Format;
    const std::string_view prefix = format.substr(0, format.size() - 1);  // without the "%"
    if (text.substr(0, prefix.size()) == prefix)
      return TJournalEntry{kLines[i].Line, text.substr(prefix.size())};
  }
  return std::nullopt;
}
