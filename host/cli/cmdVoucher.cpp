#include "host/cli/cmdVoucher.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#include "host/cli/cliCommon.h"
#include "host/contract/TDBScript.h"
#include "host/contract/TRestClient.h"
#include "host/store/TGiveBack.h"
#include "host/store/TLedger.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/common/FileText.h"
#include "lib/json/clsJSONDocument.h"
#include "lib/voucher/DovraMessages.h"

namespace {

using TVoucherCall = bool (IDovraVoucherAPI::*)(const std::string&, std::string&);

struct TVoucherOperation {
  const char* Name;
  const char* Description;
  TVoucherCall Call;
  // The one member a request of this operation may be built from ("VoucherReference"), with the
  // option that gives it; null: a request file only.
  const char* Member;
  const char* Option;
  const char* OptionHelp;
};

constexpr TVoucherOperation Operations[] = {
    {"evaluate", "Check a voucher against an order (request: check document)",
     &IDovraVoucherAPI::Evaluate, nullptr, nullptr, nullptr},
    {"redeem", "Redeem a voucher (request: check document)", &IDovraVoucherAPI::Redeem, nullptr,
     nullptr, nullptr},
    // Support gives a voucher back by the reference the module log or the service shows.
    {"reverse",
     "Reverse a redemption (request: {\"VoucherReference\":...}); refused when a paid or linked "
     "sale in the till's database holds it, unless --force",
     &IDovraVoucherAPI::Reverse, "VoucherReference", "--reference",
     "Reverse this redemption (e.g. DVR-EXAMPLE-1): sends {\"VoucherReference\":REFERENCE}"},
    {"status", "Ask for a voucher's status (request: {\"VoucherCode\":...})",
     &IDovraVoucherAPI::VoucherStatus, "VoucherCode", "--code",
     "Ask for this voucher code (e.g. WELCOME10): sends {\"VoucherCode\":CODE}"},
};

// A one-member request, written as the module writes its own.
std::string OneMemberRequest(const char* member, const std::string& value) {
  return NewObjectDocument({member, value}).ToJSON();
}

struct TRequestSource {
  std::string File, Value;
  bool Force = false;  // reverse: also a redemption a paid or linked sale holds
};

// The till's tables first: a reference a paid or linked sale holds is not given back behind the
// sale's back (the sale would stay paid with a voucher the customer can use again).
void CheckNothingHolds(TDBScript& db, const std::string& reference, bool force) {
  if (force) return;
  const std::string command = "sarn-till voucher reverse: ";
  if (reference.empty())
    throw CommandEnd(command +
                         "the request names no \"VoucherReference\", so the till cannot "
                         "check that no sale holds it; --force sends it unchecked",
                     TExitCode::Usage);
  TLedger ledger;
  std::string error;
  if (!ledger.Read(db, {}, error))
    throw CommandEnd(command + error + "; nothing was sent (--force sends it unchecked)",
                     TExitCode::Failed);
  if (const std::string holder = ledger.HeldBy(reference); !holder.empty())
    throw CommandEnd(command + reference + " is held by " + holder +
                         ", paid with it; nothing was sent (--force gives it back anyway)",
                     TExitCode::NotDone);
}

std::string ReferenceOf(const std::string& request) {
  const TJSONValue document = ParseJSONDocument(request);
  const TJSONValue* reference = document.IsDocument() ? document.Find("VoucherReference") : nullptr;
  return reference && reference->Kind() == TJSONKind::Text ? reference->AsText() : std::string();
}

void RunOperation(TTill& till, const TVoucherOperation& operation, const TRequestSource& source) {
  const std::string command = std::string("voucher ") + operation.Name;
  std::string request, error;
  if (!source.Value.empty()) {
    request = OneMemberRequest(operation.Member, source.Value);
  } else if (!ReadWholeFile(source.File, request, error, "request file")) {
    std::cerr << command << ": " << error << "\n";
    throw CommandEnd(TExitCode::Usage);
  } else if (const std::string problem = StrictJSONProblem(request);
             operation.Call == &IDovraVoucherAPI::Reverse && !problem.empty()) {
    // Two readers of a duplicate member may take different ones: the till would check one
    // reference and the service give back another.
    std::cerr << command << ": the request file " << source.File
              << " is not one plain JSON document (" << problem
              << "); nothing was sent: write each member once\n";
    throw CommandEnd(TExitCode::Usage);
  }
  // The module hands back the answer of a call that went through and keeps everything else to
  // its log; the till's own REST client tells what the service answered.
  auto last = std::make_shared<std::optional<TRestExchange>>();
  till.MutableOptions().RestObserver = [last](const TRestExchange& exchange) { *last = exchange; };
  StartModule(till, command);
  const bool reverse = operation.Call == &IDovraVoucherAPI::Reverse;
  TDBScript& db = till.Database();
  const std::string reference = reverse ? ReferenceOf(request) : std::string();
  if (reverse) CheckNothingHolds(db, reference, source.Force);
  TIntfPtr<IDovraVoucherAPI> api = ResolveAs<IDovraVoucherAPI>(till.Registry());
  if (!api) {
    std::cerr << command << ": the loaded module registers no voucher API client ("
              << IDovraVoucherAPI::IID.ToString() << ")\n";
    throw CommandEnd(TExitCode::Failed);
  }
  std::string response;
  const bool ok = ((*api).*(operation.Call))(request, response);
  api = nullptr;
  std::cout << "result: " << (ok ? "true" : "false") << "\n";
  const std::optional<TRestExchange>& exchange = *last;
  if (!exchange || !exchange->Answered) {
    std::cout << "answer: none" << std::endl;
    std::cerr << command << ": no answer from the voucher service"
              << (exchange ? ": " + exchange->Error : std::string()) << "\n";
    throw CommandEnd(TExitCode::Failed);
  }
  const std::string& body = ok ? response : exchange->Body;
  std::cout << "answer: HTTP " << exchange->Status << "\n" << body << std::endl;
  const std::optional<bool> success = ServiceSuccess(body);
  // A reverse counts only when the answer confirms this very reference.
  const bool done = ok && (reverse ? ReversalConfirmed(body, reference) : success == true);
  if (done && reverse && !reference.empty()) {
    // Kept in the till's tables, so that its sales and a later override know the voucher is back.
    const TJSONValue answer = ParseJSONDocument(body);
    const TJSONValue* code = answer.Find("VoucherCode");
    const TJSONValue* amount = answer.Find("DiscountAmount");
    TGiveBack giveBack;
    giveBack.Candidate = "reference " + reference;
    giveBack.VoucherCode = code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string();
    giveBack.VoucherReference = reference;
    giveBack.Found = "voucher reverse";
    giveBack.Outcome = TGiveBackOutcome::GivenBack;
    giveBack.Answer = body;
    // Forced past a paid or linked sale: that sale's voucher is back, and it says so.
    giveBack.Forced = source.Force;
    try {
      if (amount) giveBack.Amount = amount->ToFloat();
    } catch (const std::exception&) {
    }
    std::string error;
    if (!RecordGiveBack(db, giveBack, error))
      throw CommandEnd(command + ": given back, but " + error, TExitCode::Failed);
  }
  if (done) return;
  if (success == false) {
    // The document is kept while its member is read.
    const TJSONValue answer = ParseJSONDocument(body);
    const TJSONValue* message = answer.Find("ErrorMessage");
    std::cerr << command << ": the service answered \"Success\": false"
              << (message && message->Kind() == TJSONKind::Text ? ": " + message->AsText()
                                                                : std::string())
              << "\n";
    throw CommandEnd(TExitCode::NotDone);
  }
  std::cerr << command << ": the service's answer (HTTP " << exchange->Status
            << ") is no voucher service answer saying \"Success\": true"
            << (reverse ? " for " + reference : std::string()) << "; see the module's log\n";
  throw CommandEnd(TExitCode::Failed);
}

}  // namespace

