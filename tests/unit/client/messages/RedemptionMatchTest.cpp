// Finding a redemption again after a lost redeem answer: the key a request carries, the status
// answer as read, and which live redemptions are the request's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/voucher/DovraMessages.h"
#include "lib/voucher/DovraRedemptionMatch.h"

namespace {

TJSONValue Request(const char* code, int32_t store, const char* orderDate) {
  const TJSONValue request = NewObjectDocument();
  request.Set("VoucherCode", code);
  request.Set("StoreReference", store);
  request.Set("User", NewObjectDocument({"Reference", "0612", "CreatedOn", orderDate}));
  request.Set("VoucherOrder", NewObjectDocument({"OrderDate", orderDate, "TotalPrice", 150, "Items",
                                                 NewArrayDocument()}));
  return request;
}

TEST(RedemptionKey, LoggedFromTheRequestAndReadBack) {
  const TJSONValue request = Request("SAVE\"15", 12, "2026-12-09T10:00:01");
  TRedemptionKey key;
  ASSERT_TRUE(RedemptionKeyOfRequest(request, key));
  EXPECT_EQ(key.VoucherCode, "SAVE\"15");
  EXPECT_EQ(key.StoreReference, 12);
  EXPECT_EQ(key.OrderDate, "2026-12-09T10:00:01");
  const std::string line = RedemptionKeyTextOfRequest(request);
  EXPECT_EQ(line,
            R"({"VoucherCode":"SAVE\"15","StoreReference":12,"OrderDate":"2026-12-09T10:00:01"})");
  TRedemptionKey read;
  ASSERT_TRUE(ReadRedemptionKeyText(line, read));
  EXPECT_EQ(read.VoucherCode, key.VoucherCode);
  EXPECT_EQ(read.StoreReference, key.StoreReference);
  EXPECT_EQ(read.OrderDate, key.OrderDate);

  // A request not yet filled by a check names nothing it could be found by.
  EXPECT_FALSE(RedemptionKeyOfRequest(NewObjectDocument(), key));
  EXPECT_EQ(RedemptionKeyTextOfRequest(NewObjectDocument()),
            R"({"VoucherCode":null,"StoreReference":null,"OrderDate":null})");
  for (const char* bad :
       {"", "null", "[]", R"({"VoucherCode":"A","StoreReference":"12","OrderDate":"x"})",
        R"({"VoucherCode":"A","StoreReference":12})"})
    EXPECT_FALSE(ReadRedemptionKeyText(bad, read)) << bad;
}

