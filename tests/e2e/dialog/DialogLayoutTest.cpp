// The real voucher dialog on the offscreen platform: its controls as the cashier gets them
// (names, kinds, places, fonts, focus order), and its behaviour as a window (modal result, the
// close box, errors in a click handler, destruction while a handler runs).
#include <gtest/gtest.h>
#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "lib/voucher/DovraMessages.h"
#include "module/dialog/FDovraPayment.h"
#include "module/log/modLog.h"
#include "tests/support/DialogTestSupport.h"
#include "tests/support/DialogWatchdog.h"

namespace {

const char* const kOrder =
    R"({"AfterDisc":80,"LineItems":[{"Code":"A1","Quantity":2,"Price":40}]})";
const char* const kValidAnswer = R"({"Success":true,"DisplayName":"Ten off","DiscountAmount":10})";
const char* const kRedeemedAnswer =
    R"({"Success":true,"DiscountAmount":10,"VoucherReference":"R-1","VoucherCode":"V1"})";

template <class T>
T* Find(QWidget& dialog, const char* name) {
  T* widget = dialog.findChild<T*>(name);
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

struct TControlRow {
  const char* Name;
  const char* Kind;
  const char* Parent;
  QRect Geometry;
  const char* Text;  // nullptr: none
};

// Fixed-size controls: exact geometry. Labels that size themselves keep their place.
const TControlRow kControls[] = {
    {"pnlTop", "QFrame", "frmDovraPayment", {0, 0, 479, 73}, nullptr},
    {"imgLogo", "QLabel", "pnlTop", {0, 0, 170, 72}, nullptr},
    {"pnlInput", "QFrame", "frmDovraPayment", {0, 73, 479, 96}, nullptr},
    {"Label1", "QLabel", "pnlInput", {8, 16, 131, 25}, "Voucher Code"},
    {"Label2", "QLabel", "pnlInput", {8, 56, 142, 25}, "Mobile Number"},
    {"txtVoucherCode", "QLineEdit", "pnlInput", {164, 13, 121, 33}, ""},
    {"txtUserReference", "QLineEdit", "pnlInput", {164, 53, 121, 33}, ""},
    {"btnCheck", "QPushButton", "pnlInput", {344, 16, 121, 57}, "Check"},
    {"Label3", "QLabel", "pnlVoucher", {8, 8, 95, 25}, "Response:"},
    {"Label4", "QLabel", "pnlVoucher", {8, 40, 69, 25}, "Details:"},
    {"lblDetails", "QLabel", "pnlVoucher", {112, 41, 353, 48}, "-"},
    {"Label5", "QLabel", "pnlVoucher", {8, 112, 80, 25}, "Amount:"},
    {"btnRedeem", "QPushButton", "pnlVoucher", {328, 88, 137, 57}, "Redeem"},
};

const struct {
  const char* Name;
  QPoint Position;
  const char* Text;
} kAutoSized[] = {{"lblTitle", {224, 16}, "Voucher Payment"},
                  {"lblResponse", {112, 9}, "-"},
                  {"lblAmount", {112, 113}, "-"}};

QString TextOf(QWidget* w) {
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
  if (auto* button = qobject_cast<QPushButton*>(w)) return button->text();
  return {};
}

class DialogWindow : public ::testing::Test {
 protected:
  DialogWindow() : FRegistry(Service) {
    Dialog->SetStoreReference(3);
    Dialog->SetOrderDocument(kOrder);
  }
  QPushButton* Button(const char* name) { return Find<QPushButton>(*Dialog, name); }
  QLineEdit* Edit(const char* name) { return Find<QLineEdit>(*Dialog, name); }
  QString Label(const char* name) { return Find<QLabel>(*Dialog, name)->text(); }

  TFakeVoucherService Service;
  TScopedTestRegistry FRegistry;
  TScopedEnv FMoneyLocale{"LC_ALL", "C"};
  std::unique_ptr<TfrmDovraPayment> Dialog = std::make_unique<TfrmDovraPayment>();
  TDialogWatchdog FWatchdog;
};

TEST_F(DialogWindow, ControlsMatchTheLayout) {
  Dialog->show();
  QApplication::processEvents();
  EXPECT_EQ(Dialog->windowTitle(), "Dovra Voucher Payment");
  EXPECT_EQ(Dialog->size(), QSize(479, 456));
  EXPECT_EQ(Dialog->objectName(), "frmDovraPayment");
  EXPECT_EQ(Dialog->font().family(), "Tahoma");
  EXPECT_EQ(Dialog->font().pointSize(), 8);

  for (const TControlRow& row : kControls) {
    SCOPED_TRACE(row.Name);
    QWidget* w = Find<QWidget>(*Dialog, row.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->inherits(row.Kind)) << w->metaObject()->className();
    EXPECT_EQ(w->parentWidget()->objectName(), row.Parent);
    EXPECT_EQ(w->geometry(), row.Geometry);
    if (row.Text) {
      EXPECT_EQ(TextOf(w), row.Text);
      EXPECT_EQ(w->font().family(), "Tahoma");
      EXPECT_EQ(w->font().pointSize(), 16);
    }
  }
  for (const auto& row : kAutoSized) {
    SCOPED_TRACE(row.Name);
    auto* label = Find<QLabel>(*Dialog, row.Name);
    EXPECT_EQ(label->pos(), row.Position);
    EXPECT_EQ(label->text(), row.Text);
    EXPECT_EQ(label->font().pointSize(), 16);
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
  }
  EXPECT_TRUE(Find<QLabel>(*Dialog, "lblDetails")->wordWrap());
  // The service's texts land in these: never read as markup.
  for (const char* name : {"lblResponse", "lblDetails", "lblAmount"})
    EXPECT_EQ(Find<QLabel>(*Dialog, name)->textFormat(), Qt::PlainText) << name;

  // Panels and memo keep the window's font; memo and voucher panel start hidden.
  auto* memo = Find<QPlainTextEdit>(*Dialog, "Memo1");
  EXPECT_EQ(memo->toPlainText(), "Memo1");
  EXPECT_EQ(memo->font().pointSize(), 8);
  EXPECT_FALSE(memo->isVisible());
  EXPECT_EQ(Find<QFrame>(*Dialog, "pnlInput")->font().pointSize(), 8);
  EXPECT_FALSE(Find<QWidget>(*Dialog, "pnlVoucher")->isVisible());
  // The logo shows at its natural size.
  auto* logo = Find<QLabel>(*Dialog, "imgLogo");
  EXPECT_EQ(logo->pixmap().size(), QSize(170, 72));
  // No default button: Enter must not fire a voucher call.
  EXPECT_FALSE(Button("btnCheck")->isDefault() || Button("btnCheck")->autoDefault());
  EXPECT_FALSE(Button("btnRedeem")->isDefault() || Button("btnRedeem")->autoDefault());
}

TEST_F(DialogWindow, PanelsFollowTheWindowAndTheVoucherPanelFillsTheRest) {
  Service.EvaluateScript.push_back({true, kValidAnswer});
  Dialog->show();
  Dialog->Logic().PrepareRequest();
  Button("btnCheck")->click();
  QWidget* panel = Find<QWidget>(*Dialog, "pnlVoucher");
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(panel->geometry(), QRect(0, 169, 479, 456 - 169));
  // The short result labels grow with their new texts.
  for (const char* name : {"lblResponse", "lblAmount"}) {
    auto* label = Find<QLabel>(*Dialog, name);
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << name;
  }

  Dialog->resize(600, 500);
  QApplication::processEvents();
  EXPECT_EQ(Find<QWidget>(*Dialog, "pnlTop")->geometry(), QRect(0, 0, 600, 73));
  EXPECT_EQ(Find<QWidget>(*Dialog, "pnlInput")->geometry(), QRect(0, 73, 600, 96));
  EXPECT_EQ(panel->geometry(), QRect(0, 169, 600, 500 - 169));
}

TEST_F(DialogWindow, TabOrderRunsThroughTheInputsThenRedeem) {
  Service.EvaluateScript.push_back({true, kValidAnswer});
  Dialog->show();
  QApplication::setActiveWindow(Dialog.get());
  Dialog->Logic().PrepareRequest();
  Button("btnCheck")->click();  // shows the voucher panel, so Redeem joins the chain

  Edit("txtVoucherCode")->setFocus();
  QStringList order{QApplication::focusWidget()->objectName()};
  for (int i = 0; i < 4; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    order << QApplication::focusWidget()->objectName();
  }
  EXPECT_EQ(order.join(","), "txtVoucherCode,txtUserReference,btnCheck,btnRedeem,txtVoucherCode");
}

TEST_F(DialogWindow, CheckThenRedeemClosesWithOK) {
  Service.EvaluateScript.push_back({true, kValidAnswer});
  Service.RedeemScript.push_back({true, kRedeemedAnswer});
  QString shownResponse, shownAmount;
  // What the real buttons show while each call blocks.
  QStringList busy;
  Service.DuringCall = [&] {
    for (const char* name : {"btnCheck", "btnRedeem"}) {
      QPushButton* b = Button(name);
      if (!b->isEnabled())
        busy << QString("%1:%2:%3").arg(name, b->text()).arg(b->findChild<QProgressBar*>() ? 1 : 0);
    }
  };
  QTimer::singleShot(0, [&] {
    Edit("txtVoucherCode")->setText("V1");
    Edit("txtUserReference")->setText("0612");
    Button("btnCheck")->click();
    shownResponse = Label("lblResponse");
    shownAmount = Label("lblAmount");
    Button("btnRedeem")->click();
  });
  EXPECT_TRUE(Dialog->ShowVoucherDialog());
  EXPECT_EQ(shownResponse, "Voucher Successful");
  EXPECT_EQ(shownAmount, "10.00");
  EXPECT_EQ(Dialog->RedeemResponseText(), kRedeemedAnswer);
  // Every answer is kept in the hidden memo, one line each.
  EXPECT_EQ(Find<QPlainTextEdit>(*Dialog, "Memo1")->toPlainText().toStdString(),
            std::string("Memo1\n") + kValidAnswer + "\n" + kRedeemedAnswer);
  EXPECT_EQ(busy.join(","), "btnCheck:Checking...:1,btnRedeem:Redeem:0,btnRedeem:Redeeming...:1");
  EXPECT_NE(Service.EvaluateRequests.at(0).find(R"("VoucherCode":"V1")"), std::string::npos);
}

TEST_F(DialogWindow, CloseBoxAndRefusedRedeemReturnFalse) {
  Service.EvaluateScript.push_back({true, kValidAnswer});
  Service.RedeemScript.push_back({true, R"({"Success":false,"ErrorMessage":"Used"})"});
  QTimer::singleShot(0, [&] {
    Button("btnCheck")->click();
    Button("btnRedeem")->click();
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_EQ(Label("lblResponse"), "Could not redeem Voucher");
    EXPECT_TRUE(Button("btnRedeem")->isEnabled());
    Dialog->close();
  });
  EXPECT_FALSE(Dialog->ShowVoucherDialog());
}

// What the cashier reads after a lost redeem answer fits the details area as laid out, in the
// font the dialog really gets.
TEST_F(DialogWindow, LostRedeemAnswerTextsWrapInsideTheDetailsArea) {
  Dialog->Logic().SetClock([] { return 46365.5; });  // 2026-12-09T12:00:00
  Service.EvaluateScript = {{true, kValidAnswer}};
  Service.RedeemScript = {{false, std::nullopt}, {false, std::nullopt}};
  Service.ReverseConfirms = true;
  QStringList shown;
  QTimer::singleShot(0, [&] {
    Edit("txtVoucherCode")->setText("V1");
    Button("btnCheck")->click();
    // Redeem sends the check's request unchanged: its redemption carries that body's digest.
    const std::string own =
        R"({"VoucherReference":"DVR-1","StoreReference":3,"OrderDate":"2026-12-09T12:00:00",)"
        R"("DiscountAmount":10,"RedeemedOn":"2026-12-09T11:00:00.000Z","RequestDigest":")" +
        RequestDigest(Service.EvaluateRequests.at(0)) + "\"}";
    Service.StatusScript = {
        {true, R"({"Success":true,"VoucherCode":"V1","LiveRedemptions":[)" + own + "]}"},
        {true, R"({"Success":true,"VoucherCode":"V1","LiveRedemptions":[]})"}};
    QLabel* details = Find<QLabel>(*Dialog, "lblDetails");
    for (int press = 0; press < 2; ++press) {
      Button("btnRedeem")->click();
      shown << details->text();
      EXPECT_LE(details->heightForWidth(details->width()), details->height())
          << details->text().toStdString() << " in " << details->font().family().toStdString();
    }
    Dialog->close();
  });
  EXPECT_FALSE(Dialog->ShowVoucherDialog());
  EXPECT_EQ(shown.join("|").toStdString(),
            "Answer lost; voucher given back. Press Redeem again.|"
            "Answer lost; voucher not used. Press Redeem again.");
}

TEST_F(DialogWindow, NeitherEscapeNorEnterEndsTheDialogOrCallsTheService) {
  bool openAfterKeys = false;
  QTimer::singleShot(0, [&] {
    Edit("txtVoucherCode")->setFocus();
    QTest::keyClick(Edit("txtVoucherCode"), Qt::Key_Return);
    QTest::keyClick(Edit("txtVoucherCode"), Qt::Key_Escape);
    QTest::keyClick(Dialog.get(), Qt::Key_Escape);
    openAfterKeys = Dialog->isVisible();
    Dialog->close();
  });
  EXPECT_FALSE(Dialog->ShowVoucherDialog());
  EXPECT_TRUE(openAfterKeys);
  EXPECT_TRUE(Service.EvaluateRequests.empty());
}

TEST_F(DialogWindow, CentresOnTheMainWindow) {
  QMainWindow main;
  main.setGeometry(100, 80, 900, 700);
  main.show();
  QPoint centre;
  QTimer::singleShot(0, [&] {
    centre = Dialog->geometry().center();
    Dialog->close();
  });
  Dialog->ShowVoucherDialog();
  EXPECT_LE((centre - main.frameGeometry().center()).manhattanLength(), 4);
}

TEST_F(DialogWindow, HandlerErrorIsShownAndTheDialogStaysUsable) {
  Service.EvaluateScript.push_back({true, R"({"DisplayName":"no success member"})"});
  Dialog->show();
  Dialog->Logic().PrepareRequest();
  QString boxText;
  // The message box is modal: read and close it from inside its own loop.
  QTimer::singleShot(0, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxText = box->text();
      box->accept();
    }
  });
  QTemporaryDir logFolder;
  ASSERT_TRUE(logFolder.isValid());
  ModLog::StartModuleLog((logFolder.path() + "/DovraVoucherPayment.smd").toStdString());
  Button("btnCheck")->click();
  ModLog::FinishModuleLog();
  EXPECT_TRUE(boxText.contains("Could not convert")) << boxText.toStdString();
  // The same error went to the module log, under the handler's name.
  QString logged;
  QDirIterator files(logFolder.path(), {"*.log"}, QDir::Files, QDirIterator::Subdirectories);
  while (files.hasNext()) {
    QFile file(files.next());
    if (file.open(QIODevice::ReadOnly)) logged += QString::fromUtf8(file.readAll());
  }
  EXPECT_TRUE(logged.contains("[TfrmDovraPayment.btnCheckClick] Error : Could not convert"))
      << logged.toStdString();
  EXPECT_TRUE(Dialog->isVisible());
  EXPECT_EQ(Button("btnCheck")->text(), "Check");
  EXPECT_TRUE(Button("btnCheck")->isEnabled());
  EXPECT_FALSE(Button("btnRedeem")->isEnabled());
}

TEST_F(DialogWindow, BadOrderFailsBeforeTheDialogShows) {
  Dialog->SetOrderDocument("not an order");
  EXPECT_THROW(Dialog->ShowVoucherDialog(), std::runtime_error);
  EXPECT_FALSE(Dialog->isVisible());
}

TEST_F(DialogWindow, DialogDestroyedDuringACallLeavesTheHandlerHarmless) {
  Service.EvaluateScript.push_back({true, kValidAnswer});
  Dialog->show();
  Dialog->Logic().PrepareRequest();
  TfrmDovraPayment* raw = Dialog.get();
  Service.DuringCall = [&] { Dialog.reset(); };
  raw->btnCheckClick(nullptr);
  EXPECT_EQ(Dialog, nullptr);
  EXPECT_EQ(Service.Created, Service.Destroyed);
}

}  // namespace
