#include "module/dialog/clsButtonProgress.h"

#include <QProgressBar>
#include <QPushButton>

namespace {
constexpr int kBarHeight = 5;
}

TButtonProgress::TButtonProgress()
    : FBar(std::make_unique<QProgressBar>()), FBarAlive(FBar.get()) {}

TButtonProgress::~TButtonProgress() {
  if (FAttached) Detach();
  if (!FBarAlive) {
    // Already deleted together with the button it was laid into.
    [[maybe_unused]] QProgressBar* gone = FBar.release();
  }
}

void TButtonProgress::SetText(const std::string& text) { FText = text; }

void TButtonProgress::SetPosition(int32_t position) {
  if (FBarAlive) FBar->setValue(position);
}

void TButtonProgress::Attach(QPushButton* control) {
  FControl = control;
  if (!control) return;
  FSavedCaption = control->text();
  if (FBarAlive) {
    FBar->setParent(control);
    FBar->setRange(0, 100);
    FBar->setValue(0);
    FBar->setTextVisible(false);
    const QRect client = control->contentsRect();
    FBar->setGeometry(0, client.height() - kBarHeight, client.width(), kBarHeight);
    FBar->show();
  }
  control->setEnabled(false);
  control->setText(QString::fromStdString(FText));
  FAttached = true;
  // The caller blocks the event loop next, so paint the busy look now or it never shows.
  if (control->isVisible()) control->repaint();
}

void TButtonProgress::Detach() {
  // Without a live control there is nothing to restore.
  if (!FControl) return;
  FControl->setText(FSavedCaption);
  FControl->setEnabled(true);
}

TIntfPtr<IButtonProgress> CreateButtonProgress(QPushButton* button, const std::string& text) {
  TIntfPtr<IButtonProgress> progress = MakeObject<TButtonProgress>();
  if (!text.empty()) progress->SetText(text);
  if (button) progress->Attach(button);
  return progress;
}
