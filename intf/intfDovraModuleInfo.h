// What a host may learn from the module about how it runs, so that it can tell its user: the
// voucher service address in force and why, the log file the module writes, and how many
// vouchers it gave back; and, through an interface of its own, its version. The voucher service
// client the module registers (IDovraVoucherAPI) answers both through QueryInterface; the answers
// hold from load to unload, the address being read once as the module loads.
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
  //    none: problem then says why; true otherwise, with problem empty, or saying why the log's
  //    own name was refused as unsafe and which name it writes instead.
  virtual bool GetLogFile(std::string& path, std::string& problem) = 0;
  // 3: sent := the reversal requests the module handed to a REST client since it loaded (by the
  //    payment method, the dialog or any host component through IDovraVoucherAPI), confirmed :=
  //    those the service answered with "Success": true.
  virtual void GetReversals(int32_t& sent, int32_t& confirmed) = 0;

 protected:
  ~IDovraModuleInfo() = default;
};

// The module's version. An interface of its own, not a fourth operation of IDovraModuleInfo: a
// module built before it answers QueryInterface for it with a failure, where a host calling a
// slot past the end of an older interface would crash.
class IDovraModuleVersion : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{BCB71E1D-647E-4DA6-9578-D79DA45B003C}");
  // 1: version := the module's version, "MAJOR.MINOR.PATCH.BUILD", so that a host can name the
  //    module it runs to its user and to support.
  virtual void GetModuleVersion(std::string& version) = 0;

 protected:
  ~IDovraModuleVersion() = default;
};
