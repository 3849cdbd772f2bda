#include "host/till/TillStartup.h"

#include <filesystem>

#include "intf/intfDovraModuleInfo.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/voucher/DovraServiceAddress.h"

TModuleStartup AskModuleStartup(IServiceRegistry* registry) {
  TModuleStartup startup;
  if (!registry) return startup;
  TIntfPtr<IInterface> api;
  if (!registry->ResolveService(IDovraVoucherAPI::IID, api)) return startup;
  const TIntfPtr<IDovraModuleInfo> info = api.As<IDovraModuleInfo>();
  if (!info) return startup;
  startup.Told = true;
  info->GetVoucherService(startup.ServiceURL, startup.NoService);
  if (info->GetLogFile(startup.LogFile, startup.LogProblem))
    startup.LogNote.swap(startup.LogProblem);
  // A module from before the version was told answers no IDovraModuleVersion.
  if (const TIntfPtr<IDovraModuleVersion> version = api.As<IDovraModuleVersion>())
    version->GetModuleVersion(startup.Version);
  return startup;
}

std::string VoucherServiceRefusal(const std::string& url) {
  if (url.empty()) return "is empty";
  return std::string(VoucherServiceAddressRefusal(url));
}

std::string DefaultModulePath(const std::string& program) {
  const std::filesystem::path folder = std::filesystem::path(program).parent_path();
  const std::filesystem::path beside = folder / "DovraVoucherPayment.smd";
  const std::filesystem::path installed =
      (folder.parent_path() / "lib/sarn/modules/DovraVoucherPayment.smd").lexically_normal();
  std::error_code ec;
  if (!std::filesystem::exists(beside, ec) && std::filesystem::is_regular_file(installed, ec))
    return installed.string();
  return beside.string();
}
