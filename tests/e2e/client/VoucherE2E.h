// What the voucher end-to-end tests share: a dovra-sandbox child in a folder of its own, the
// module's process-wide log, the module pointed at a service through the till's REST client, and
// a fixture with a fresh sandbox per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/contract/TRestClient.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/json/clsJSONDocument.h"
#include "module/core/modConstants.h"
#include "module/core/modRegistry.h"
#include "tests/support/SandboxProcess.h"

namespace fs = std::filesystem;

inline constexpr const char* Key = DovraVoucherAPIKey;

std::string ReadFile(const fs::path& path);
// The dovra-sandbox program; DOVRA_SANDBOX may name another build (a sanitizer build, say).
std::string SandboxProgram();

// One process-wide module log in a folder of its own; entries are written through at once.
fs::path LogFolder();
// The last line the module log holds.
std::string LastLogLine();
// The log writes zero bytes as "?" and other control bytes as blanks.
std::string AsLogged(std::string text);
void ExpectLastLogLineEndsWith(const std::string& expected);

// A running dovra-sandbox in its own data folder, its recorded requests read as documents.
struct TSandbox : TSandboxProcess {
  using TSandboxProcess::TSandboxProcess;
  std::vector<TJSONValue> Records() const;
};

// Points the module at url and gives it a registry with the till's REST client.
void UseService(const std::string& url, const TRestClientOptions& options);
TIntfPtr<IDovraVoucherAPI> NewClient();
std::string CheckRequest(const std::string& code, const std::string& total);
// The named member of a JSON text: text as it stands, anything else as JSON, or "<absent>".
std::string Member(const std::string& json, const char* name);

// Each test gets a sandbox of its own, so no test sees another's redemptions or records.
class VoucherServiceTest : public ::testing::Test {
 protected:
  virtual std::vector<std::string> SandboxArgs() const { return {}; }
  void SetUp() override {
    LogFolder();
    sandbox.emplace(SandboxArgs());
    UseService(sandbox->URL, {sandbox->CertFile(), 3000, 10000});
    api = NewClient();
    ASSERT_TRUE(api);
  }
  void TearDown() override {
    api = nullptr;
    ModuleRegistrySlot() = nullptr;
    sandbox.reset();
  }
  std::optional<TSandbox> sandbox;
  TIntfPtr<IDovraVoucherAPI> api;
};
