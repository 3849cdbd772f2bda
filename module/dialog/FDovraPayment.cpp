#include "module/dialog/FDovraPayment.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <stdexcept>

#include "module/dialog/DovraLogo.h"
#include "module/dialog/clsButtonProgress.h"
#include "module/log/modLog.h"
#include "ui_FDovraPayment.h"

// The real widgets behind the controls the logic uses. Every widget is watched, so a handler that
// outlives its dialog writes into nothing instead of into freed memory.
class TVoucherDialogWidgets final : public TVoucherDialogControls {
 public:
  explicit TVoucherDialogWidgets(Ui::frmDovraPayment& ui)
      : FVoucherCode(ui.txtVoucherCode),
        FUserReference(ui.txtUserReference),
        FResponse(ui.lblResponse),
        FDetails(ui.lblDetails),
        FAmount(ui.lblAmount),
        FVoucherPanel(ui.pnlVoucher),
        FCheck(ui.btnCheck),
        FRedeem(ui.btnRedeem),
        FMemo(ui.Memo1) {}

  std::string VoucherCodeText() override {
    return FVoucherCode ? FVoucherCode->text().toStdString() : std::string();
  }
  std::string UserReferenceText() override {
    return FUserReference ? FUserReference->text().toStdString() : std::string();
  }
  void SetResponseText(const std::string& text) override { SetAutoSized(FResponse, text); }
  void SetDetailsText(const std::string& text) override {
    if (FDetails) FDetails->setText(QString::fromStdString(text));
  }
  void SetAmountText(const std::string& text) override { SetAutoSized(FAmount, text); }
  void ShowVoucherPanel() override {
    if (FVoucherPanel) FVoucherPanel->setVisible(true);
  }
  void SetButtonEnabled(TDialogButton button, bool enabled) override {
    if (QPushButton* b = Button(button)) b->setEnabled(enabled);
  }
  TIntfPtr<IButtonProgress> BeginProgress(TDialogButton button, const std::string& text) override {
    return CreateButtonProgress(Button(button), text);
  }
  void AppendMemoLine(const std::string& line) override {
    if (FMemo) FMemo->appendPlainText(QString::fromStdString(line));
  }
  void SetModalResult(TModalResult result) override { FModalResult = result; }

  TModalResult TakeModalResult() { return std::exchange(FModalResult, TModalResult::None); }

 private:
  // Labels that size themselves to their text, as the title and the short result labels do.
  static void SetAutoSized(QLabel* label, const std::string& text) {
    if (!label) return;
    label->setText(QString::fromStdString(text));
    label->adjustSize();
  }
  QPushButton* Button(TDialogButton button) const {
    return button == TDialogButton::Check ? FCheck.data() : FRedeem.data();
  }

  QPointer<QLineEdit> FVoucherCode;
  QPointer<QLineEdit> FUserReference;
  QPointer<QLabel> FResponse;
  QPointer<QLabel> FDetails;
  QPointer<QLabel> FAmount;
  QPointer<QWidget> FVoucherPanel;
  QPointer<QPushButton> FCheck;
  QPointer<QPushButton> FRedeem;
  QPointer<QPlainTextEdit> FMemo;
  TModalResult FModalResult = TModalResult::None;
};

namespace {

constexpr int kTopPanelHeight = 73;
constexpr int kInputPanelHeight = 96;
constexpr int kMemoHeight = 113;

// Passes the parent through once it is known that the host's QApplication runs; a widget made
// without one would end the whole till.
QWidget* RequireRunningApplication(QWidget* parent) {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
    throw std::runtime_error(
        "The voucher dialog needs the host's running QApplication, and there is none");
  return parent;
}

}  // namespace

TfrmDovraPayment::TfrmDovraPayment(QWidget* parent)
    : QDialog(RequireRunningApplication(parent)),
      FLogic(std::make_shared<TDovraPaymentLogic>()),
      ui(std::make_unique<Ui::frmDovraPayment>()) {
  ui->setupUi(this);
  UseTahomaOrANarrowFallback();
  FControls = std::make_shared<TVoucherDialogWidgets>(*ui);

  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  QPalette white = ui->pnlTop->palette();
  white.setColor(QPalette::Window, Qt::white);
  ui->pnlTop->setPalette(white);
  ui->pnlTop->setAutoFillBackground(true);
  ShowLogo();
  ui->lblTitle->adjustSize();

  connect(ui->btnCheck, &QPushButton::clicked, this, [this] { btnCheckClick(ui->btnCheck); });
  connect(ui->btnRedeem, &QPushButton::clicked, this, [this] { btnRedeemClick(ui->btnRedeem); });
  LayoutPanels();
}

TfrmDovraPayment::~TfrmDovraPayment() = default;

