#include "tests/unit/dialog/VoucherDialogModel.h"

#include "intf/clsInterfacedObject.h"

namespace {

// The in-memory counterpart of TButtonProgress, bound to one button of a model that outlives it
// (the model owns the state the handler is working on).
class TModelButtonProgress : public TImplements<TInterfacedObject, IButtonProgress> {
 public:
  TModelButtonProgress(TVoucherDialogModel& model, TDialogButton button)
      : FModel(model), FButton(button) {}

  void SetText(const std::string& text) override { FText = text; }
  void SetPosition(int32_t) override {}
  // The model has no widgets; its buttons are attached through BeginProgress only.
  void Attach(QPushButton*) override { AttachModel(); }
  void Detach() override {
    if (!FAttached) return;
    FModel.Button(FButton).Text = FSavedCaption;
    FModel.Button(FButton).Enabled = true;
  }

  void AttachModel() {
    FSavedCaption = FModel.Button(FButton).Text;
    FModel.BusyBar(FButton) = true;
    FModel.Button(FButton).Enabled = false;
    FModel.Button(FButton).Text = FText;
    FAttached = true;
  }

 protected:
  ~TModelButtonProgress() override {
    if (FAttached) {
      Detach();
      FModel.BusyBar(FButton) = false;
    }
  }

 private:
  TVoucherDialogModel& FModel;
  TDialogButton FButton;
  std::string FText = "Working...";
  std::string FSavedCaption;
  bool FAttached = false;
};

}  // namespace

TIntfPtr<IButtonProgress> TVoucherDialogModel::BeginProgress(TDialogButton button,
                                                             const std::string& text) {
  TIntfPtr<TModelButtonProgress> progress = MakeObject<TModelButtonProgress>(*this, button);
  if (!text.empty()) progress->SetText(text);
  progress->AttachModel();
  return progress;
}
