// Two tills of one shop paying at the same time into one database file, each with its own module
// and module log, while a back-office job takes the database's write lock now and then: every
// payment gets a row of its own, and each till finds its own new row.
#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "tests/support/TillFixture.h"

namespace {

constexpr int kTills = 2;
constexpr int kPaymentsPerTill = 6;

struct TPayment {
  int Exit = -1;
  std::string Output;
};

class TwoTillsOneDatabase : public TTillFixture {
 protected:
  std::string TillFolder(int till) const { return Path("till" + std::to_string(till)); }

  // One till paying its payments one after the other, as a cashier would.
  std::vector<TPayment> PayAtTill(int till) const {
    std::vector<std::string> args{"--module",  TillFolder(till) + "/DovraVoucherPayment.smd",
                                  "--db",      Database,
                                  "--ca-file", Sandbox->CertFile(),
                                  "--till-id", std::to_string(till)};
    const std::vector<std::string> pay = PayArgs("SAVE15");
    args.insert(args.end(), pay.begin(), pay.end());
    std::vector<TPayment> payments;
    while (payments.size() < size_t{kPaymentsPerTill}) {
      TPayment& payment = payments.emplace_back();
      TChildProcess child;
      child.MergeErrors = true;
      std::string error;
      if (!child.Start(SARN_TILL_PROGRAM, args, Environment(), error)) {
        payment.Output = error;
        break;
      }
      payment.Exit = child.ReadAllAndWait(payment.Output, kChildWaitMs);
      // A till that did not pay once will not pay the next time either.
      if (payment.Exit != 0) break;
    }
    return payments;
  }

  // Every match of pattern's first group in text, in order.
  static std::vector<std::string> All(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i)
      found.push_back((*i)[1].str());
    return found;
  }
};

TEST_F(TwoTillsOneDatabase, EveryPaymentGetsARowOfItsOwnFoundByItsOwnTill) {
  Upgrade();
  for (int till = 1; till <= kTills; ++till) {
    fs::create_directories(TillFolder(till));
    fs::copy_file(DOVRA_MODULE_PATH, TillFolder(till) + "/DovraVoucherPayment.smd");
  }

  // The back office: short write transactions while the tills pay.
  std::atomic<bool> paying{true};
  std::atomic<int> locksTaken{0};
  std::thread backOffice([&] {
    while (paying) {
      {
        const THeldDatabase held(Database);
        if (held.Held) {
          ++locksTaken;
          std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::vector<TPayment> payments[kTills];
  {
    std::vector<std::thread> tills;
    for (int till = 1; till <= kTills; ++till)
      tills.emplace_back([this, till, &payments] { payments[till - 1] = PayAtTill(till); });
    for (std::thread& t : tills) t.join();
  }
  paying = false;
  backOffice.join();
  EXPECT_GT(locksTaken.load(), 0);

  std::map<int, TRow> rowsByID;
  for (const TRow& row : Transactions()) rowsByID[std::stoi(row.at("ID"))] = row;
  EXPECT_EQ(rowsByID.size(), size_t{kTills * kPaymentsPerTill}) << "one row per payment";

  std::set<std::string> references;
  for (int till = 1; till <= kTills; ++till) {
    SCOPED_TRACE("till " + std::to_string(till));
    std::vector<std::string> receipts;
    for (const TPayment& payment : payments[till - 1]) {
      EXPECT_EQ(payment.Exit, 0) << payment.Output;
      EXPECT_FALSE(Contains(payment.Output, "locked")) << payment.Output;
      EXPECT_FALSE(Contains(payment.Output, "sarn-till: database")) << payment.Output;
      const std::vector<std::string> reference =
          All(payment.Output, "receipt: detail VoucherReference=(DVR-\\d+)\n");
      EXPECT_EQ(reference.size(), 1u) << payment.Output;
      receipts.insert(receipts.end(), reference.begin(), reference.end());
    }
    ASSERT_EQ(receipts.size(), size_t{kPaymentsPerTill}) << "not every payment paid";
    // The till's own log: the row it opened, then the redemption it recorded there.
    std::string log;
    for (const auto& entry : fs::directory_iterator(TillFolder(till)))
      if (entry.path().extension() == ".log") log += Read(entry.path().string());
    const std::vector<std::string> opened =
        All(log, "\\[TPaymentMethodDovraVoucher.DoPaymentPopup\\] Current Transaction : (-?\\d+)");
    const std::vector<std::string> redeemed =
        All(log, "\\[TDovraVoucherAPI.Redeem\\] Response : .*\"VoucherReference\":\"(DVR-\\d+)\"");
    ASSERT_EQ(opened.size(), size_t{kPaymentsPerTill}) << log;
    ASSERT_EQ(redeemed, receipts);
    for (int i = 0; i < kPaymentsPerTill; ++i) {
      const int id = std::stoi(opened[i]);
      ASSERT_GT(id, 0) << "payment " << i;
      ASSERT_EQ(rowsByID.count(id), 1u) << "payment " << i << ": no row " << id;
      EXPECT_EQ(rowsByID[id].at("VoucherReference"), redeemed[i]) << "row " << id;
      EXPECT_NE(rowsByID[id].at("Timestamp_Payment"), "NULL") << "row " << id;
      EXPECT_TRUE(references.insert(redeemed[i]).second) << redeemed[i] << " paid twice";
    }
  }

  // The activity log: each payment's two entries name its own row.
  std::multiset<std::string> activity, expected;
  for (const TRow& row : Activities()) activity.insert(row.at("Class") + " " + row.at("Message"));
  for (const auto& [id, row] : rowsByID) {
    expected.insert("INFO New Transaction: " + std::to_string(id));
    expected.insert("REDEEM {\"ID\": " + std::to_string(id) + ", \"VoucherReference\": \"" +
                    row.at("VoucherReference") + "\" }");
  }
  EXPECT_EQ(activity, expected);
}

}  // namespace