// The fixed places of the texts were measured in Tahoma. Tills without it would otherwise get a
// wide sans face whose texts overrun those places; a condensed face comes closest. Set per
// widget, so the host's own fonts are left alone.
void TfrmDovraPayment::UseTahomaOrANarrowFallback() {
  static const QStringList kFaces{"Tahoma", "DejaVu Sans Condensed", "Liberation Sans Narrow"};
  QList<QWidget*> widgets = findChildren<QWidget*>();
  widgets.prepend(this);
  for (QWidget* widget : widgets) {
    if (!widget->testAttribute(Qt::WA_SetFont) || widget->font().family() != "Tahoma") continue;
    QFont font = widget->font();
    font.setFamilies(kFaces);
    widget->setFont(font);
  }
}

void TfrmDovraPayment::ShowLogo() {
  try {
    const TDecodedJpeg logo = DecodeJpeg(DovraLogoJpeg());
    const QImage image(logo.Pixels.data(), logo.Width, logo.Height, logo.Width * 3,
                       QImage::Format_RGB888);
    // The image borrows the decoded pixels; the pixmap takes its own copy.
    ui->imgLogo->setPixmap(QPixmap::fromImage(image));
    ui->imgLogo->resize(logo.Width, logo.Height);
  } catch (const std::exception& e) {
    // A missing picture must not stop a payment.
    ModLog::Info("[TfrmDovraPayment.ShowLogo] Error : %", std::string(e.what()));
  }
}

void TfrmDovraPayment::PrepareRequest() { FLogic->PrepareRequest(); }

bool TfrmDovraPayment::ShowVoucherDialog() {
  PrepareRequest();
  CentreOnMainWindow();
  QPointer<TfrmDovraPayment> self(this);
  const int result = exec();
  return self && result == QDialog::Accepted;
}

void TfrmDovraPayment::CentreOnMainWindow() {
  QWidget* anchor = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget != this && widget->isVisible() && qobject_cast<QMainWindow*>(widget)) {
      anchor = widget;
      break;
    }
  }
  QRect area;
  if (anchor) {
    area = anchor->frameGeometry();
  } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
    area = screen->availableGeometry();
  }
  if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
}

void TfrmDovraPayment::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  LayoutPanels();
}

// The two top panels keep their heights across the width; the memo, when shown, takes the
// bottom; the voucher panel fills what is left.
void TfrmDovraPayment::LayoutPanels() {
  const int w = width();
  const int h = height();
  ui->pnlTop->setGeometry(0, 0, w, kTopPanelHeight);
  ui->pnlInput->setGeometry(0, kTopPanelHeight, w, kInputPanelHeight);
  int bottom = h;
  if (!ui->Memo1->isHidden()) {
    bottom -= kMemoHeight;
    ui->Memo1->setGeometry(0, bottom, w, kMemoHeight);
  }
  const int top = kTopPanelHeight + kInputPanelHeight;
  ui->pnlVoucher->setGeometry(0, top, w, std::max(0, bottom - top));
}

// The dialog has no cancel button, so Escape must not end it the way one would; only the close
// box cancels. (Enter finds no default button and does nothing either.)
void TfrmDovraPayment::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

template <class Handler>
void TfrmDovraPayment::RunClickHandler(const char* name, Handler handler) {
  const QPointer<TfrmDovraPayment> self(this);
  const std::shared_ptr<TDovraPaymentLogic> logic = FLogic;
  const std::shared_ptr<TVoucherDialogWidgets> controls = FControls;
  std::optional<std::string> error;
  try {
    handler(*logic, *controls);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "unknown error";
  }
  if (error) {
    ModLog::Info((std::string("[TfrmDovraPayment.") + name + "] Error : %").c_str(), *error);
    if (self) {
      QMessageBox box(QMessageBox::Critical, windowTitle(), QString::fromStdString(*error),
                      QMessageBox::Ok, this);
      box.setObjectName("msgDovraPaymentError");
      box.exec();
    }
  }
  if (controls->TakeModalResult() == TModalResult::OK && self) accept();
}

void TfrmDovraPayment::btnCheckClick(QObject*) {
  RunClickHandler("btnCheckClick", [](TDovraPaymentLogic& logic, TVoucherDialogControls& c) {
    logic.btnCheckClick(c);
  });
}

void TfrmDovraPayment::btnRedeemClick(QObject*) {
  RunClickHandler("btnRedeemClick", [](TDovraPaymentLogic& logic, TVoucherDialogControls& c) {
    logic.btnRedeemClick(c);
  });
}

bool RunVoucherDialog(int32_t storeReference, const std::string& orderDocument,
                      std::string& redeemResponseText, QWidget* parent) {
  TfrmDovraPayment dialog(parent);
  dialog.SetStoreReference(storeReference);
  dialog.SetOrderDocument(orderDocument);
  if (!dialog.ShowVoucherDialog()) return false;
  redeemResponseText = dialog.RedeemResponseText();
  return true;
}

bool RunVoucherDialog(int32_t storeReference, const std::string& orderDocument,
                      std::string& redeemResponseText) {
  return RunVoucherDialog(storeReference, orderDocument, redeemResponseText, nullptr);
}
