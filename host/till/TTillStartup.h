// What the till tells its user before it loads the module: which voucher service the module will
// talk to (by the module's own rule for its override) and whether the module can write its log.
#pragma once

#include <string>

struct TVoucherServiceInForce {
  std::string URL;      // the base address the module will use; empty: it will call none
  std::string Refused;  // when DOVRA_BASE_URL is set but refused: the module's reason, naming it
};

// The address the module takes when it loads: with override set (the till's --base-url), that
// one; otherwise DOVRA_BASE_URL as the environment holds it.
TVoucherServiceInForce VoucherServiceInForce(const std::string& override);

// Why the module would refuse url as its override ("is not an https:// address", ...), with the
// value shown as the module log shows it; empty when it would take it.
std::string VoucherServiceRefusal(const std::string& url);

// The log file the module at modulePath writes (beside it, named after this program, the
// computer and the module file).
std::string ExpectedModuleLog(const std::string& modulePath);

// Why the module cannot write its log beside modulePath (its folder not writable), or empty.
std::string ModuleLogProblem(const std::string& modulePath);
