// The voucher payment dialog: the cashier types a voucher code and the customer's mobile number,
// checks the voucher against the order, and redeems it. Shown modally by the payment popup.
#pragma once

#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>

#include "module/dialog/FDovraPaymentLogic.h"
#include "module/dialog/FDovraPaymentRun.h"

namespace Ui {
class frmDovraPayment;
}
class TVoucherDialogWidgets;

class TfrmDovraPayment : public QDialog {
  Q_OBJECT

  // Shared with a running click handler, so that a dialog destroyed from inside a blocking
  // voucher call does not pull the state from under the handler.
  std::shared_ptr<TDovraPaymentLogic> FLogic;

 public:
  // Raises std::runtime_error when the host has no running QApplication: the module never makes
  // one of its own.
  explicit TfrmDovraPayment(QWidget* parent = nullptr);
  ~TfrmDovraPayment() override;

  // Set before ShowVoucherDialog.
  void SetStoreReference(int32_t storeReference) { FLogic->SetStoreReference(storeReference); }
  void SetOrderDocument(const std::string& orderDocument) {
    FLogic->SetOrderDocument(orderDocument);
  }
  // The redeem answer; meaningful after ShowVoucherDialog returned true.
  const std::string& RedeemResponseText() const { return FLogic->RedeemResponseText(); }

  // Prepares the request, shows the dialog modally and waits; true exactly when a redemption
  // succeeded. Errors of the preparation pass to the caller before anything is shown.
  bool ShowVoucherDialog();

  // The logic and its documents (tests and tools read the request built so far).
  TDovraPaymentLogic& Logic() { return *FLogic; }

 public slots:
  void btnCheckClick(QObject* Sender);
  void btnRedeemClick(QObject* Sender);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void PrepareRequest();
  void LayoutPanels();
  void CentreOnMainWindow();
  void ShowLogo();
  void UseTahomaOrANarrowFallback();
  // Runs one click handler: errors are logged and shown, and an OK result closes the dialog
  // once the handler is over.
  template <class Handler>
  void RunClickHandler(const char* name, Handler handler);

  std::unique_ptr<Ui::frmDovraPayment> ui;
  std::shared_ptr<TVoucherDialogWidgets> FControls;
};

// RunVoucherDialog with an owner window for the dialog.
bool RunVoucherDialog(int32_t storeReference, const std::string& orderDocument,
                      std::string& redeemResponseText, QWidget* parent);
