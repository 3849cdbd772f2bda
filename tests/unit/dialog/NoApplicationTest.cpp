// The module never makes the host's QApplication: with none running the dialog refuses clearly
// instead of ending the process.
#include <gtest/gtest.h>
#include <QCoreApplication>

#include "module/dialog/FDovraPayment.h"

TEST(DialogWithoutApplication, RefusesWithAClearError) {
  ASSERT_EQ(QCoreApplication::instance(), nullptr);
  try {
    TfrmDovraPayment dialog;
    FAIL() << "a dialog was made without an application";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("QApplication"), std::string::npos) << e.what();
  }
  std::string answer = "untouched";
  EXPECT_THROW(RunVoucherDialog(1, "{}", answer), std::runtime_error);
  EXPECT_EQ(answer, "untouched");
}
