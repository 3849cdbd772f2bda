// The voucher dialog's controls as its logic sees them, so the same logic drives the real widgets
// and a plain in-memory model. Free of the toolkit's headers.
#pragma once

#include <string>

#include "module/dialog/intfButtonProgress.h"

enum class TDialogButton { Check, Redeem };
enum class TModalResult { None, OK, Cancel };

class TVoucherDialogControls {
 public:
  virtual std::string VoucherCodeText() = 0;
  virtual std::string UserReferenceText() = 0;
  virtual void SetResponseText(const std::string& text) = 0;
  virtual void SetDetailsText(const std::string& text) = 0;
  virtual void SetAmountText(const std::string& text) = 0;
  virtual void ShowVoucherPanel() = 0;
  virtual void SetButtonEnabled(TDialogButton button, bool enabled) = 0;
  // A busy indicator laid on the button (CreateButtonProgress on the real one).
  virtual TIntfPtr<IButtonProgress> BeginProgress(TDialogButton button,
                                                  const std::string& text) = 0;
  virtual void AppendMemoLine(const std::string& line) = 0;
  virtual void SetModalResult(TModalResult result) = 0;

 protected:
  ~TVoucherDialogControls() = default;
};
