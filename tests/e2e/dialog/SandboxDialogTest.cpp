// The dialog against the local voucher service over HTTPS, through the module's own voucher API
// client and the till's REST client: what a cashier sees end to end.
#include <gtest/gtest.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "host/contract/ServiceRegistry.h"
#include "host/contract/TRestClient.h"
#include "module/client/implDovraVoucherAPI.h"
#include "module/core/modConstants.h"
#include "module/dialog/FDovraPayment.h"
#include "tests/support/DialogTestSupport.h"
#include "tests/support/DialogWatchdog.h"
#include "tests/support/SandboxProcess.h"

namespace {

const char* const kOrder = R"({"AfterDisc":150,"LineItems":[{"Code":"A1","Quantity":2,"Price":50},)"
                           R"({"Code":"B2","Quantity":1,"Price":50}]})";

class SandboxDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    FSandbox = std::make_unique<TSandboxProcess>();
    FBaseUrl = std::make_unique<TScopedEnv>("DOVRA_BASE_URL", FSandbox->URL.c_str());
    LoadVoucherServiceAddress();
    TIntfPtr<IServiceRegistry> registry = NewServiceRegistry();
    TRestClientOptions options;
    options.CaFile = FSandbox->CertFile();
    RegisterRestClient(registry.Get(), options);
    registry->RegisterFactory(IDovraVoucherAPI::IID, MakeObject<TDovraVoucherAPIFactory>().Get());
    ModuleRegistrySlot() = registry;
  }
  void TearDown() override {
    ModuleRegistrySlot() = nullptr;
    FBaseUrl.reset();
    LoadVoucherServiceAddress();
    FSandbox.reset();
  }

  template <class T>
  static T* Find(QWidget& dialog, const char* name) {
    return dialog.findChild<T*>(name);
  }

  std::unique_ptr<TSandboxProcess> FSandbox;
  TDialogWatchdog FWatchdog;
  std::unique_ptr<TScopedEnv> FBaseUrl;
  TScopedEnv FMoneyLocale{"LC_ALL", "C"};
};

TEST_F(SandboxDialog, CheckAndRedeemAPercentageVoucher) {
  TfrmDovraPayment dialog;
  dialog.SetStoreReference(12);
  dialog.SetOrderDocument(kOrder);
  QString response, details, amount;
  bool redeemEnabled = false;
  QTimer::singleShot(0, [&] {
    Find<QLineEdit>(dialog, "txtVoucherCode")->setText("SAVE15");
    Find<QLineEdit>(dialog, "txtUserReference")->setText("0612345678");
    Find<QPushButton>(dialog, "btnCheck")->click();
    response = Find<QLabel>(dialog, "lblResponse")->text();
    details = Find<QLabel>(dialog, "lblDetails")->text();
    amount = Find<QLabel>(dialog, "lblAmount")->text();
    redeemEnabled = Find<QPushButton>(dialog, "btnRedeem")->isEnabled();
    if (redeemEnabled)
      Find<QPushButton>(dialog, "btnRedeem")->click();
    else
      dialog.close();
  });
  const bool redeemed = dialog.ShowVoucherDialog();
  EXPECT_EQ(response, "Voucher Successful");
  EXPECT_EQ(details, "15% off your order");
  EXPECT_EQ(amount, "22.50");
  EXPECT_TRUE(redeemEnabled);
  ASSERT_TRUE(redeemed);
  const TJSONValue answer = ParseJSONDocument(dialog.RedeemResponseText());
  EXPECT_TRUE(answer.Get("Success").ToBoolean()) << dialog.RedeemResponseText();
  EXPECT_FALSE(answer.Get("VoucherReference").ToText().empty());
}

TEST_F(SandboxDialog, UnknownVoucherIsRefusedAndTheCloseBoxReturnsFalse) {
  TfrmDovraPayment dialog;
  dialog.SetStoreReference(12);
  dialog.SetOrderDocument(kOrder);
  QString response, details;
  bool redeemEnabled = true;
  QTimer::singleShot(0, [&] {
    Find<QLineEdit>(dialog, "txtVoucherCode")->setText("NO-SUCH-CODE");
    Find<QPushButton>(dialog, "btnCheck")->click();
    response = Find<QLabel>(dialog, "lblResponse")->text();
    details = Find<QLabel>(dialog, "lblDetails")->text();
    redeemEnabled = Find<QPushButton>(dialog, "btnRedeem")->isEnabled();
    dialog.close();
  });
  EXPECT_FALSE(dialog.ShowVoucherDialog());
  EXPECT_EQ(response, "Voucher Error");
  EXPECT_FALSE(details.isEmpty());
  EXPECT_FALSE(redeemEnabled);
  EXPECT_TRUE(dialog.RedeemResponseText().empty());
}

}  // namespace
