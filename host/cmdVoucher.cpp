#include "cmdVoucher.h"

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

void RunOperation(TTill& till, const TVoucherOperation& operation, const std::string& file) {
  std::string request;
  if (!ReadWholeFile(file, request)) {
    std::cerr << "voucher " << operation.Name << ": cannot read request file " << file << "\n";
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
    auto file = std::make_shared<std::string>();
    sub->add_option("--request", *file, "JSON request file sent as the body, unchanged")
        ->required()
        ->check(CLI::ExistingFile);
    const TVoucherOperation* op = &operation;
    TTill* owner = &till;
    sub->callback([owner, op, file] { RunOperation(*owner, *op, *file); });
  }
}
