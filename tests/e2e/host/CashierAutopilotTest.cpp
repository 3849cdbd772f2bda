// The cashier autopilot against the module's real voucher dialog, off screen, with the module's
// voucher client talking to dovra-sandbox over HTTPS through the till's REST client: every way a
// payment dialog can end, and what the voucher service really received.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/contract/ServiceRegistry.h"
#include "host/contract/TRestClient.h"
#include "host/till/TCashierAutopilot.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/json/clsJSONDocument.h"
#include "module/client/implDovraVoucherAPI.h"
#include "module/core/modConstants.h"
#include "module/core/modRegistry.h"
#include "module/dialog/FDovraPayment.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SandboxProcess.h"

namespace {

const char* const kOrder =
    R"({"AfterDisc":150,"LineItems":[{"Code":"A1","Quantity":3,"Price":50}]})";

struct TRow {
  const char* Name;
  std::vector<std::string> SandboxArgs;
  std::string Voucher;
  bool Redeem;
  int GiveUpMs;
  bool Paid;
  int Evaluations, Redemptions;  // requests the service received
  // The cashier's actions in order, each given by its start.
  std::vector<std::string> Actions;
};

const TRow kRows[] = {
    {"Redeemed",
     {},
     "SAVE15",
     true,
     60000,
     true,
     1,
     1,
     {"found the voucher dialog \"Dovra Voucher Payment\"", "typed voucher SAVE15",
      "typed mobile *******678", "pressed Check",
      "the dialog shows \"Voucher Successful\" \"15% off your order\"", "pressed Redeem",
      "the dialog closed with OK"}},
    {"CheckedOnly",
     {},
     "SAVE15",
     false,
     60000,
     false,
     1,
     0,
     {"found", "typed voucher", "typed mobile", "pressed Check",
      "the dialog shows \"Voucher Successful\"", "closed the dialog by its close box",
      "the dialog closed without a payment"}},
    {"UnknownVoucherRefused",
     {},
     "NO-SUCH-CODE",
     true,
     60000,
     false,
     1,
     0,
     {"found", "typed voucher NO-SUCH-CODE", "typed mobile", "pressed Check",
      "the dialog shows \"Voucher Error\" \"Unknown voucher code\"",
      "closed the dialog by its close box", "the dialog closed without a payment"}},
    {"RedeemAnswered500",
     {"--fail", "redeem:500"},
     "SAVE15",
     true,
     60000,
     false,
     1,
     1,
     {"found", "typed voucher", "typed mobile", "pressed Check",
      "the dialog shows \"Voucher Successful\"", "pressed Redeem",
      "the dialog shows \"Could not Redeem Voucher\" \"Answer lost; voucher not used. Press "
      "Redeem again.\"",
      "closed the dialog by its close box", "the dialog closed without a payment"}},
    {"CheckAnsweredGarbage",
     {"--garbage", "evaluate"},
     "SAVE15",
     true,
     60000,
     false,
     1,
     0,
     {"found", "typed voucher", "typed mobile", "pressed Check", "closed message box",
      "the dialog shows", "closed the dialog by its close box",
      "the dialog closed without a payment"}},
    {"GivesUpAtOnce",
     {},
     "SAVE15",
     true,
     0,
     false,
     0,
     0,
     {"gave up after 0 s", "found", "closed the dialog by its close box",
      "the dialog closed without a payment"}},
};

// A dovra-sandbox child serving as the module's voucher service for the lifetime of the object.
class TSandboxService {
 public:
  explicit TSandboxService(const std::vector<std::string>& extra) : FSandbox(extra) {
    setenv("DOVRA_BASE_URL", FSandbox.URL.c_str(), 1);
    LoadVoucherServiceAddress();
    TIntfPtr<IServiceRegistry> registry = NewServiceRegistry();
    TRestClientOptions options;
    options.CaFile = FSandbox.CertFile();
    RegisterRestClient(registry.Get(), options);
    registry->RegisterFactory(IDovraVoucherAPI::IID, MakeObject<TDovraVoucherAPIFactory>().Get());
    ModuleRegistrySlot() = registry;
  }
  ~TSandboxService() {
    ModuleRegistrySlot() = nullptr;
    unsetenv("DOVRA_BASE_URL");
    LoadVoucherServiceAddress();
  }
  int Requests(const std::string& operation) const {
    int n = 0;
    for (const std::string& line : FSandbox.RecordLines())
      n += ParseJSONDocument(line).Get("Operation").ToText() == operation;
    return n;
  }

 private:
  TSandboxProcess FSandbox;
};

class CashierAutopilotTest : public ::testing::TestWithParam<TRow> {};

TEST_P(CashierAutopilotTest, WorksTheDialogToItsEnd) {
  const TRow& row = GetParam();
  TSandboxService service(row.SandboxArgs);
  std::ostringstream report;
  TCashierAutopilot cashier({row.Voucher, "0612345678", row.Redeem, row.GiveUpMs, 5}, report);
  std::string answer = "untouched";
  cashier.Arm();
  const bool paid = RunVoucherDialog(7, kOrder, answer, nullptr);
  cashier.Disarm();

  EXPECT_EQ(paid, row.Paid) << report.str();
  if (row.Paid) {
    const TJSONValue redeemed = ParseJSONDocument(answer);
    EXPECT_TRUE(redeemed.Get("Success").ToBoolean()) << answer;
    EXPECT_EQ(redeemed.Get("VoucherCode").ToText(), row.Voucher);
  } else {
    EXPECT_EQ(answer, "untouched");
  }
  EXPECT_EQ(service.Requests("evaluate"), row.Evaluations);
  EXPECT_EQ(service.Requests("redeem"), row.Redemptions);

  const std::vector<std::string>& actions = cashier.Actions();
  ASSERT_EQ(actions.size(), row.Actions.size()) << report.str();
  std::string expectedReport;
  for (size_t i = 0; i < actions.size(); ++i) {
    EXPECT_EQ(actions[i].rfind(row.Actions[i], 0), 0u) << actions[i];
    expectedReport += "cashier: " + actions[i] + "\n";
  }
  EXPECT_EQ(report.str(), expectedReport);
}

INSTANTIATE_TEST_SUITE_P(Ends, CashierAutopilotTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace

// Command lines that cannot be run as asked end before the module is loaded (nothing on the
// output), instead of leaving an off-screen dialog waiting for nobody: a usage error, exit 2.
TEST(SarnTillPay, RefusesWhatCannotRunBeforeLoadingTheModule) {
  const std::vector<std::string> cases[] = {
      {},           // without the popup no voucher would be involved
      {"--popup"},  // no display for a person, no autopilot
      {"--popup", "--invoice", "1001"},
      {"--voucher", "SAVE15", "--mobile", "0612345678"},
      {"--popup", "--voucher", "SAVE15"},
      {"--popup", "--mobile", "0612345678"},
      {"--popup", "--no-redeem"},
      {"--popup", "--voucher", "SAVE15", "--mobile", "1", "--give-up", "0"},
      {"--invoice", "1001", "--cancel"},
      {"--invoice", "-1"},
      {"--invoice", "1e3"},
  };
  for (const auto& extra : cases) {
    std::vector<std::string> args{"pay", "--amount", "12.50", "--order",
                                  DOVRA_SOURCE_DIR "/examples/order.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string error, output;
    TChildProcess till;
    ASSERT_TRUE(till.Start(SARN_TILL_PROGRAM, args, {"QT_QPA_PLATFORM=offscreen"}, error)) << error;
    const int code = till.ReadAllAndWait(output, 30000);
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(code, 2);
    EXPECT_EQ(output, "");
  }
}
