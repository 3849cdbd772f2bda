// Ends the modal dialogs a test left open: a dialog the code under test fails to close would hold
// the test in its loop until the test runner's own time-out, with nothing said.
#pragma once

#include <gtest/gtest.h>
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>

class TDialogWatchdog {
 public:
  explicit TDialogWatchdog(int ms = 20000) {
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, [ms] {
      ADD_FAILURE() << "a dialog was still open after " << ms << " ms; the test closed it";
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible()) continue;
        if (auto* dialog = qobject_cast<QDialog*>(widget))
          dialog->reject();
        else if (widget->isModal())
          widget->close();
      }
    });
    FTimer.start(ms);
  }

 private:
  QTimer FTimer;
};
