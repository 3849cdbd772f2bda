// Busy marker for a push button (on the host QApplication's user-interface thread): while a slow
// call blocks, the button is disabled, shows a working text and a thin bar along its bottom edge.
#pragma once

#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "clsInterfacedObject.h"

class QPushButton;
class QProgressBar;

class IButtonProgress : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{8BCFF438-C0C4-4194-B7F9-30305B3D7A08}");
  // The working text for a later Attach; an attached button keeps its caption.
  virtual void SetText(const std::string& text) = 0;  // 1
  virtual void SetPosition(int32_t position) = 0;     // 2
  virtual void Attach(QPushButton* control) = 0;      // 3
  // Puts the saved caption back and enables the button; the bar stays until destruction.
  virtual void Detach() = 0;  // 4

 protected:
  ~IButtonProgress() = default;
};

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
