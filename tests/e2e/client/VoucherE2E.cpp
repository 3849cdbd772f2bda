#include "tests/e2e/client/VoucherE2E.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "host/contract/ServiceRegistry.h"
#include "module/client/implDovraVoucherAPI.h"
#include "module/core/modConstants.h"
#include "module/log/modLog.h"
#include "tests/support/TestFolder.h"

std::string ReadFile(const fs::path& path) { return FileBytes(path.string()); }

std::string SandboxProgram() {
  const char* program = std::getenv("DOVRA_SANDBOX");
  return program && *program ? program : DOVRA_SANDBOX_PROGRAM;
}

fs::path LogFolder() {
  static const TScratchFolder folder("dovra-e2e");
  static const bool started = [] {
    ModLog::StartModuleLog(folder.Path("DovraVoucherPayment.smd"));
    return true;
  }();
  (void)started;
  return folder.Dir();
}

std::string LastLogLine() {
  std::string last;
  for (const auto& entry : fs::directory_iterator(LogFolder())) {
    if (entry.path().extension() != ".log") continue;
    std::string text = ReadFile(entry.path());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    last = text.substr(text.find_last_of('\n') + 1);
  }
  return last;
}

std::string AsLogged(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = c == '\0' ? '?' : ' ';
  return text;
}

void ExpectLastLogLineEndsWith(const std::string& expected) {
  const std::string line = LastLogLine();
  ASSERT_GE(line.size(), expected.size()) << line;
  EXPECT_EQ(line.substr(line.size() - expected.size()), expected);
}

std::vector<TJSONValue> TSandbox::Records() const {
  std::vector<TJSONValue> lines;
  for (const std::string& line : RecordLines()) lines.push_back(ParseJSONDocument(line));
  return lines;
}

void UseService(const std::string& url, const TRestClientOptions& options) {
  ::setenv("DOVRA_BASE_URL", url.c_str(), 1);
  LoadVoucherServiceAddress();
  TIntfPtr<IServiceRegistry> registry = NewServiceRegistry();
  RegisterRestClient(registry.Get(), options);
  ModuleRegistrySlot() = registry;
}

TIntfPtr<IDovraVoucherAPI> NewClient() {
  TIntfPtr<IInterface> base;
  MakeObject<TDovraVoucherAPIFactory>()->CreateInstance(base);
  return base.As<IDovraVoucherAPI>();
}

std::string CheckRequest(const std::string& code, const std::string& total) {
  return "{\"VoucherCode\":\"" + code +
         "\",\"StoreReference\":7,\"User\":{\"Reference\":\"0612345678\",\"CreatedOn\":"
         "\"2026-12-09T10:15:00\"},\"VoucherOrder\":{\"OrderDate\":\"2026-12-09T10:15:00\","
         "\"TotalPrice\":" +
         total + ",\"Items\":[{\"Code\":\"CAP-01\",\"Quantity\":2,\"UnitPrice\":12.5}]}}";
}

std::string Member(const std::string& json, const char* name) {
  const TJSONValue doc = ParseJSONDocument(json);
  const TJSONValue* v = doc.Document() ? doc.Find(name) : nullptr;
  if (!v) return "<absent>";
  return v->Kind() == TJSONKind::Text ? v->AsText() : v->ToJSON();
}
