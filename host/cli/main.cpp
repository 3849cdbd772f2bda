// sarn-till: the reference Sarn host. It creates the Qt application, loads a payment module,
// serves it the host's services through its registry, and runs payments with it.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "host/cli/cliCommon.h"
#include "host/cli/cmdDatabase.h"
#include "host/cli/cmdPay.h"
#include "host/cli/cmdReconcile.h"
#include "host/cli/cmdVoucher.h"
#include "host/till/TTill.h"
#include "lib/common/PathParts.h"

namespace {

// Without a display the till still runs (tests, scripts): Qt then draws off screen.
void ChooseHeadlessPlatformIfNeeded() {
  if (!getenv("QT_QPA_PLATFORM") && !getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Qt wants a private runtime folder; a till started from a service manager may have none.
  if (!getenv("XDG_RUNTIME_DIR")) {
    const std::string dir = "/tmp/runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
}

// A till's memory holds the voucher service's credentials, customers' mobile numbers and the
// database password: a crash must not leave them in a core file, nor may another process of the
// same user read them through ptrace or /proc. --allow-core (developers) keeps the system's
// setting. Done before anything is loaded, so the module never runs dumpable.
void ForbidCoreDumps(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--allow-core") == 0) return;
  const rlimit none{0, 0};
  if (::setrlimit(RLIMIT_CORE, &none) != 0 || ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
    std::cerr << "sarn-till: warning: cannot forbid core dumps (" << std::strerror(errno)
              << "); a crash may leave secrets in a core file\n";
}

int ListModules(TTill& till) {
  IServiceRegistry* registry = till.Registry();
  std::cout << "module: " << till.Options().ModulePath << '\n';
  for (int32_t i = till.HostEntryCount(); i < registry->Count(); ++i) {
    TGUID service;
    std::string name;
    if (!registry->EntryAt(i, service, name)) continue;
    std::cout << service.ToString() << "  " << (name.empty() ? "(no name)" : name) << '\n';
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ForbidCoreDumps(argc, argv);
  ChooseHeadlessPlatformIfNeeded();
  QApplication app(argc, argv);

  TTill till(TTillOptions{});
  TTillOptions& options = till.MutableOptions();
  options.ModulePath = FolderOf(ExecutablePath()) + "DovraVoucherPayment.smd";
  // Only upgrade makes a new database, and only where one was plainly meant.
  options.CreateDatabase = false;
  int code = 0;

  CLI::App cli{"sarn-till: the reference Sarn point-of-sale host for payment modules"};
  cli.require_subcommand(1);
  cli.add_option("--module", options.ModulePath, "payment module (.smd) to load")
      ->capture_default_str();
  cli.add_option("--ca-file", options.CaFile,
                 "PEM file of certificates the REST client trusts besides the system's")
      ->check(TrustedCertificates());
  cli.add_option("--base-url", options.BaseURL,
                 "the voucher service the module talks to (an https:// address), in place of "
                 "DOVRA_BASE_URL and of its built-in production address")
      ->check(VoucherServiceAddress());
  cli.add_option("--store-id", options.StoreID,
                 "store identifier the till reports, kept with each of its sales in SarnSales")
      ->capture_default_str();
  cli.add_option("--till-id", options.TillID,
                 "till number within the store, kept with each of its sales in SarnSales (tills "
                 "sharing a database each give their own)")
      ->capture_default_str();
  cli.add_option("--timeout-ms", options.TimeoutMs, "REST client time-out per request")
      ->capture_default_str()
      ->check(Milliseconds(1));
  cli.add_flag("--allow-plain-http", options.AllowPlainHttp,
               "let the REST client use http:// to loopback addresses (127.0.0.0/8, ::1), "
               "credentials unencrypted (tests only)");
  bool allowCore = false;
  cli.add_flag("--allow-core", allowCore,
               "let a crash leave a core file (developers; it may hold the service's "
               "credentials and customers' data): without it the till sets its core file size "
               "to 0 and makes itself not dumpable");
  cli.footer(std::string("Every command that loads the module prints \"voucher service: ADDRESS\" "
                         "first.\n\n") +
             kExitCodeTable);

  auto* modules = cli.add_subcommand("modules", "load the module and list what it registered");
  modules->callback([&]() {
    StartModule(till, "modules");
    code = ListModules(till);
  });

  AddPaymentCommands(cli, till);
  AddDatabaseCommands(cli, till);
  AddVoucherCommand(cli, till);
  AddReconcileCommand(cli, till);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    // A bare exit code carries CLI11's placeholder text; only real messages are shown.
    if (std::string(e.what()) != "Runtime error") std::cerr << e.what() << '\n';
    code = e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    // CLI11 gives each kind of usage error a code of its own; the till's table has one for all.
    code = cli.exit(e) == 0 ? kExitDone : kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "sarn-till: " << e.what() << '\n';
    code = kExitFailed;
  }
  till.Stop();
  return code;
}
