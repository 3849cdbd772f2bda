// A voucher whose code and name carry single quotes, paid at the till and given back when its
// invoice is overridden: the texts reach the module's tables through the till's database as they
// left the voucher service, byte for byte.
#include "tests/support/TillFixture.h"

namespace {

class QuotedTexts : public TTillFixture {};

TEST_F(QuotedTexts, ReachTheTablesExactlyAsTheServiceSentThem) {
  Write(Path("vouchers.json"),
        R"({"Vouchers":[{"Code":"O'NEILL5","DisplayName":"O'Neill's 5.00 off, 50% club",)"
        R"("Kind":"fixed","Amount":5,"MultipleUse":false}]})");
  Sandbox = std::make_unique<TSandboxProcess>(
      std::vector<std::string>{"--vouchers", Path("vouchers.json")});
  Upgrade();
  const TRun paid = Pay("O'NEILL5", {"--invoice", "31"});
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  EXPECT_TRUE(Contains(paid.Output, "receipt: detail VoucherCode=O'NEILL5\n")) << paid.Output;
  const TRun overridden = Till({"override", "--invoice", "31"});
  ASSERT_EQ(overridden.Exit, 0) << overridden.Output;

  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 1u);
  TRow row = rows[0];
  EXPECT_NE(row["Timestamp_Created"], "NULL");
  EXPECT_NE(row["Timestamp_Payment"], "NULL");
  row.erase("Timestamp_Created");
  row.erase("Timestamp_Payment");
  EXPECT_EQ(row,
            (TRow{{"ID", "1"},
                  {"InvoiceNum", "31"},
                  {"VoucherReference", "DVR-00000001"},
                  {"RedeemJSON", R"({"Success":true,"DisplayName":"O'Neill's 5.00 off, 50% club",)"
                                 R"("DiscountAmount":5,"VoucherReference":"DVR-00000001",)"
                                 R"("VoucherCode":"O'NEILL5"})"},
                  {"Amount", "5.0"}}));

  std::vector<std::pair<std::string, std::string>> activity;
  for (const TRow& entry : Activities())
    activity.emplace_back(entry.at("Class"), entry.at("Message"));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"INFO", "New Transaction: 1"},
      {"REDEEM", R"({"ID": 1, "VoucherReference": "DVR-00000001" })"},
      {"REVERSE", R"({"ID":1,"VoucherReference":"DVR-00000001"})"},
      {"INFO", R"({"Success":true,"VoucherReference":"DVR-00000001","VoucherCode":"O'NEILL5",)"
               R"("DiscountAmount":5})"}};
  EXPECT_EQ(activity, expected);
}

}  // namespace
