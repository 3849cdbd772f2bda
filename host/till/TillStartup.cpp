#include "host/till/TillStartup.h"

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
  return startup;
}

std::string VoucherServiceRefusal(const std::string& url) {
  if (url.empty()) return "is empty";
  return std::string(VoucherServiceAddressRefusal(url));
}
