// A cashier at the till, for runs without a person: works the module's voucher dialog by the
// object names of its controls (txtVoucherCode, txtUserReference, btnCheck, btnRedeem), as a
// person would with keyboard and mouse, and says what it does.
//
// The dialog is modal and its click handlers block on the voucher service, so the autopilot
// cannot drive it from outside: it polls with a timer that fires inside the dialog's own modal
// loop, and inside the nested loop of any message box a handler opens. Buttons are pressed
// through queued calls, never from within the timer's own slot, because Qt does not fire a timer
// again while its slot is still running.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

class QAbstractButton;

struct TCashierScript {
  std::string VoucherCode;    // typed into txtVoucherCode as it stands
  std::string UserReference;  // the customer's mobile number, typed into txtUserReference
  bool Redeem = true;         // false: after the check, close the dialog by its close box
  int GiveUpMs = 60000;       // after this, whatever is open is closed
  int PollMs = 10;
  int RedeemPresses = 1;  // Redeem is pressed again while the dialog stays open, up to this
};

// What the cashier did, for the caller and for tests.
struct TCashierOutcome {
  bool DialogSeen = false;
  bool CheckPressed = false;
  bool RedeemPressed = false;
  int MessageBoxesClosed = 0;
  bool ClosedByCloseBox = false;
  bool GaveUp = false;
};

class TCashierAutopilot {
 public:
  // Reports go to report, one line each, "cashier: ..." (flushed at once, so a till that dies
  // later still shows how far the cashier got).
  TCashierAutopilot(TCashierScript script, std::ostream& report);
  ~TCashierAutopilot();
  TCashierAutopilot(const TCashierAutopilot&) = delete;
  TCashierAutopilot& operator=(const TCashierAutopilot&) = delete;

  // Starts watching for the dialog; call before the modal call that shows it.
  void Arm();
  // Stops watching. Says so when no dialog ever appeared. Safe to call twice.
  void Disarm();

  const TCashierOutcome& Outcome() const { return FOutcome; }
  // Every reported line, without the "cashier: " lead.
  const std::vector<std::string>& Actions() const { return FActions; }

 private:
  enum class TStep {
    FindDialog,
    TypeVoucher,
    TypeMobile,
    PressCheck,
    AwaitCheck,
    AwaitRedeem,
    Done
  };

  void Tick();
  void Step();
  void Report(const std::string& text);
  void Press(QAbstractButton* button, const char* caption, TStep next);
  void CloseMessageBox(QWidget* box);
  void CloseDialog();
  void ReportAnswer();
  void Finish();
  QWidget* Control(const char* name) const;

  TCashierScript FScript;
  std::ostream& FOut;
  QTimer FTimer;
  std::chrono::steady_clock::time_point FDeadline;
  TStep FStep = TStep::FindDialog;
  QPointer<QWidget> FDialog;
  bool FArmed = false;
  bool FClickRunning = false;  // a pressed button's handler has not returned yet
  bool FBoxDuringClick = false;
  int FRedeemPresses = 0;  // Redeem presses answered so far
  TCashierOutcome FOutcome;
  std::vector<std::string> FActions;
};
