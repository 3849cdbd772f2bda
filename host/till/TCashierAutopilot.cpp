#include "host/till/TCashierAutopilot.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <ostream>

namespace {

// One report line per action, whatever the service or the module put into a text.
std::string OneLine(const QString& text) {
  std::string line = text.toStdString();
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return line;
}

std::string Quoted(const QString& text) { return "\"" + OneLine(text) + "\""; }

// The customer's mobile number as a receipt or a log may show it: its last three characters,
// one "*" for each of the others; a number of three or fewer is masked whole.
std::string MaskedMobile(const std::string& number) {
  std::vector<std::string> characters;
  for (size_t i = 0; i < number.size(); ++i) {
    if ((static_cast<unsigned char>(number[i]) & 0xC0) != 0x80 || characters.empty())
      characters.emplace_back();
    characters.back() += number[i];
  }
  const size_t shown = characters.size() > 3 ? 3 : 0;
  std::string masked(characters.size() - shown, '*');
  for (size_t i = characters.size() - shown; i < characters.size(); ++i) masked += characters[i];
  return masked;
}

QWidget* VisibleMessageBox() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->isVisible() && qobject_cast<QMessageBox*>(widget)) return widget;
  return nullptr;
}

// The voucher dialog is known by its controls, not by its class: the till never links the
// module's code.
QWidget* FindVoucherDialog() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (!widget->isVisible() || qobject_cast<QMessageBox*>(widget)) continue;
    if (widget->findChild<QLineEdit*>("txtVoucherCode") &&
        widget->findChild<QLineEdit*>("txtUserReference") &&
        widget->findChild<QAbstractButton*>("btnCheck") &&
        widget->findChild<QAbstractButton*>("btnRedeem"))
      return widget;
  }
  return nullptr;
}

}  // namespace

TCashierAutopilot::TCashierAutopilot(TCashierScript script, std::ostream& report)
    : FScript(std::move(script)), FOut(report) {
  FTimer.setInterval(FScript.PollMs);
  QObject::connect(&FTimer, &QTimer::timeout, &FTimer, [this] { Tick(); });
}

TCashierAutopilot::~TCashierAutopilot() { Disarm(); }

void TCashierAutopilot::Arm() {
  FDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FScript.GiveUpMs);
  FStep = TStep::FindDialog;
  FArmed = true;
  FTimer.start();
}

void TCashierAutopilot::Disarm() {
  if (!FArmed) return;
  FArmed = false;
  FTimer.stop();
  if (FDialog) QObject::disconnect(FDialog, nullptr, &FTimer, nullptr);
  if (!FOutcome.DialogSeen) Report("the voucher dialog did not appear");
}

void TCashierAutopilot::Report(const std::string& text) {
  FActions.push_back(text);
  FOut << "cashier: " << text << std::endl;
}

QWidget* TCashierAutopilot::Control(const char* name) const {
  return FDialog ? FDialog->findChild<QWidget*>(name) : nullptr;
}

