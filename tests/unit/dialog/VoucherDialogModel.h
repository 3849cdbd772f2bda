// The voucher dialog's controls as plain values, for driving the dialog logic without widgets.
#pragma once

#include <string>
#include <vector>

#include "module/dialog/clsVoucherDialogControls.h"

struct TButtonState {
  std::string Text;
  bool Enabled = true;
};

// Everything the cashier would see, as plain values; starts as the dialog's entry state.
struct TVoucherDialogState {
  std::string VoucherCode;
  std::string UserReference;
  std::string Response = "-";
  std::string Details = "-";
  std::string Amount = "-";
  bool VoucherPanelVisible = false;
  TButtonState Check{"Check", true};
  TButtonState Redeem{"Redeem", true};
  std::vector<std::string> Memo{"Memo1"};
  TModalResult ModalResult = TModalResult::None;
  // Whether a busy bar lies on each button (the real indicator's bar).
  bool CheckBusyBar = false;
  bool RedeemBusyBar = false;
};

// The in-memory controls. Its busy indicator behaves as the real one does on a push button:
// disables the button, shows the working text, and restores caption and enabled state on Detach
// and again when the last reference goes.
class TVoucherDialogModel final : public TVoucherDialogControls {
 public:
  TVoucherDialogState State;

  std::string VoucherCodeText() override { return State.VoucherCode; }
  std::string UserReferenceText() override { return State.UserReference; }
  void SetResponseText(const std::string& text) override { State.Response = text; }
  void SetDetailsText(const std::string& text) override { State.Details = text; }
  void SetAmountText(const std::string& text) override { State.Amount = text; }
  void ShowVoucherPanel() override { State.VoucherPanelVisible = true; }
  void SetButtonEnabled(TDialogButton button, bool enabled) override {
    Button(button).Enabled = enabled;
  }
  TIntfPtr<IButtonProgress> BeginProgress(TDialogButton button, const std::string& text) override;
  void AppendMemoLine(const std::string& line) override { State.Memo.push_back(line); }
  void SetModalResult(TModalResult result) override { State.ModalResult = result; }

  TButtonState& Button(TDialogButton button) {
    return button == TDialogButton::Check ? State.Check : State.Redeem;
  }
  bool& BusyBar(TDialogButton button) {
    return button == TDialogButton::Check ? State.CheckBusyBar : State.RedeemBusyBar;
  }
};
