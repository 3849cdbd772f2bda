#include "sandbox/SandboxService.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <thread>

#include "lib/common/AsciiCase.h"
#include "lib/common/FileText.h"
#include "lib/common/LocalTime.h"
#include "lib/common/PathParts.h"
#include "lib/json/clsJSONDocument.h"
#include "lib/voucher/DovraMessages.h"
#include "module/core/modPartnerAccount.h"
#include "sandbox/SandboxJSON.h"

namespace {

// The partner account the module is built with.
constexpr const char* ExpectedUser = DOVRA_PARTNER_USER_TEXT;
constexpr const char* ExpectedKey = DOVRA_PARTNER_API_KEY_TEXT;

std::string Base64(const std::string& in) {
  static constexpr char table[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t n = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    out += table[(n >> 18) & 63];
    out += table[(n >> 12) & 63];
    out += table[(n >> 6) & 63];
    out += table[n & 63];
  }
  if (i + 1 == in.size()) {
    const uint32_t n = uint8_t(in[i]) << 16;
    out += table[(n >> 18) & 63];
    out += table[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const uint32_t n = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
    out += table[(n >> 18) & 63];
    out += table[(n >> 12) & 63];
    out += table[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

// Now in UTC as ISO 8601 with milliseconds, as the record and the state carry it.
std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count()));
  return text;
}

// The credentials stay out of the record: only the scheme is kept.
std::string MaskedAuthorization(const std::string& header) {
  if (header.empty()) return header;
  const size_t blank = header.find(' ');
  return (blank == std::string::npos ? std::string() : header.substr(0, blank + 1)) + "***";
}

std::string Today() { return LocalTimestamp("%Y-%m-%d"); }

bool IsISODate(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (i != 4 && i != 7 && (text[i] < '0' || text[i] > '9')) return false;
  return true;
}

TSandboxReply JsonReply(int status, const TJSONValue& document) {
  TSandboxReply reply;
  reply.Status = status;
  reply.Body = document.ToJSON();
  return reply;
}

TSandboxReply Refusal(int status, const std::string& message) {
  return JsonReply(status, NewObjectDocument({"Success", false, "ErrorMessage", message}));
}

TJSONValue AnswerDocument(const TVoucherAnswer& a, bool withReference) {
  if (!a.Success) return NewObjectDocument({"Success", false, "ErrorMessage", a.ErrorMessage});
  TJSONValue doc = NewObjectDocument({"Success", true, "DisplayName", a.DisplayName,
                                      "DiscountAmount", TJSONMoney{a.DiscountAmount}});
  if (withReference) {
    doc.Set("VoucherReference", a.VoucherReference);
    doc.Set("VoucherCode", a.VoucherCode);
  }
  return doc;
}

// The origin of a redemption as its redeem request states it; a member in another form than the
// documented one is not guessed at. The digest is of the body's bytes as they arrived.
TRedemptionOrigin RedeemOrigin(const TJSONValue& request, const std::string& body) {
  TRedemptionOrigin origin;
  origin.RequestDigest = RequestDigest(body);
  if (const TJSONValue* store = Member(request, "StoreReference"); store && IsInteger(*store))
    origin.StoreReference = IntegerOf(*store);
  const TJSONValue* order = Member(request, "VoucherOrder");
  if (order && order->Document() && order->Document()->IsObject())
    if (const TJSONValue* date = TextMember(*order, "OrderDate")) origin.OrderDate = date->AsText();
  return origin;
}

// Unknown parts of an origin are written as null.
TJSONValue StoreReferenceValue(const TRedemptionOrigin& origin) {
  return origin.StoreReference ? TJSONValue(*origin.StoreReference) : TJSONValue(nullptr);
}

TJSONValue OrderDateValue(const TRedemptionOrigin& origin) {
  return origin.OrderDate ? TJSONValue(*origin.OrderDate) : TJSONValue(nullptr);
}

TJSONValue RequestDigestValue(const TRedemptionOrigin& origin) {
  return origin.RequestDigest ? TJSONValue(*origin.RequestDigest) : TJSONValue(nullptr);
}

std::string GarbageBody() {
  // Bytes no JSON reader accepts: a NUL, invalid UTF-8 and a broken structure.
  std::string body = "\x7f\xfe{\"Success\":tru";
  body += '\0';
  body += "\xc3\x28 ]]";
  return body;
}

}  // namespace

std::string OperationName(const std::string& word) {
  std::string w = LowerAscii(word);
  w = NameOf(w);
  if (w == "evaluate" || w == "evaluatevoucher") return "evaluate";
  if (w == "redeem" || w == "redeemvoucher") return "redeem";
  if (w == "reverse" || w == "reverseredemption") return "reverse";
  if (w == "status" || w == "getvoucherstatus" || w == "voucherstatus") return "status";
  if (w == "all" || w == "*") return "all";
  return {};
}

bool ParseFailureSwitch(const std::string& text, int defaultStatus, std::map<std::string, int>& map,
                        std::string& error) {
  const size_t colon = text.find(':');
  const std::string op = OperationName(text.substr(0, colon));
  if (op.empty()) {
    error = "unknown operation in '" + text + "' (evaluate, redeem, reverse, status or all)";
    return false;
  }
  int status = defaultStatus;
  if (colon != std::string::npos) {
    const std::string number = text.substr(colon + 1);
    try {
      size_t used = 0;
      status = std::stoi(number, &used);
      if (used != number.size()) throw std::invalid_argument(number);
    } catch (const std::exception&) {
      status = 0;
    }
    if (status < 100 || status > 599) {
      error = "HTTP status in '" + text + "' must be a number from 100 to 599";
      return false;
    }
  }
  map[op] = status;
  return true;
}

bool ParseDelaySwitch(const std::string& text, std::map<std::string, int>& map,
                      std::string& error) {
  const size_t colon = text.find(':');
  std::string op = "all";
  if (colon != std::string::npos) {
    op = OperationName(text.substr(0, colon));
    if (op.empty()) {
      error = "unknown operation in '" + text + "' (evaluate, redeem, reverse, status or all)";
      return false;
    }
  }
  const std::string number = colon == std::string::npos ? text : text.substr(colon + 1);
  int ms = -1;
  try {
    size_t used = 0;
    ms = std::stoi(number, &used);
    if (used != number.size()) ms = -1;
  } catch (const std::exception&) {
    ms = -1;
  }
  if (ms < 0 || ms > 600000) {
    error = "delay in '" + text + "' must be a number of milliseconds from 0 to 600000";
    return false;
  }
  map[op] = ms;
  return true;
}

bool ParseDeliverySwitch(const std::string& text, TSandboxDelivery delivery,
                         std::map<std::string, TSandboxDelivery>& map, std::string& error) {
  const std::string op = OperationName(text);
  if (op.empty()) {
    error = "unknown operation '" + text + "' (evaluate, redeem, reverse, status or all)";
    return false;
  }
  const auto [it, added] = map.emplace(op, delivery);
  if (!added && it->second != delivery) {
    error = "'" + op + "' is named for both --lose-answer and --reset-answer";
    return false;
  }
  return true;
}

bool ParseAnswerSwitch(const std::string& text, std::map<std::string, std::string>& map,
                       std::string& error) {
  const size_t colon = text.find(':');
  const std::string op =
      colon == std::string::npos ? std::string() : OperationName(text.substr(0, colon));
  if (op.empty()) {
    error =
        "expected OPERATION:FILE (evaluate, redeem, reverse, status or all), not '" + text + "'";
    return false;
  }
  const std::string file = text.substr(colon + 1);
  std::string body;
  if (!ReadWholeFile(file, body, error, "the answer file")) return false;
  map[op] = std::move(body);
  return true;
}

template <typename T>
T TSandboxService::Lookup(const std::map<std::string, T>& map, const std::string& operation,
                          T none) {
  auto it = map.find(operation);
  if (it == map.end()) it = map.find("all");
  return it == map.end() ? none : it->second;
}

namespace {

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool TSandboxService::TakeDataFolder(std::string& error) {
  const std::string& dir = FOptions.DataDir;
  const TFileHandle folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    error = "the data folder " + dir + " is not a folder (" + std::strerror(errno) + ")";
    return false;
  }
  // Its key and its book are this service's secrets and its money: nobody else may swap them,
  // nor read them. A folder of ours that others may read is narrowed to the owner's.
  struct stat info {};
  if (::fstat(folder.Get(), &info) == 0 && info.st_uid == ::geteuid() &&
      (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && (info.st_mode & 077) != 0)
    ::fchmod(folder.Get(), info.st_mode & 0700);
  std::string why;
  if (!CheckOwnFolder(folder.Get(), dir, why)) {
    error = why;
    return false;
  }
  const std::string lockFile = (std::filesystem::path(dir) / "sandbox.lock").string();
  FLockFile = OpenOwnFile(AT_FDCWD, lockFile, O_RDWR | O_CREAT, 0600, why);
  if (!FLockFile) {
    error = "cannot use the lock file " + lockFile + ": " + why;
    return false;
  }
  // Two services on one book would each hand out the same single-use voucher.
  if (::flock(FLockFile.Get(), LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = {};
    const ssize_t n = ::pread(FLockFile.Get(), pid, sizeof pid - 1, 0);
    error = "the data folder " + dir + " is in use by another dovra-sandbox" +
            (n > 0 ? " (process " + std::string(pid, static_cast<size_t>(n)) + ")" : std::string());
    return false;
  }
  const std::string self = std::to_string(::getpid());
  if (::ftruncate(FLockFile.Get(), 0) != 0 ||
      ::pwrite(FLockFile.Get(), self.data(), self.size(), 0) != static_cast<ssize_t>(self.size())) {
    error = "cannot write the lock file " + lockFile + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool TSandboxService::Open(std::string& error) {
  std::error_code ec;
  // The folder itself is made for the owner alone whatever the umask; its parents as usual.
  const std::filesystem::path data(FOptions.DataDir);
  if (data.has_parent_path()) std::filesystem::create_directories(data.parent_path(), ec);
  if (!ec && ::mkdir(FOptions.DataDir.c_str(), 0700) != 0 && errno != EEXIST)
    ec.assign(errno, std::generic_category());
  if (ec) {
    error = "cannot create the data folder " + FOptions.DataDir + ": " + ec.message();
    return false;
  }
  if (!TakeDataFolder(error) || !LoadBook(error) || !LoadState(error)) return false;
  // The journal of the last run is folded in now, so that it only ever holds this run's changes.
  if (!FStore.Compact({FBook.Redemptions(), FBook.NextReference()}, error)) return false;
  if (!FOptions.RecordFile.empty()) {
    // The record holds the customers' mobile numbers: the owner's only, never through a link,
    // never a file another user made for the service to fill.
    std::string why;
    FRecord = OpenOwnFile(AT_FDCWD, FOptions.RecordFile, O_WRONLY | O_CREAT | O_APPEND, 0600, why);
    if (!FRecord) {
      error = "cannot use the record file " + FOptions.RecordFile + ": " + why;
      return false;
    }
  }
  return true;
}

bool TSandboxService::OpenForListing(std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(FOptions.DataDir, ec)) {
    error = "no data folder " + FOptions.DataDir;
    return false;
  }
  return LoadBook(error) && LoadState(error);
}

std::string TSandboxService::Listing(bool json) const {
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
    return NewObjectDocument({"Book", FOptions.VoucherFile, "State", state, "Vouchers", vouchers,
                              "Redemptions", redemptions})
               .ToJSON() +
           "\n";
  }
  std::string out = "book: " + FOptions.VoucherFile + "\nstate: " + state + "\nvouchers:\n";
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

bool TSandboxService::LoadBook(std::string& error) {
  const std::string& file = FOptions.VoucherFile;
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

bool TSandboxService::LoadState(std::string& error) {
  TSandboxState state;
  if (!FStore.Load(state, error)) return false;
  FBook.SetState(std::move(state.Redemptions), state.NextReference);
  return true;
}

void TSandboxService::Record(const std::string& operation, const TSandboxRequest& request,
                             const TSandboxReply& reply, const std::string& reference) {
  if (!FRecord) return;
  TJSONValue line = NewObjectDocument(
      {"Time", UtcNow(), "Operation", operation, "Method", request.Method, "Path", request.Path,
       "ContentType", request.ContentType, "Authorization",
       MaskedAuthorization(request.Authorization), "BodyLength",
       static_cast<int64_t>(request.Body.size()), "Body", request.Body, "Status", reply.Status});
  // The redemption a redeem or reverse acted on, as the service knows it, whatever was sent.
  if (!reference.empty()) line.Set("Reference", reference);
  // The status is what the service decided; whether the till could read it is noted apart.
  if (reply.Delivery == TSandboxDelivery::Lost) line.Set("Answer", "lost");
  if (reply.Delivery == TSandboxDelivery::Reset) line.Set("Answer", "reset");
  WriteAll(FRecord.Get(), line.ToJSON() + "\n");
}

TSandboxReply TSandboxService::Handle(const TSandboxRequest& request) {
  const std::string operation = OperationName(request.Path);
  TSandboxReply reply;
  bool faulty = true;
  {
    std::lock_guard<std::mutex> lock(FLock);
    faulty = !FOptions.FaultsOnce || FRequestsSeen[operation]++ == 0;
    reply = Answer(operation, request, faulty);
    std::string reference;
    if (operation == "redeem" || operation == "reverse") {
      const TJSONValue answer = ParseJSONDocument(reply.Body);
      if (const TJSONValue* r =
              answer.IsDocument() ? TextMember(answer, "VoucherReference") : nullptr)
        reference = r->AsText();
    }
    // The act stands as answered above; only the body the till reads is replaced.
    auto crafted = FOptions.Crafted.find(operation);
    if (crafted == FOptions.Crafted.end()) crafted = FOptions.Crafted.find("all");
    if (faulty && !operation.empty() && crafted != FOptions.Crafted.end()) {
      reply.Status = 200;
      reply.ContentType = "application/json";
      reply.Body = crafted->second;
    }
    if (faulty) reply.Delivery = Lookup(FOptions.Deliveries, operation, TSandboxDelivery::Whole);
    Record(operation.empty() ? std::string("unknown") : operation, request, reply, reference);
  }
  // Outside the lock: a slow operation must not hold up the others.
  if (const int ms = faulty ? Lookup(FOptions.DelayMs, operation, 0) : 0; ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return reply;
}

TSandboxReply TSandboxService::Answer(const std::string& operation, const TSandboxRequest& request,
                                      bool faulty) {
  const std::string path = request.Path;
  if (operation.empty() || operation == "all" || path.rfind("/API/", 0) != 0)
    return Refusal(404, "No such operation: " + path);
  if (request.Method != "POST") return Refusal(405, "Use POST for " + path);

  static const std::string expected =
      "basic " + Base64(std::string(ExpectedUser) + ":" + ExpectedKey);
  // The scheme is case-insensitive, the token is not.
  const std::string& auth = request.Authorization;
  if (auth.size() != expected.size() || LowerAscii(auth.substr(0, 6)) != "basic " ||
      auth.substr(6) != expected.substr(6)) {
    TSandboxReply reply = Refusal(401, "Unknown partner or wrong API key");
    return reply;
  }

  if (const int status = faulty ? Lookup(FOptions.HtmlStatus, operation, 0) : 0) {
    TSandboxReply reply;
    reply.Status = status;
    reply.ContentType = "text/html; charset=utf-8";
    reply.Body =
        "<!DOCTYPE html>\n<html><head><title>Service unavailable</title></head>"
        "<body><h1>Service unavailable</h1><p>The voucher service is under maintenance."
        "</p></body></html>\n";
    return reply;
  }
  if (const int status = faulty ? Lookup(FOptions.GarbageStatus, operation, 0) : 0) {
    TSandboxReply reply;
    reply.Status = status;
    reply.ContentType = "application/octet-stream";
    reply.Body = GarbageBody();
    return reply;
  }
  if (const int status = faulty ? Lookup(FOptions.FailStatus, operation, 0) : 0)
    return Refusal(status, "Simulated failure " + std::to_string(status) + " for " + operation);

  const TJSONValue body = ParseJSONDocument(request.Body);
  if (!body.Document() || !body.Document()->IsObject())
    return Refusal(400, "The request body is not a JSON object");

  const std::string today = Today();
  if (operation == "evaluate" || operation == "redeem") {
    const TJSONValue* code = TextMember(body, "VoucherCode");
    if (!code) return Refusal(400, "The request has no \"VoucherCode\" text");
    const TJSONValue* order = Member(body, "VoucherOrder");
    const TJSONValue* total = (order && order->Document() && order->Document()->IsObject())
                                  ? Member(*order, "TotalPrice")
                                  : nullptr;
    if (!total || !IsNumber(*total))
      return Refusal(400, "The request has no \"VoucherOrder\".\"TotalPrice\" number");
    if (operation == "evaluate")
      return JsonReply(
          200, AnswerDocument(FBook.Evaluate(code->AsText(), total->ToMoney(), today), false));
    std::string error;
    // A redemption that is not in the journal must not be handed out.
    const TVoucherAnswer answer = FBook.Redeem(
        code->AsText(), total->ToMoney(), today, UtcNow(), RedeemOrigin(body, request.Body),
        [&](const TRedemption& made, int64_t next) { return FStore.Redeemed(made, next, error); });
    if (!error.empty()) return Refusal(500, error);
    return JsonReply(200, AnswerDocument(answer, true));
  }
  if (operation == "reverse") {
    const TJSONValue* reference = TextMember(body, "VoucherReference");
    if (!reference) return Refusal(400, "The request has no \"VoucherReference\" text");
    std::string error;
    const TVoucherAnswer answer = FBook.Reverse(
        reference->AsText(),
        [&](const TRedemption& r, int64_t) { return FStore.Reversed(r.Reference, error); });
    if (!error.empty()) return Refusal(500, error);
    if (!answer.Success) return JsonReply(200, AnswerDocument(answer, false));
    return JsonReply(
        200, NewObjectDocument({"Success", true, "VoucherReference", answer.VoucherReference,
                                "VoucherCode", answer.VoucherCode, "DiscountAmount",
                                TJSONMoney{answer.DiscountAmount}}));
  }
  // status
  const TJSONValue* code = TextMember(body, "VoucherCode");
  if (!code) return Refusal(400, "The request has no \"VoucherCode\" text");
  const TVoucherStatus status = FBook.Status(code->AsText(), today);
  if (!status.Found) return Refusal(200, "Unknown voucher code");
  const TVoucher& v = *status.Voucher;
  TJSONValue doc = NewObjectDocument(
      {"Success", true, "VoucherCode", v.Code, "DisplayName", v.DisplayName, "Kind",
       v.Kind == TVoucherKind::Fixed ? "fixed" : "percentage", "Status", status.State,
       "Redemptions", status.Redemptions, "MultipleUse", v.MultipleUse});
  if (v.Kind == TVoucherKind::Fixed)
    doc.Set("Amount", TJSONMoney{v.Amount});
  else
    doc.Set("Percent", TJSONMoney{v.PercentBasis});
  doc.Set("MinimumOrder", TJSONMoney{v.MinimumOrder});
  doc.Set("ExpiresOn", v.ExpiresOn.empty() ? TJSONValue(nullptr) : TJSONValue(v.ExpiresOn));
  // What a till that lost a redeem answer needs to find its own redemption and give it back.
  TJSONValue live = NewArrayDocument();
  for (const TRedemption& r : status.Live)
    live.Add(NewObjectDocument(
        {"VoucherReference", r.Reference, "StoreReference", StoreReferenceValue(r.Origin),
         "OrderDate", OrderDateValue(r.Origin), "DiscountAmount", TJSONMoney{r.Amount},
         "RedeemedOn", r.Time.empty() ? TJSONValue(nullptr) : TJSONValue(r.Time), "RequestDigest",
         RequestDigestValue(r.Origin)}));
  doc.Set("LiveRedemptions", live);
  // When the list was true: a till weighing its log against it knows which of its requests
  // the answer can have seen.
  doc.Set("AnsweredOn", UtcNow());
  return JsonReply(200, doc);
}
