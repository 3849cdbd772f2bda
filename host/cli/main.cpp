// sarn-till: the reference Sarn host. It creates the Qt application, loads a payment module,
// serves it the host's services through its registry, and runs payments with it.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "host/cli/cliCommon.h"
#include "host/cli/cmdDatabase.h"
#include "host/cli/cmdPay.h"
#include "host/cli/cmdReconcile.h"
#include "host/cli/cmdVoucher.h"
#include "host/till/TTill.h"
#include "host/till/TillStartup.h"
#include "lib/common/PathParts.h"
#include "lib/version/DovraVersion.h"

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

TExitCode ListModules(TTill& till) {
  IServiceRegistry* registry = till.Registry();
  std::cout << "module: " << till.Options().ModulePath << '\n';
  const TModuleStartup startup = AskModuleStartup(registry);
  std::cout << "module version: " << (startup.Version.empty() ? "(not told)" : startup.Version)
            << '\n';
  for (int32_t i = till.HostEntryCount(); i < registry->Count(); ++i) {
    TGUID service;
    std::string name;
    if (!registry->EntryAt(i, service, name)) continue;
    std::cout << service.ToString() << "  " << (name.empty() ? "(no name)" : name) << '\n';
  }
  return TExitCode::Done;
}

// Every command takes the till's options after its name too (sarn-till pay ... --timeout-ms 4000):
// what a command does not know falls through to the till.
void LetOptionsFallThrough(CLI::App& app) {
  for (CLI::App* sub : app.get_subcommands({})) {
    sub->fallthrough();
    LetOptionsFallThrough(*sub);
  }
}

// The edits that turn one name into the other (insert, remove, replace, swap two neighbours).
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The name closest to typed, when it is close enough to be what was meant; empty otherwise.
std::string Nearest(const std::string& typed, const std::vector<std::string>& names) {
  std::string best;
  size_t bestDistance = std::max<size_t>(1, std::min<size_t>(3, typed.size() / 3)) + 1;
  for (const std::string& name : names)
    if (const size_t d = EditDistance(typed, name); d < bestDistance) {
      bestDistance = d;
      best = name;
    }
  return best;
}

// The long options a command takes: its own and those of the commands above it.
std::vector<std::string> OptionNames(const std::vector<CLI::App*>& chain) {
  std::vector<std::string> names;
  for (const CLI::App* app : chain)
    for (const CLI::Option* option : app->get_options())
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  return names;
}

// After a usage error: the first command or option of the command line the till does not know,
// and the known one nearest to it ("sarn-till: unknown command 'reconcil': did you mean
// reconcile?"). Empty when every name is known or none is near.
std::string Suggestion(CLI::App& cli, int argc, char** argv) {
  std::vector<CLI::App*> chain{&cli};
  bool valueNext = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.rfind("--", 0) == 0) {
      const std::string name = word.substr(0, word.find('='));
      const CLI::Option* option = nullptr;
      for (auto app = chain.rbegin(); app != chain.rend() && !option; ++app)
        option = (*app)->get_option_no_throw(name);
      if (!option) {
        const std::string near = Nearest(name, OptionNames(chain));
        if (near.empty()) return "";
        return "sarn-till: unknown option '" + name + "': did you mean " + near + "?";
      }
      valueNext = word.find('=') == std::string::npos && option->get_expected_min() > 0;
      continue;
    }
    if (valueNext || word.rfind('-', 0) == 0) {
      valueNext = false;
      continue;
    }
    CLI::App* current = chain.back();
    std::vector<std::string> commands;
    CLI::App* found = nullptr;
    for (CLI::App* sub : current->get_subcommands({})) {
      commands.push_back(sub->get_name());
      if (sub->get_name() == word) found = sub;
    }
    if (found) {
      chain.push_back(found);
      continue;
    }
    if (commands.empty()) continue;  // an argument of the command
    const std::string near = Nearest(word, commands);
    if (near.empty()) return "";
    return "sarn-till: unknown command '" + word + "': did you mean " + near + "?";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  ForbidCoreDumps(argc, argv);
  ChooseHeadlessPlatformIfNeeded();
  QApplication app(argc, argv);

  TTill till(TTillOptions{});
  TTillOptions& options = till.MutableOptions();
  options.ModulePath = DefaultModulePath(ExecutablePath());
  // Only upgrade makes a new database, and only where one was plainly meant.
  options.CreateDatabase = false;
  // The process's status: a command's TExitCode, as CommandEnd carries it.
  int status = ExitStatus(TExitCode::Done);

  CLI::App cli{"sarn-till: the reference Sarn point-of-sale host for payment modules"};
  cli.require_subcommand(1);
  cli.set_version_flag("--version", std::string("sarn-till ") + kDovraVersion,
                       "print the version and exit");
  // The store's settings come from one environment file (/etc/sarn/till.env) as SARN_TILL_*
  // variables, so that a service unit, cron and a person at the shell run the same till.
  // The default is told by its rule, not by this machine's path: the help is also the man page.
  cli.add_option("--module", options.ModulePath, "payment module (.smd) to load")
      ->default_str("DovraVoucherPayment.smd beside sarn-till, else in ../lib/sarn/modules/")
      ->envname("SARN_TILL_MODULE");
  cli.add_option("--ca-file", options.CaFile,
                 "PEM file of certificates the REST client trusts besides the system's")
      ->check(TrustedCertificates())
      ->envname("SARN_TILL_CA_FILE");
  cli.add_option("--base-url", options.BaseURL,
                 "the voucher service the module talks to (an https:// address), in place of "
                 "DOVRA_BASE_URL and of its built-in production address")
      ->check(VoucherServiceAddress());
  cli.add_option("--store-id", options.StoreID,
                 "store identifier the till reports, kept with each of its sales in SarnSales")
      ->capture_default_str()
      ->envname("SARN_TILL_STORE_ID");
  cli.add_option("--till-id", options.TillID,
                 "till number within the store, kept with each of its sales in SarnSales (tills "
                 "sharing a database each give their own)")
      ->capture_default_str()
      ->envname("SARN_TILL_TILL_ID");
  cli.add_option("--timeout-ms", options.TimeoutMs, "REST client time-out per request")
      ->capture_default_str()
      ->transform(Milliseconds(1))
      ->envname("SARN_TILL_TIMEOUT_MS");
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
    status = ExitStatus(ListModules(till));
  });

  AddPaymentCommands(cli, till);
  AddDatabaseCommands(cli, till);
  AddVoucherCommand(cli, till);
  AddReconcileCommand(cli, till);
  LetOptionsFallThrough(cli);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    // A bare exit code carries CLI11's placeholder text; only real messages are shown.
    if (std::string(e.what()) != "Runtime error") std::cerr << e.what() << '\n';
    status = e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    // CLI11 gives each kind of usage error a code of its own; the till's table has one for all.
    const TExitCode code = cli.exit(e) == 0 ? TExitCode::Done : TExitCode::Usage;
    if (code == TExitCode::Usage)
      if (const std::string hint = Suggestion(cli, argc, argv); !hint.empty())
        std::cerr << hint << '\n';
    status = ExitStatus(code);
  } catch (const std::exception& e) {
    std::cerr << "sarn-till: " << e.what() << '\n';
    status = ExitStatus(TExitCode::Failed);
  }
  till.Stop();
  return status;
}
