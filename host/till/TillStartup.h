// What the till tells its user about the module it runs: which voucher service the module talks
// to and whether it can write its log, both as the module itself says through the contract
// (IDovraModuleInfo), and whether an address given on the command line would be taken at all.
#pragma once

#include <string>

#include "intf/intfDI.h"

struct TModuleStartup {
  bool Told = false;       // the module answers IDovraModuleInfo; nothing below is known otherwise
  std::string ServiceURL;  // the base address in force; empty: the module calls no service
  std::string NoService;   // why no service is called (the refused DOVRA_BASE_URL named)
  std::string LogFile;     // the log file the module writes, or would write
  std::string LogProblem;  // why it writes none; empty when it writes one
  std::string LogNote;     // it writes one, but not under its own name: why
  std::string Version;     // the module's version, as it names it
};

// What the loaded module says of itself, asked through the voucher service client it registers.
TModuleStartup AskModuleStartup(IServiceRegistry* registry);

// Why the module would refuse url as its override ("is not an https:// address", ...); empty when
// it would take it. Asked before the module loads, so that a mistyped --base-url loads nothing.
std::string VoucherServiceRefusal(const std::string& url);

// The module the till loads unless --module names another: the one beside the program (the build
// folder), else the one of the installed layout, PREFIX/lib/sarn/modules/, found from the
// program's own folder (PREFIX/bin/), so that an installed till needs no option to find it.
// The path beside the program when neither is there, so that the error names where it looked first.
std::string DefaultModulePath(const std::string& program);
