#include "cmdVoucher.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "intfDovraVoucherAPI.h"

namespace {

using TVoucherCall = bool (IDovraVoucherAPI::*)(const std::string&, std::string&);

struct TVoucherOperation {
  const char* Name;
  const char* Description;
  TVoucherCall Call;
};

constexpr TVoucherOperation Operations[] = {
    {"evaluate", "Check a voucher against an order (request: check document)",
     &IDovraVoucherAPI::Evaluate},
    {"redeem", "Redeem a voucher (request: check document)", &IDovraVoucherAPI::Redeem},
    {"reverse", "Reverse a redemption (request: {\"VoucherReference\":...})",
     &IDovraVoucherAPI::Reverse},
    {"status", "Ask for a voucher's status", &IDovraVoucherAPI::VoucherStatus},
};

bool ReadWholeFile(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The reversal request for one redemption, as the module itself builds it.
std::string ReversalRequest(const std::string& reference) {
  std::string request = "{\"VoucherReference\":\"";
  for (const char c : reference) {
    if (c == '"' || c == '\\') {
      request += '\\';
      request += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      request += escaped;
    } else {
      request += c;
    }
  }
  return request + "\"}";
}

struct TRequestSource {
  std::string File, Reference;
};

void RunOperation(TTill& till, const TVoucherOperation& operation, const TRequestSource& source) {
  std::string request;
  if (!source.Reference.empty()) {
    request = ReversalRequest(source.Reference);
  } else if (!ReadWholeFile(source.File, request)) {
    std::cerr << "voucher " << operation.Name << ": cannot read request file " << source.File
              << "\n";
    throw CLI::RuntimeError(2);
  }
  std::string error;
  if (!till.Start(error)) {
    std::cerr << "voucher " << operation.Name << ": " << error << "\n";
    throw CLI::RuntimeError(2);
  }
  TIntfPtr<IDovraVoucherAPI> api = ResolveAs<IDovraVoucherAPI>(till.Registry());
  if (!api) {
    std::cerr << "voucher " << operation.Name
              << ": the loaded module registers no voucher API client ("
              << IDovraVoucherAPI::IID.ToString() << ")\n";
    throw CLI::RuntimeError(2);
  }
  std::string response;
  const bool ok = ((*api).*(operation.Call))(request, response);
  api = nullptr;
  std::cout << "result: " << (ok ? "true" : "false") << "\n" << response << std::endl;
  if (!ok) {
    // The module keeps the failure text to its own log; the response stays as it was.
    std::cerr << "voucher " << operation.Name << ": the call failed; see the module's log\n";
    throw CLI::RuntimeError(1);
  }
}

}  // namespace

void AddVoucherCommand(CLI::App& app, TTill& till) {
  CLI::App* voucher = app.add_subcommand("voucher", "Call the voucher service through the module");
  voucher->require_subcommand(1);
  for (const TVoucherOperation& operation : Operations) {
    CLI::App* sub = voucher->add_subcommand(operation.Name, operation.Description);
    auto source = std::make_shared<TRequestSource>();
    CLI::Option* file =
        sub->add_option("--request", source->File, "JSON request file sent as the body, unchanged")
            ->check(CLI::ExistingFile);
    if (operation.Call == &IDovraVoucherAPI::Reverse) {
      // Support gives a voucher back by the reference the module log or the service shows.
      sub->add_option("--reference", source->Reference,
                      "Reverse this redemption (e.g. DVR-00000001): sends "
                      "{\"VoucherReference\":REFERENCE}")
          ->check(CLI::Validator(
              [](const std::string& value) {
                return value.empty() ? std::string("the reference is empty") : std::string();
              },
              "REFERENCE"))
          ->excludes(file);
      sub->require_option(1);
    } else {
      file->required();
    }
    const TVoucherOperation* op = &operation;
    TTill* owner = &till;
    sub->callback([owner, op, source] { RunOperation(*owner, *op, *source); });
  }
}
