#include "TTillStartup.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "modConstants.h"
#include "modServiceAddress.h"

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("sarn-till");
}

}  // namespace

TVoucherServiceInForce VoucherServiceInForce(const std::string& override) {
  const TVoucherServiceAddress address = ResolveVoucherServiceAddress(
      DovraVoucherProductionURL,
      override.empty() ? std::getenv("DOVRA_BASE_URL") : override.c_str());
  return {address.URL, address.NoServiceReason};
}

std::string VoucherServiceRefusal(const std::string& url) {
  if (url.empty()) return "is empty";
  const TVoucherServiceAddress address =
      ResolveVoucherServiceAddress(DovraVoucherProductionURL, url.c_str());
  return address.Refused;
}

std::string ExpectedModuleLog(const std::string& modulePath) {
  std::string program = NameOf(ProgramPath());
  if (const size_t dot = program.rfind('.'); dot != std::string::npos && dot > 0)
    program.erase(dot);
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
  return FolderOf(modulePath) + "/" + program + " (" + host + ") " + NameOf(modulePath) + ".log";
}

std::string ModuleLogProblem(const std::string& modulePath) {
  const std::string folder = FolderOf(modulePath);
  if (access(folder.c_str(), W_OK | X_OK) == 0) return {};
  return "the module's folder " + folder + " is not writable (" + std::strerror(errno) + ")";
}
