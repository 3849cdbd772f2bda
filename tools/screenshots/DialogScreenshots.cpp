// Renders the voucher dialog in its main states (entry, voucher valid, voucher refused, redeem
// failed, redeem answer lost and the voucher given back or found unused) to dialog-<state>.png
// files, with scripted voucher answers, for the documentation.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <cstring>

#include "lib/version/DovraVersion.h"
#include "lib/voucher/DovraMessages.h"
#include "module/dialog/FDovraPayment.h"
#include "tests/support/DialogTestSupport.h"

namespace {

const char* const kOrder = R"({"AfterDisc":150,"LineItems":[{"Code":"A1","Quantity":2,"Price":50},)"
                           R"({"Code":"B2","Quantity":1,"Price":50}]})";

bool Save(QWidget& dialog, const QDir& folder, const char* state) {
  QApplication::processEvents();
  const QString path = folder.filePath(QString("dialog-%1.png").arg(state));
  if (!dialog.grab().save(path, "PNG")) {
    std::fprintf(stderr, "Could not write %s\n", path.toLocal8Bit().constData());
    return false;
  }
  return true;
}

// One dialog per state, driven the way a cashier would.
bool Render(const QDir& folder, const char* state, bool check, bool redeem) {
  TfrmDovraPayment dialog;
  dialog.SetStoreReference(12);
  dialog.SetOrderDocument(kOrder);
  // A fixed time, so that the service's scripted status answers name this request's redemption.
  dialog.Logic().SetClock([] { return 46365.5; });  // 2026-12-09T12:00:00
  dialog.Logic().PrepareRequest();
  dialog.show();
  if (check) {
    dialog.findChild<QLineEdit*>("txtVoucherCode")->setText("SAVE15");
    dialog.findChild<QLineEdit*>("txtUserReference")->setText("0612345678");
    dialog.findChild<QPushButton*>("btnCheck")->click();
  }
  if (redeem) dialog.findChild<QPushButton*>("btnRedeem")->click();
  return Save(dialog, folder, state);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("dovra-dialog-screenshots %s\n", kDovraVersion);
    return 0;
  }
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "Usage: dovra-dialog-screenshots FOLDER\n"
                 "Writes dialog-entry.png, dialog-valid.png, dialog-refused.png,\n"
                 "dialog-redeem-failed.png, dialog-redeem-given-back.png and\n"
                 "dialog-redeem-not-used.png into FOLDER.\n");
    return argc == 2 ? 0 : 2;
  }
  QApplication app(argc, argv);
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!folder.exists() && !QDir().mkpath(folder.path())) {
    std::fprintf(stderr, "Could not create the folder %s\n", argv[1]);
    return 1;
  }
  TFakeVoucherService service;
  TScopedTestRegistry registry(service);
  service.EvaluateScript = {
      {true, R"({"Success":true,"DisplayName":"15% off your order","DiscountAmount":22.5})"},
      {true, R"({"Success":false,"ErrorMessage":"This voucher has expired"})"},
      {true, R"({"Success":true,"DisplayName":"15% off your order","DiscountAmount":22.5})"}};
  service.EvaluateScript.insert(service.EvaluateScript.end(), 2, service.EvaluateScript.front());
  // The redeem answer is lost twice: its redemption is found and given back, then none is found.
  service.RedeemScript = {{true, R"({"Success":false,"ErrorMessage":"Already redeemed"})"},
                          {false, std::nullopt},
                          {false, std::nullopt}};
  service.StatusScript = {
      {}, {true, R"({"Success":true,"VoucherCode":"SAVE15","LiveRedemptions":[]})"}};
  // The first lost redeem's redemption carries the digest of the very body it was sent with.
  service.DuringCall = [&service] {
    if (service.RedeemRequests.size() != 2 || service.StatusScript[0].Response) return;
    service.StatusScript[0] = {
        true, R"({"Success":true,"VoucherCode":"SAVE15","LiveRedemptions":[{"VoucherReference":)"
              R"("DVR-00000007","StoreReference":12,"OrderDate":"2026-12-09T12:00:00",)"
              R"("DiscountAmount":22.5,"RedeemedOn":"2026-12-09T11:00:00.000Z","RequestDigest":")" +
                  RequestDigest(service.RedeemRequests[1]) + "\"}]})"};
  };
  service.ReverseConfirms = true;
  bool ok = Render(folder, "entry", false, false);
  ok = Render(folder, "valid", true, false) && ok;
  ok = Render(folder, "refused", true, false) && ok;
  ok = Render(folder, "redeem-failed", true, true) && ok;
  ok = Render(folder, "redeem-given-back", true, true) && ok;
  ok = Render(folder, "redeem-not-used", true, true) && ok;
  return ok ? 0 : 1;
}
