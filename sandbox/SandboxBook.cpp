#include "sandbox/SandboxBook.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "lib/common/AsciiCase.h"
#include "lib/common/FileText.h"
#include "lib/json/clsJSONDocument.h"
#include "sandbox/SandboxClock.h"
#include "sandbox/SandboxFolder.h"
#include "sandbox/SandboxJSON.h"
#include "sandbox/SandboxReplies.h"

namespace {

bool IsISODate(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (i != 4 && i != 7 && (text[i] < '0' || text[i] > '9')) return false;
  return true;
}

}  // namespace

TSandboxBook::TSandboxBook(std::string dataDir, std::string voucherFile)
    : FDataDir(std::move(dataDir)), FVoucherFile(std::move(voucherFile)), FStore(FDataDir) {}

bool TSandboxBook::Open(std::string& error) {
  if (!MakeDataFolder(FDataDir, error)) return false;
  FLockFile = TakeDataFolder(FDataDir, error);
  if (!FLockFile || !LoadVouchers(error) || !LoadState(error)) return false;
  // The journal of the last run is folded in now, so that it only ever holds this run's changes.
  return FStore.Compact({FBook.Redemptions(), FBook.NextReference()}, error);
}

bool TSandboxBook::OpenForListing(std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(FDataDir, ec)) {
    error = "no data folder " + FDataDir;
    return false;
  }
  return LoadVouchers(error) && LoadState(error);
}

std::string TSandboxBook::Listing(bool json) const {
  const std::string today = Today();
  const std::string state = FStore.StateFile();
  if (json) {
    TJSONValue vouchers = NewArrayDocument(), redemptions = NewArrayDocument();
    for (const TVoucher& v : FBook.Vouchers()) {
      const TVoucherStatus status = FBook.Status(v.Code, today);
      vouchers.Add(
          NewObjectDocument({"Code", v.Code, "DisplayName", v.DisplayName, "Status", status.State,
                             "Redemptions", status.Redemptions, "MultipleUse", v.MultipleUse}));
    }
    for (const TRedemption& r : FBook.Redemptions())
      redemptions.Add(NewObjectDocument(
          {"Reference", r.Reference, "Code", r.Code, "Amount", TJSONMoney{r.Amount}, "Time", r.Time,
           "Reversed", r.Reversed, "StoreReference", StoreReferenceValue(r.Origin), "OrderDate",
           OrderDateValue(r.Origin)}));
    return NewObjectDocument({"Book", FVoucherFile, "State", state, "Vouchers", vouchers,
                              "Redemptions", redemptions})
               .ToJSON() +
           "\n";
  }
  std::string out = "book: " + FVoucherFile + "\nstate: " + state + "\nvouchers:\n";
  char line[512];
  for (const TVoucher& v : FBook.Vouchers()) {
    const TVoucherStatus status = FBook.Status(v.Code, today);
    std::snprintf(line, sizeof line, "  %-12s %-9s %d redemption(s)%s  %s\n", v.Code.c_str(),
                  status.State.c_str(), status.Redemptions, v.MultipleUse ? ", multiple use" : "",
                  v.DisplayName.c_str());
    out += line;
  }
  out += "redemptions:\n";
  if (FBook.Redemptions().empty()) out += "  (none)\n";
  for (const TRedemption& r : FBook.Redemptions()) {
    std::snprintf(line, sizeof line, "  %-14s %-12s %10s  %-24s %s\n", r.Reference.c_str(),
                  r.Code.c_str(), FormatMoney(r.Amount).c_str(),
                  r.Time.empty() ? "(time not kept)" : r.Time.c_str(),
                  r.Reversed ? "reversed" : "not reversed");
    out += line;
  }
  return out;
}

