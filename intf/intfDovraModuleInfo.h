// What a host may learn from the module about how it runs, so that it can tell its user: the
// voucher service address in force and why, the log file the module writes, and how many
// vouchers it gave back, and its version. The voucher service client the module registers
// (IDovraVoucherAPI) answers it through QueryInterface; the answers hold from load to unload, the
// address being read once as the module loads.
#pragma once

#include <string>

#include "intf/intfPtr.h"

class IDovraModuleInfo : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{B3D6E7B1-FD70-46AD-A2BD-13809A61CEA7}");
  // 1: url := the voucher service base URL in force, ending in "/"; empty when no service is
  //    called: then reason says why (the refused DOVRA_BASE_URL named, any password masked).
  //    reason is empty while a service is in force.
  virtual void GetVoucherService(std::string& url, std::string& reason) = 0;
  // 2: path := the log file the module writes (or would, when it cannot). False when it writes
  //    none: problem then says why; true with problem emptied otherwise.
  virtual bool GetLogFile(std::string& path, std::string& problem) = 0;
  // 3: sent := the reversal requests the module handed to a REST client since it loaded (by the
  //    payment method, the dialog or any host component through IDovraVoucherAPI), confirmed :=
  //    those the service answered with "Success": true.
  virtual void GetReversals(int32_t& sent, int32_t& confirmed) = 0;
  // 4: version := the module's version, "MAJOR.MINOR.PATCH.BUILD", so that a host can name the
  //    module it runs to its user and to support.
  virtual void GetModuleVersion(std::string& version) = 0;

 protected:
  ~IDovraModuleInfo() = default;
};
