// Finding a redemption again after a lost redeem answer: the key a request carries, the status
// answer as read, and which live redemptions are the request's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/common/AsciiCase.h"
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
  EXPECT_EQ(read.RequestDigest, "");  // a line from before digests
  for (const char* bad :
       {"", "null", "[]", R"({"VoucherCode":"A","StoreReference":"12","OrderDate":"x"})",
        R"({"VoucherCode":"A","StoreReference":12})",
        R"({"VoucherCode":"A","StoreReference":12,"OrderDate":"x","RequestDigest":7})",
        R"({"VoucherCode":"A","StoreReference":12,"OrderDate":"x","RequestDigest":"ABC"})"})
    EXPECT_FALSE(ReadRedemptionKeyText(bad, read)) << bad;
}

TEST(RedemptionKey, CarriesTheDigestOfTheBodyAsSent) {
  const TJSONValue request = Request("SAVE15", 12, "2026-12-09T10:00:01");
  const std::string body = request.ToJSON();
  const std::string digest = RequestDigest(body);
  const std::string line = RedemptionKeyTextOfRequest(request, digest);
  EXPECT_EQ(line,
            R"({"VoucherCode":"SAVE15","StoreReference":12,"OrderDate":"2026-12-09T10:00:01",)"
            R"("RequestDigest":")" +
                digest + R"("})");
  TRedemptionKey read;
  ASSERT_TRUE(ReadRedemptionKeyText(line, read));
  EXPECT_EQ(read.VoucherCode, "SAVE15");
  EXPECT_EQ(read.StoreReference, 12);
  EXPECT_EQ(read.OrderDate, "2026-12-09T10:00:01");
  EXPECT_EQ(read.RequestDigest, digest);
  ASSERT_TRUE(ReadRedemptionKeyText(
      R"({"VoucherCode":"A","StoreReference":1,"OrderDate":"x","RequestDigest":null})", read));
  EXPECT_EQ(read.RequestDigest, "");
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
  EXPECT_EQ(read.AnsweredOn, "");
  ASSERT_EQ(read.LiveRedemptions.size(), 1u);
  const TLiveRedemption& r = read.LiveRedemptions[0];
  EXPECT_EQ(r.VoucherReference, "DVR-1");
  EXPECT_EQ(r.StoreReference, 12);
  EXPECT_EQ(r.OrderDate, "2026-12-09T10:00:01");
  EXPECT_EQ(r.DiscountAmount, 123450);
  EXPECT_EQ(r.RedeemedOn, "2026-12-09T09:00:02.000Z");
  EXPECT_EQ(r.RequestDigest, "");
}

// The digest of each live redemption and the answer's own time: taken when in form, empty when
// null or absent, and an answer that carries either in another form tells nothing for certain.
TEST(VoucherStatusAnswer, ReadsEachRedemptionsDigestAndTheAnswersTime) {
  const std::string digest = RequestDigest("body");
  auto answer = [](const std::string& digestValue, const std::string& answeredOn) {
    std::string text = R"({"Success":true,"VoucherCode":"SAVE15","LiveRedemptions":[)"
                       R"({"VoucherReference":"DVR-1","DiscountAmount":5)";
    if (!digestValue.empty()) text += R"(,"RequestDigest":)" + digestValue;
    text += "}]";
    if (!answeredOn.empty()) text += R"(,"AnsweredOn":)" + answeredOn;
    return text + "}";
  };
  const std::string quoted = "\"" + digest + "\"";
  const struct {
    std::string Digest, AnsweredOn;  // the members' JSON, empty: absent
    bool Readable;
    std::string ReadDigest, ReadAnsweredOn, Problem;
  } rows[] = {
      {quoted, R"("2026-12-09T13:07:32.418Z")", true, digest, "2026-12-09T13:07:32.418Z", ""},
      {quoted, R"("2026-12-09T13:07:32Z")", true, digest, "2026-12-09T13:07:32Z", ""},
      {"null", "null", true, "", "", ""},
      {"", "", true, "", "", ""},
      {"\"" + UpperAscii(digest) + "\"", "", false, "", "",
       "live redemption 1 has a \"RequestDigest\" that is neither 64 lowercase hex digits nor "
       "null"},
      {"\"" + digest.substr(1) + "\"", "", false, "", "",
       "live redemption 1 has a \"RequestDigest\" that is neither 64 lowercase hex digits nor "
       "null"},
      {"12", "", false, "", "",
       "live redemption 1 has a \"RequestDigest\" that is neither 64 lowercase hex digits nor "
       "null"},
      {quoted, R"("2026-12-09 13:07:32")", false, "", "",
       "the answer has an \"AnsweredOn\" that is no UTC time (YYYY-MM-DDTHH:MM:SSZ)"},
      {quoted, R"("2026-12-09T13:07:32.Z")", false, "", "",
       "the answer has an \"AnsweredOn\" that is no UTC time (YYYY-MM-DDTHH:MM:SSZ)"},
      {quoted, "1765285652", false, "", "",
       "the answer has an \"AnsweredOn\" that is no UTC time (YYYY-MM-DDTHH:MM:SSZ)"},
  };
  for (const auto& row : rows) {
    const std::string text = answer(row.Digest, row.AnsweredOn);
    SCOPED_TRACE(text);
    const TVoucherStatusAnswer read = ReadVoucherStatusAnswer(text, "SAVE15");
    EXPECT_EQ(read.Readable, row.Readable);
    EXPECT_EQ(read.Problem, row.Problem);
    EXPECT_EQ(read.AnsweredOn, row.ReadAnsweredOn);
    if (row.Readable) {
      ASSERT_EQ(read.LiveRedemptions.size(), 1u);
      EXPECT_EQ(read.LiveRedemptions[0].RequestDigest, row.ReadDigest);
    } else {
      EXPECT_TRUE(read.LiveRedemptions.empty());
    }
  }
}