bool TSandboxBook::LoadVouchers(std::string& error) {
  const std::string& file = FVoucherFile;
  std::string text;
  if (!ReadWholeFile(file, text, error, "the voucher book")) return false;
  const TJSONValue book = ParseJSONDocument(text);
  const TJSONDocument* doc = book.Document();
  const TJSONValue* list = (doc && doc->IsObject()) ? Member(book, "Vouchers") : nullptr;
  if (!list || !list->Document() || !list->Document()->IsArray()) {
    error = "voucher book " + file + " is not a JSON object with a \"Vouchers\" array";
    return false;
  }
  std::vector<TVoucher> vouchers;
  for (int32_t i = 0; i < list->Count(); ++i) {
    const TJSONValue& entry = list->_(i);
    const std::string where = "voucher book " + file + ", voucher " + std::to_string(i + 1);
    if (!entry.Document() || !entry.Document()->IsObject()) {
      error = where + " is not an object";
      return false;
    }
    TVoucher v;
    const TJSONValue* code = TextMember(entry, "Code");
    if (!code || code->AsText().empty()) {
      error = where + " has no \"Code\" text";
      return false;
    }
    v.Code = code->AsText();
    for (const TVoucher& other : vouchers)
      if (other.Code == v.Code) {
        error = where + " repeats the code " + v.Code;
        return false;
      }
    const TJSONValue* name = TextMember(entry, "DisplayName");
    v.DisplayName = name ? name->AsText() : v.Code;
    const TJSONValue* kind = TextMember(entry, "Kind");
    const std::string kindText = kind ? LowerAscii(kind->AsText()) : "fixed";
    const char* valueName = "Amount";
    if (kindText == "percentage") {
      v.Kind = TVoucherKind::Percentage;
      valueName = "Percent";
    } else if (kindText != "fixed") {
      error = where + " has \"Kind\" " + kindText + " (fixed or percentage)";
      return false;
    }
    const TJSONValue* value = Member(entry, valueName);
    if (!value || !IsNumber(*value) || value->ToMoney() <= 0) {
      error = where + " (" + v.Code + ") needs a positive \"" + valueName + "\"";
      return false;
    }
    if (v.Kind == TVoucherKind::Fixed)
      v.Amount = value->ToMoney();
    else
      v.PercentBasis = value->ToMoney();
    if (v.Kind == TVoucherKind::Percentage && v.PercentBasis > 100 * 10000) {
      error = where + " (" + v.Code + ") has a \"Percent\" above 100";
      return false;
    }
    if (const TJSONValue* minimum = Member(entry, "MinimumOrder")) {
      if (!IsNumber(*minimum) || minimum->ToMoney() < 0) {
        error = where + " (" + v.Code + ") has a \"MinimumOrder\" that is no amount";
        return false;
      }
      v.MinimumOrder = minimum->ToMoney();
    }
    if (const TJSONValue* expires = Member(entry, "ExpiresOn")) {
      if (expires->Kind() != TJSONKind::Text || !IsISODate(expires->AsText())) {
        error = where + " (" + v.Code + ") has an \"ExpiresOn\" that is no YYYY-MM-DD date";
        return false;
      }
      v.ExpiresOn = expires->AsText();
    }
    if (const TJSONValue* multiple = Member(entry, "MultipleUse")) {
      if (multiple->Kind() != TJSONKind::Boolean) {
        error = where + " (" + v.Code + ") has a \"MultipleUse\" that is not true or false";
        return false;
      }
      v.MultipleUse = multiple->AsBoolean();
    }
    vouchers.push_back(std::move(v));
  }
  FBook.SetVouchers(std::move(vouchers));
  return true;
}

bool TSandboxBook::LoadState(std::string& error) {
  TSandboxState state;
  if (!FStore.Load(state, error)) return false;
  FBook.SetState(std::move(state.Redemptions), state.NextReference);
  return true;
}

TVoucherAnswer TSandboxBook::Evaluate(const std::string& code, TSandboxMoney orderTotal,
                                      const std::string& today) const {
  return FBook.Evaluate(code, orderTotal, today);
}

TVoucherStatus TSandboxBook::Status(const std::string& code, const std::string& today) const {
  return FBook.Status(code, today);
}

TVoucherAnswer TSandboxBook::Redeem(const std::string& code, TSandboxMoney orderTotal,
                                    const std::string& today, const std::string& time,
                                    const TRedemptionOrigin& origin, std::string& error) {
  error.clear();
  // A redemption that is not in the journal must not be handed out.
  return FBook.Redeem(
      code, orderTotal, today, time, origin,
      [&](const TRedemption& made, int64_t next) { return FStore.Redeemed(made, next, error); });
}

TVoucherAnswer TSandboxBook::Reverse(const std::string& reference, std::string& error) {
  error.clear();
  return FBook.Reverse(reference, [&](const TRedemption& r, int64_t) {
    return FStore.Reversed(r.Reference, error);
  });
}
