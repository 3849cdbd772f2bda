// Busy marker for a push button (on the host QApplication's user-interface thread): while a slow
// call blocks, the button is disabled, shows a working text and a thin bar along its bottom edge.
#pragma once

#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "intf/clsInterfacedObject.h"
#include "module/dialog/intfButtonProgress.h"

class QProgressBar;

class TButtonProgress : public TImplements<TInterfacedObject, IButtonProgress> {
 public:
  TButtonProgress();

  void SetText(const std::string& text) override;
  void SetPosition(int32_t position) override;
  void Attach(QPushButton* control) override;
  void Detach() override;

 protected:
  // An indicator that was attached restores its button once more before the bar goes.
  ~TButtonProgress() override;

 private:
  // The button belongs to its window and may die first; QPointer turns that into a no-op.
  QPointer<QPushButton> FControl;
  std::string FText = "Working...";
  QString FSavedCaption;
  bool FAttached = false;
  // Owned bar. Once it is laid into the button the button's destruction also deletes it, so
  // FBarAlive tells whether our own deletion is still due.
  std::unique_ptr<QProgressBar> FBar;
  QPointer<QProgressBar> FBarAlive;
};

// A new indicator; a non-empty text replaces "Working...", and a given button is attached at once.
TIntfPtr<IButtonProgress> CreateButtonProgress(QPushButton* button, const std::string& text);