void AddVoucherCommand(CLI::App& app, TTill& till) {
  CLI::App* voucher = app.add_subcommand("voucher", "Call the voucher service through the module");
  voucher->require_subcommand(1);
  voucher->footer(std::string("Prints \"voucher service: ADDRESS\", \"result: true|false\" (what "
                              "the module's call returned), \"answer: HTTP STATUS\" (or \"answer: "
                              "none\") and the service's answer, also on an HTTP error.\n\n") +
                  kExitCodeTable);
  for (const TVoucherOperation& operation : Operations) {
    CLI::App* sub = voucher->add_subcommand(operation.Name, operation.Description);
    auto source = std::make_shared<TRequestSource>();
    CLI::Option* file =
        sub->add_option("--request", source->File, "JSON request file sent as the body, unchanged")
            ->check(CLI::ExistingFile);
    if (operation.Call == &IDovraVoucherAPI::Reverse)
      sub->add_flag("--force", source->Force,
                    "give it back even when a paid or linked sale in the till's database holds "
                    "it, or the database cannot be read");
    if (operation.Member) {
      sub->add_option(operation.Option, source->Value, operation.OptionHelp)
          ->check(CLI::Validator(
              [](const std::string& value) {
                return value.empty() ? std::string("the value is empty") : std::string();
              },
              "TEXT"))
          ->excludes(file);
      // --force comes on top of the one request option.
      sub->require_option(1, operation.Call == &IDovraVoucherAPI::Reverse ? 2 : 1);
    } else {
      file->required();
    }
    sub->footer(kExitCodeTable);
    const TVoucherOperation* op = &operation;
    TTill* owner = &till;
    sub->callback([owner, op, source] {
      if (source->File.empty() && source->Value.empty())
        throw CLI::RequiredError(std::string("--request or ") + op->Option);
      RunOperation(*owner, *op, *source);
    });
  }
}