TEST(VoucherStatusAnswer, ReadOnlyWhenItSaysWhichRedemptionsStand) {
  const std::string live =
      R"({"VoucherReference":"DVR-1","StoreReference":12,"OrderDate":"2026-12-09T10:00:01",)"
      R"("DiscountAmount":12.345,"RedeemedOn":"2026-12-09T09:00:02.000Z"})";
  auto answer = [](const std::string& entries) {
    return R"({"Success":true,"VoucherCode":"SAVE15","Status":"used","LiveRedemptions":[)" +
           entries + "]}";
  };
  const struct {
    std::string Text;
    bool Readable, Success;
    size_t Live;
    std::string Detail;  // the problem, or the refusal's message
  } rows[] = {
      {answer(""), true, true, 0, ""},
      {answer(live + "," + live), true, true, 2, ""},
      {answer(R"({"VoucherReference":"DVR-2","StoreReference":null,"DiscountAmount":5})"), true,
       true, 1, ""},
      {R"({"Success":false,"ErrorMessage":"Unknown voucher code"})", true, false, 0,
       "Unknown voucher code"},
      {"<html><body>Service unavailable</body></html>", false, false, 0,
       "the answer is not a JSON object"},
      {"", false, false, 0, "the answer is not a JSON object"},
      {"[]", false, false, 0, "the answer is not a JSON object"},
      {R"({"Success":"true","VoucherCode":"SAVE15","LiveRedemptions":[]})", false, false, 0,
       "the answer has no \"Success\" true or false"},
      {R"({"Success":true,"VoucherCode":"save15","LiveRedemptions":[]})", false, false, 0,
       "the answer is not about the voucher code asked for"},
      {R"({"Success":true,"VoucherCode":"SAVE15","Status":"used","Redemptions":1})", false, false,
       0, "the answer has no \"LiveRedemptions\" array"},
      {answer(live + R"(,{"StoreReference":12,"DiscountAmount":5})"), false, false, 0,
       "live redemption 2 has no \"VoucherReference\" text"},
      {answer(R"({"VoucherReference":"DVR-1","StoreReference":"12","DiscountAmount":5})"), false,
       false, 0, "live redemption 1 has a \"StoreReference\" that is neither an integer nor null"},
      {answer(R"({"VoucherReference":"DVR-1","OrderDate":20261209,"DiscountAmount":5})"), false,
       false, 0, "live redemption 1 has an \"OrderDate\" that is neither text nor null"},
      {answer(R"({"VoucherReference":"DVR-1","DiscountAmount":1e300})"), false, false, 0,
       "live redemption 1 has no \"DiscountAmount\" amount"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Text);
    const TVoucherStatusAnswer read = ReadVoucherStatusAnswer(row.Text, "SAVE15");
    EXPECT_EQ(read.Readable, row.Readable);
    EXPECT_EQ(read.Success, row.Success);
    EXPECT_EQ(read.LiveRedemptions.size(), row.Live);
    EXPECT_EQ(row.Readable ? read.ErrorMessage : read.Problem, row.Detail);
  }
  const TVoucherStatusAnswer read = ReadVoucherStatusAnswer(answer(live), "SAVE15");
  ASSERT_EQ(read.LiveRedemptions.size(), 1u);
  const TLiveRedemption& r = read.LiveRedemptions[0];
  EXPECT_EQ(r.VoucherReference, "DVR-1");
  EXPECT_EQ(r.StoreReference, 12);
  EXPECT_EQ(r.OrderDate, "2026-12-09T10:00:01");
  EXPECT_EQ(r.DiscountAmount, 123450);
  EXPECT_EQ(r.RedeemedOn, "2026-12-09T09:00:02.000Z");
}

TEST(RedemptionMatch, SameStoreAndOrderDateNameTheRequestsOwn) {
  const TRedemptionKey key{"SAVE15", 12, "2026-12-09T10:00:01"};
  const TLiveRedemption own{"DVR-1", 12, "2026-12-09T10:00:01", 10000, ""};
  const TLiveRedemption otherStore{"DVR-2", 7, "2026-12-09T10:00:01", 10000, ""};
  const TLiveRedemption otherDate{"DVR-3", 12, "2026-12-09T10:00:02", 10000, ""};
  const TLiveRedemption unknownOrigin{"DVR-4", std::nullopt, std::nullopt, 10000, ""};
  const TLiveRedemption twin{"DVR-5", 12, "2026-12-09T10:00:01", 10000, ""};
  const struct {
    const char* Name;
    std::vector<TLiveRedemption> Live;
    TRedemptionMatchCount Count;
    std::vector<std::string> References;
  } rows[] = {
      {"none live", {}, TRedemptionMatchCount::None, {}},
      {"others only", {otherStore, otherDate, unknownOrigin}, TRedemptionMatchCount::None, {}},
      {"one among others", {otherStore, own, otherDate}, TRedemptionMatchCount::One, {"DVR-1"}},
      {"two alike", {own, otherDate, twin}, TRedemptionMatchCount::Several, {"DVR-1", "DVR-5"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    const TRedemptionMatch match = MatchLiveRedemptions(row.Live, key);
    EXPECT_EQ(match.Count, row.Count);
    EXPECT_EQ(match.References, row.References);
  }
}

}  // namespace
