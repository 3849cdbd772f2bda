// A host that loads and unloads the module many times in one process: nothing may stay behind
// (memory, descriptors, the mapping of the module's file).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QtGlobal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/contract/ServiceRegistry.h"
#include "intf/intfDovraVoucherAPI.h"
#include "intf/intfPaymentMethod.h"
#include "tests/support/TestFolder.h"

#ifndef __has_feature
#define __has_feature(x) 0
#endif

namespace {

namespace fs = std::filesystem;

// Hosts load the toolkit themselves; a reference keeps it in this process as it would be there.
[[maybe_unused]] const char* const ToolkitVersion = qVersion();

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Resident set size in KiB.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

bool Mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::ostringstream text;
  text << maps.rdbuf();
  return text.str().find(path) != std::string::npos;
}

class ModuleCycles : public TTestFolder {
 protected:
  ModuleCycles() : TTestFolder("dovra-cycles") {}

  // One host session: load, InitModule, a payment method and a voucher client made and
  // released, FinalModule, unload.
  void Cycle(const std::string& module) {
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto init = reinterpret_cast<void (*)(IServiceRegistry*)>(dlsym(handle, "InitModule"));
    const auto final = reinterpret_cast<void (*)()>(dlsym(handle, "FinalModule"));
    ASSERT_TRUE(init && final);
    {
      TIntfPtr<IServiceRegistry> registry = NewServiceRegistry();
      init(registry.Get());
      TIntfPtr<IInterface> found;
      ASSERT_TRUE(registry->ResolveNamedService(IPaymentMethod::IID, "DovraVouchers", found));
      ASSERT_TRUE(found.As<IPaymentMethod>());
      found.Clear();
      ASSERT_TRUE(registry->ResolveService(IDovraVoucherAPI::IID, found));
      ASSERT_TRUE(found.As<IDovraVoucherAPI>());
      found.Clear();
      final();
      registry->Clear();
    }
    ASSERT_EQ(dlclose(handle), 0);
  }
};

}  // namespace

TEST_F(ModuleCycles, AThousandLoadsAndUnloadsLeaveNothingBehind) {
  const std::string module = Path("DovraVoucherPayment.smd");
  fs::copy_file(DOVRA_MODULE_PATH, module);
  // The first cycles load what stays for good (the loader's and the toolkit's own caches).
  for (int i = 0; i < 20; ++i) ASSERT_NO_FATAL_FAILURE(Cycle(module));
  const size_t descriptors = OpenDescriptors();
  const long resident = ResidentKiB();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_NO_FATAL_FAILURE(Cycle(module));
    ASSERT_FALSE(Mapped(module)) << "still mapped after unload " << i;
    ASSERT_EQ(OpenDescriptors(), descriptors) << "after cycle " << i;
  }
  // Flat means: no growth per cycle beyond the allocator's own slack. Under AddressSanitizer
  // freed memory waits in its quarantine, so there the leak checker at exit speaks instead.
#if !defined(__SANITIZE_ADDRESS__) && !__has_feature(address_sanitizer)
  EXPECT_LT(ResidentKiB() - resident, 8 * 1024) << "resident KiB before: " << resident;
#else
  (void)resident;
#endif
}
