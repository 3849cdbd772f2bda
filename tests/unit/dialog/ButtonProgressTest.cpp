// The busy indicator on a real push button: what the cashier sees while attached, and that the
// button comes back however the indicator ends.
#include <gtest/gtest.h>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include "module/dialog/clsButtonProgress.h"

namespace {

QProgressBar* BarOf(QPushButton& button) { return button.findChild<QProgressBar*>(); }

class ButtonProgress : public ::testing::Test {
 protected:
  ButtonProgress() {
    Button.setText("Check");
    Button.resize(121, 57);
  }
  QPushButton Button;
};

TEST_F(ButtonProgress, AttachedButtonIsBusyWithABarAlongItsBottom) {
  TIntfPtr<IButtonProgress> progress = CreateButtonProgress(&Button, "Checking...");
  EXPECT_EQ(Button.text(), "Checking...");
  EXPECT_FALSE(Button.isEnabled());
  QProgressBar* bar = BarOf(Button);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->geometry(),
            QRect(0, Button.contentsRect().height() - 5, Button.contentsRect().width(), 5));
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_FALSE(bar->isHidden());
}

TEST_F(ButtonProgress, EmptyTextShowsWorking) {
  TIntfPtr<IButtonProgress> progress = CreateButtonProgress(&Button, "");
  EXPECT_EQ(Button.text(), "Working...");
}

TEST_F(ButtonProgress, DetachRestoresAndReleaseRemovesTheBar) {
  Button.setEnabled(false);  // enabled afterwards whatever it was before
  TIntfPtr<IButtonProgress> progress = CreateButtonProgress(&Button, "Redeeming...");
  progress->Detach();
  EXPECT_EQ(Button.text(), "Check");
  EXPECT_TRUE(Button.isEnabled());
  EXPECT_NE(BarOf(Button), nullptr);  // the bar stays until the indicator goes

  Button.setText("Changed meanwhile");
  progress = nullptr;
  // Destruction restores once more, then the bar leaves.
  EXPECT_EQ(Button.text(), "Check");
  EXPECT_EQ(BarOf(Button), nullptr);
}

TEST_F(ButtonProgress, ReleaseWithoutDetachRestoresTheButton) {
  CreateButtonProgress(&Button, "Redeeming...");
  EXPECT_EQ(Button.text(), "Check");
  EXPECT_TRUE(Button.isEnabled());
  EXPECT_EQ(BarOf(Button), nullptr);
}

TEST_F(ButtonProgress, NeverAttachedIndicatorTouchesNoButton) {
  Button.setEnabled(false);
  TIntfPtr<IButtonProgress> progress = CreateButtonProgress(nullptr, "Checking...");
  progress->Detach();  // no control: nothing to restore
  progress = nullptr;
  EXPECT_EQ(Button.text(), "Check");
  EXPECT_FALSE(Button.isEnabled());
}

TEST_F(ButtonProgress, SetTextAffectsOnlyALaterAttachAndSetPositionMovesTheBar) {
  TIntfPtr<IButtonProgress> progress = CreateButtonProgress(nullptr, "");
  progress->SetText("First");
  progress->Attach(&Button);
  progress->SetText("Second");
  EXPECT_EQ(Button.text(), "First");
  progress->SetPosition(40);
  ASSERT_NE(BarOf(Button), nullptr);
  EXPECT_EQ(BarOf(Button)->value(), 40);
}

TEST(ButtonProgressLifetime, ButtonDestroyedFirstIsSafe) {
  TIntfPtr<IButtonProgress> progress;
  QPointer<QProgressBar> bar;
  {
    QPushButton button("Check");
    progress = CreateButtonProgress(&button, "Checking...");
    bar = BarOf(button);
    ASSERT_FALSE(bar.isNull());
  }
  EXPECT_TRUE(bar.isNull());
  // The bar died with the button; neither the restore nor the release may touch freed memory
  // (the sanitizer build turns any such access into a failure).
  progress->Detach();
  progress->SetPosition(10);
  progress = nullptr;
}

// The host calls by slot position: slots 3..6 must be SetText, SetPosition, Attach, Detach.
TEST_F(ButtonProgress, OperationsSitInTheirContractSlots) {
  TIntfPtr<IButtonProgress> progress = CreateButtonProgress(nullptr, "");
  IButtonProgress* raw = progress.Get();
  void** vtable = *reinterpret_cast<void***>(raw);
  using TSetText = void (*)(IButtonProgress*, const std::string&);
  using TSetPosition = void (*)(IButtonProgress*, int32_t);
  using TAttach = void (*)(IButtonProgress*, QPushButton*);
  using TDetach = void (*)(IButtonProgress*);
  reinterpret_cast<TSetText>(vtable[3])(raw, "By slot");
  reinterpret_cast<TAttach>(vtable[5])(raw, &Button);
  EXPECT_EQ(Button.text(), "By slot");
  reinterpret_cast<TSetPosition>(vtable[4])(raw, 70);
  EXPECT_EQ(BarOf(Button)->value(), 70);
  reinterpret_cast<TDetach>(vtable[6])(raw);
  EXPECT_EQ(Button.text(), "Check");

  void* asked = nullptr;
  ASSERT_EQ(raw->QueryInterface(TGUID::Of("{8BCFF438-C0C4-4194-B7F9-30305B3D7A08}"), &asked),
            S_OK_RESULT);
  EXPECT_EQ(asked, static_cast<void*>(raw));
  TIntfPtr<IButtonProgress>::Adopt(static_cast<IButtonProgress*>(asked));  // drop that count
}

}  // namespace