// Two tills of one store send the same code in the same second: only the digest of the body
// tells their redemptions apart, and an entry without one belongs to no request.
TEST(RedemptionMatch, OnlyTheRequestsDigestNamesItsOwn) {
  const std::string mine = RequestDigest("till 1 body");
  const std::string other = RequestDigest("till 2 body");
  const TLiveRedemption own{"DVR-1", 12, "2026-12-09T10:00:01", 10000, "", mine};
  // Same store and second as own: the old rule took it for the request's.
  const TLiveRedemption twinOfOtherTill{"DVR-2", 12, "2026-12-09T10:00:01", 10000, "", other};
  const TLiveRedemption noDigest{"DVR-3", 12, "2026-12-09T10:00:01", 10000, "", ""};
  const TLiveRedemption sameDigest{"DVR-4", 12, "2026-12-09T10:00:01", 10000, "", mine};
  using C = TRedemptionMatchCount;
  const struct {
    const char* Name;
    std::vector<TLiveRedemption> Live;
    std::string Digest;
    C Count;
    std::vector<std::string> References;
  } rows[] = {
      {"none live", {}, mine, C::None, {}},
      {"another till's only", {twinOfOtherTill}, mine, C::None, {}},
      {"one among another till's", {twinOfOtherTill, own}, mine, C::One, {"DVR-1"}},
      {"one beside an entry without digest", {noDigest, own}, mine, C::One, {"DVR-1"}},
      {"two with the digest",
       {own, twinOfOtherTill, sameDigest},
       mine,
       C::Several,
       {"DVR-1", "DVR-4"}},
      {"no match, an entry without digest", {twinOfOtherTill, noDigest}, mine, C::Unknown, {}},
      {"request digest not known", {own, twinOfOtherTill}, "", C::Unknown, {}},
      {"request digest not known, none live", {}, "", C::Unknown, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    const TRedemptionMatch match = MatchLiveRedemptions(row.Live, row.Digest);
    EXPECT_EQ(match.Count, row.Count);
    EXPECT_EQ(match.References, row.References);
    TRedemptionKey key{"SAVE15", 12, "2026-12-09T10:00:01", row.Digest};
    EXPECT_EQ(MatchLiveRedemptions(row.Live, key).Count, row.Count);
  }
}

TEST(RequestDigest, IsTheSHA256OfTheBytesInLowercaseHex) {
  const struct {
    std::string Body;
    const char* Digest;
  } rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      // A NUL inside the body counts like any other byte.
      {std::string("a\0b", 3), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Body);
    const std::string digest = RequestDigest(row.Body);
    EXPECT_TRUE(IsRequestDigest(digest));
    EXPECT_EQ(digest, row.Digest);
  }
  for (const char* bad : {"", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
                          "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a",
                          "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015adz",
                          "ga7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"})
    EXPECT_FALSE(IsRequestDigest(bad)) << bad;
}

}  // namespace