void TCashierAutopilot::Tick() {
  if (FStep == TStep::Done) return;
  // A box on screen is answered first, whatever else is going on: it is what holds the dialog.
  if (QWidget* box = VisibleMessageBox()) {
    CloseMessageBox(box);
    return;
  }
  if (!FOutcome.GaveUp && std::chrono::steady_clock::now() >= FDeadline) {
    FOutcome.GaveUp = true;
    const int ms = FScript.GiveUpMs;
    Report("gave up after " +
           (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"));
  }
  if (FStep == TStep::FindDialog) {
    FDialog = FindVoucherDialog();
    if (!FDialog) {
      if (FOutcome.GaveUp) Finish();
      return;
    }
    FOutcome.DialogSeen = true;
    Report("found the voucher dialog " + Quoted(FDialog->windowTitle()));
    if (auto* dialog = qobject_cast<QDialog*>(FDialog.data()))
      QObject::connect(dialog, &QDialog::finished, &FTimer, [this](int result) {
        Report(result == QDialog::Accepted ? "the dialog closed with OK"
                                           : "the dialog closed without a payment");
      });
    FStep = TStep::TypeVoucher;
  }
  if (!FDialog || !FDialog->isVisible()) {
    Finish();
    return;
  }
  if (FOutcome.GaveUp) {
    CloseDialog();
    return;
  }
  // The handler of a pressed button is still running: this tick comes from a loop nested in it.
  if (FClickRunning) return;
  Step();
}

void TCashierAutopilot::Step() {
  switch (FStep) {
    case TStep::TypeVoucher:
      if (auto* box = qobject_cast<QLineEdit*>(Control("txtVoucherCode")))
        box->setText(QString::fromStdString(FScript.VoucherCode));
      Report("typed voucher " + FScript.VoucherCode);
      FStep = TStep::TypeMobile;
      break;
    case TStep::TypeMobile:
      if (auto* box = qobject_cast<QLineEdit*>(Control("txtUserReference")))
        box->setText(QString::fromStdString(FScript.UserReference));
      Report("typed mobile " + MaskedMobile(FScript.UserReference));
      FStep = TStep::PressCheck;
      break;
    case TStep::PressCheck:
      FOutcome.CheckPressed = true;
      Press(qobject_cast<QAbstractButton*>(Control("btnCheck")), "Check", TStep::AwaitCheck);
      break;
    case TStep::AwaitCheck: {
      ReportAnswer();
      auto* redeem = qobject_cast<QAbstractButton*>(Control("btnRedeem"));
      if (FBoxDuringClick || !FScript.Redeem || !redeem || !redeem->isEnabled()) {
        CloseDialog();
        break;
      }
      FOutcome.RedeemPressed = true;
      Press(redeem, "Redeem", TStep::AwaitRedeem);
      break;
    }
    case TStep::AwaitRedeem: {
      // Still open after Redeem: the redemption did not go through.
      ReportAnswer();
      auto* redeem = qobject_cast<QAbstractButton*>(Control("btnRedeem"));
      if (!FBoxDuringClick && ++FRedeemPresses < FScript.RedeemPresses && redeem &&
          redeem->isEnabled()) {
        Press(redeem, "Redeem", TStep::AwaitRedeem);
        break;
      }
      CloseDialog();
      break;
    }
    case TStep::FindDialog:
    case TStep::Done:
      break;
  }
}

void TCashierAutopilot::Press(QAbstractButton* button, const char* caption, TStep next) {
  Report(std::string("pressed ") + caption);
  FStep = next;
  if (!button) return;
  FClickRunning = true;
  FBoxDuringClick = false;
  // Queued, so that the handler runs from the dialog's loop and not inside this timer's slot.
  const QPointer<QAbstractButton> target(button);
  QMetaObject::invokeMethod(
      &FTimer,
      [this, target] {
        if (target) target->click();
        FClickRunning = false;
      },
      Qt::QueuedConnection);
}

void TCashierAutopilot::CloseMessageBox(QWidget* widget) {
  auto* box = static_cast<QMessageBox*>(widget);
  ++FOutcome.MessageBoxesClosed;
  if (FClickRunning) FBoxDuringClick = true;
  Report("closed message box " + Quoted(box->text()));
  QAbstractButton* button = box->button(QMessageBox::Ok);
  if (!button) button = box->defaultButton();
  if (!button && !box->buttons().isEmpty()) button = box->buttons().first();
  if (button)
    button->click();
  else
    box->close();
}

void TCashierAutopilot::ReportAnswer() {
  QWidget* panel = Control("pnlVoucher");
  if (!panel || !panel->isVisible()) {
    Report("the dialog shows no answer");
    return;
  }
  std::string text = "the dialog shows";
  for (const char* name : {"lblResponse", "lblDetails", "lblAmount"})
    if (auto* label = qobject_cast<QLabel*>(Control(name))) text += " " + Quoted(label->text());
  Report(text);
}

void TCashierAutopilot::CloseDialog() {
  Report("closed the dialog by its close box");
  FOutcome.ClosedByCloseBox = true;
  // close() is what the window manager's close box does: a close event, which rejects.
  if (FDialog) FDialog->close();
  Finish();
}

void TCashierAutopilot::Finish() {
  FStep = TStep::Done;
  FTimer.stop();
}
