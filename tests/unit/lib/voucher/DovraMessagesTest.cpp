// The voucher service documents: the check request byte for byte from a varied order, a second
// check and the redeem text, the reversal text, the redeem answer, and where each flow stops
// when the order or the answer lacks a member.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "lib/voucher/DovraMessages.h"
#include "tests/support/ErrorMessage.h"

namespace {

// Days since 1899-12-30 of 2024-03-05.
constexpr double kMarch5th2024 = 45356;
double At(int h, int m, int s) { return kMarch5th2024 + (h * 3600 + m * 60 + s) / 86400.0; }

// A clock that hands out the given times in order and counts its reads.
struct TScriptedClock {
  std::vector<double> Times;
  size_t Reads = 0;
  TLocalClock Fn() {
    return [this] { return Times.at(Reads++); };
  }
};

// An order with every kind a line can carry: integer and money prices, a float quantity, a code
// that is a number, empty codes (skipped), a code with quotes, backslashes, control bytes and
// bytes above 127, a line without quantity, and a large integer.
const char* const kOrder = R"({
  "AfterDisc": 150, "Other": "ignored",
  "LineItems": [
    {"Code": "A1", "Quantity": 2, "Price": 75.25},
    {"Code": "", "Quantity": 1, "Price": 1},
    {"Code": 42, "Quantity": 1.5, "Price": 75.50},
    {"code": "q\"b\\s\t\u0001/\u007f)"
                           "\xC3\xA9"
                           R"(", "QUANTITY": 3, "Price": 0.123456},
    {"Code": "X", "Price": 2147483648},
    {"Code": "", "Quantity": 9}
  ]
})";

const std::string kItems = R"([{"Code":"A1","Quantity":2,"UnitPrice":75.25},)"
                           R"({"Code":42,"Quantity":1.5,"UnitPrice":75.5},)"
                           R"({"Code":"q\"b\\s\t\u0001/)"
                           "\x7f\xC3\xA9"
                           R"(","Quantity":3,"UnitPrice":0.123456},)"
                           R"({"Code":"X","Quantity":null,"UnitPrice":2147483648}])";

}  // namespace

TEST(VoucherCheckRequest, WrittenByteForByteFromTheOrder) {
  const TJSONValue order = ParseJSONDocument(kOrder);
  const TJSONValue request = NewObjectDocument();
  const TJSONValue items = NewVoucherItems(order);
  TScriptedClock clock{{At(14, 7, 31), At(14, 7, 32)}};
  SetVoucherRequest(request, " V\"1\\ ", 17, "0612345678", order, items, clock.Fn());
  EXPECT_EQ(clock.Reads, 2u);
  EXPECT_EQ(request.ToJSON(),
            R"({"VoucherCode":" V\"1\\ ","StoreReference":17,)"
            R"("User":{"Reference":"0612345678","CreatedOn":"2024-03-05T14:07:31"},)"
            R"("VoucherOrder":{"OrderDate":"2024-03-05T14:07:32","TotalPrice":150,"Items":)" +
                kItems + "}}");
  // Values keep the kinds the order gave them.
  EXPECT_EQ(items._(0).Get("UnitPrice").Kind(), TJSONKind::Money);
  EXPECT_EQ(items._(1).Get("Code").Kind(), TJSONKind::Integer);
  EXPECT_EQ(items._(3).Get("UnitPrice").Kind(), TJSONKind::LargeInteger);
  EXPECT_EQ(request.Get("VoucherOrder").Get("TotalPrice").Kind(), TJSONKind::Float);
}

TEST(VoucherCheckRequest, SecondCheckKeepsOrderAndRefreshesDates) {
  const TJSONValue order = ParseJSONDocument(R"({"AfterDisc":99.99,"LineItems":[]})");
  const TJSONValue request = NewObjectDocument();
  const TJSONValue items = NewVoucherItems(order);
  TScriptedClock clock{{At(9, 0, 0), At(9, 0, 1), At(23, 59, 59), At(23, 59, 59) + 1}};
  SetVoucherRequest(request, "FIRST", 1, "u1", order, items, clock.Fn());
  SetVoucherRequest(request, "second", 2, "u2", order, items, clock.Fn());
  const std::string second =
      R"({"VoucherCode":"second","StoreReference":2,)"
      R"("User":{"Reference":"u2","CreatedOn":"2024-03-05T23:59:59"},)"
      R"("VoucherOrder":{"OrderDate":"2024-03-06T23:59:59","TotalPrice":99.99,"Items":[]}})";
  EXPECT_EQ(request.ToJSON(), second);
  // Redeem sends the same document again: same bytes, no clock read.
  EXPECT_EQ(request.ToJSON(), second);
  EXPECT_EQ(clock.Reads, 4u);
}

TEST(VoucherCheckRequest, TotalPriceFollowsTheFloatForm) {
  struct Case {
    const char* afterDisc;
    const char* written;
  } cases[] = {{"150", "150"},
               {"99.99", "99.99"},
               {"150.5", "150.5"},
               {"0.1", "0.1"},
               {"1234.5678", "1234.5678"},
               {"\"12.5\"", "12.5"},
               {"1e3", "1000"},
               {"0.30000000000000004", "0.3"}};
  for (const Case& c : cases) {
    const TJSONValue order =
        ParseJSONDocument(std::string(R"({"LineItems":[],"AfterDisc":)") + c.afterDisc + "}");
    const TJSONValue request = NewObjectDocument();
    TScriptedClock clock{{0, 0}};
    SetVoucherRequest(request, "", 0, "", order, NewVoucherItems(order), clock.Fn());
    EXPECT_EQ(request.Get("VoucherOrder").Get("TotalPrice").ToJSON(), c.written) << c.afterDisc;
  }
}

TEST(VoucherItems, EmptyOrdersGiveAnEmptyArray) {
  for (const char* text : {R"({"LineItems":[]})", R"({"LineItems":[{"Code":""},{"Code":""}]})",
                           R"({"LineItems":{}})"}) {
    EXPECT_EQ(NewVoucherItems(ParseJSONDocument(text)).ToJSON(), "[]") << text;
  }
}

TEST(VoucherItems, StopWhereThePreparationStops) {
  // No "LineItems": its count is asked of null.
  EXPECT_THROW(NewVoucherItems(ParseJSONDocument(R"({"AfterDisc":1})")), EVariantInvalidOpError);
  // Not a document at all.
  EXPECT_THROW(NewVoucherItems(ParseJSONDocument("<html>")), EVariantInvalidOpError);
  // A line without "Code": the lines before it are already taken.
  const TJSONValue items = NewArrayDocument();
  const TJSONValue order = ParseJSONDocument(
      R"({"LineItems":[{"Code":"A","Quantity":1,"Price":2},{"Quantity":1},{"Code":"C"}]})");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { AppendVoucherItems(order, items); }),
            "Could not convert variant of type (Null) into type (String)");
  EXPECT_EQ(items.ToJSON(), R"([{"Code":"A","Quantity":1,"UnitPrice":2}])");
  // A line that is not an object.
  EXPECT_THROW(NewVoucherItems(ParseJSONDocument(R"({"LineItems":[1]})")), EVariantInvalidOpError);
}

TEST(VoucherCheckRequest, MissingTotalStopsAfterUser) {
  const TJSONValue order = ParseJSONDocument(R"({"LineItems":[]})");
  const TJSONValue request = NewObjectDocument();
  TScriptedClock clock{{At(10, 0, 0), At(10, 0, 1)}};
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] {
              SetVoucherRequest(request, "V", 3, "U", order, NewVoucherItems(order), clock.Fn());
            }),
            "Could not convert variant of type (Null) into type (Double)");
  EXPECT_EQ(request.ToJSON(), R"({"VoucherCode":"V","StoreReference":3,)"
                              R"("User":{"Reference":"U","CreatedOn":"2024-03-05T10:00:00"}})");
}

// "Success" counts only as the service's boolean member of an object answer; a success status
// carrying a refusal, an error page or a text "true" must never count as done.
TEST(VoucherServiceSuccess, ReadsOnlyABooleanMemberOfAnObject) {
  const struct {
    const char* Answer;
    std::optional<bool> Success;
  } cases[] = {{R"({"Success":true})", true},
               {R"({"ErrorMessage":"","Success":false})", false},
               {R"({"Success":"true"})", std::nullopt},
               {R"({"Success":1})", std::nullopt},
               {R"([{"Success":true}])", std::nullopt},
               {"null", std::nullopt},
               {"<html>502</html>", std::nullopt},
               {R"({"Success":true)", std::nullopt},
               {"", std::nullopt}};
  for (const auto& c : cases) {
    EXPECT_EQ(ServiceSuccess(c.Answer), c.Success) << c.Answer;
    EXPECT_EQ(ReversalConfirmed(c.Answer, "DVR-1"), c.Success == true) << c.Answer;
  }
}

// A give-back counts only on an answer that can mean nothing else: one strict JSON document whose
// "Success", spelt exactly so, is true, and which names no other redemption than the one asked.
TEST(VoucherReversal, ConfirmedOnlyByAStrictAnswerForItsOwnReference) {
  const struct {
    std::string Answer;
    bool Confirmed;
    std::string Problem;  // StrictJSONProblem of the answer
  } rows[] = {
      {R"({"Success":true})", true, ""},
      {R"({"Success":true,"VoucherReference":"DVR-1","DiscountAmount":5})", true, ""},
      {" \r\n\t{ \"Success\" : true } \n", true, ""},
      {R"({"Success":true,"Note":"\u00e9\ud83d\ude00"})", true, ""},
      {R"({"Success":true} trailing)", false, "text after the document at byte 16"},
      {R"({"Success":true}{"Success":false})", false, "text after the document at byte 16"},
      {R"({'Success':true})", false, "a member name that is not a double-quoted text at byte 1"},
      {R"({Success:true})", false, "a member name that is not a double-quoted text at byte 1"},
      {R"({"success":true})", false, ""},
      {R"({"Success":true,"success":false})", false, ""},
      {R"({"Success":true,"a":NaN})", false, "unexpected 'N' at byte 20"},
      {R"({"Success":true,"a":Infinity})", false, "unexpected 'I' at byte 20"},
      {R"({"Success":True})", false, "unexpected 'T' at byte 11"},
      {R"({"Success":tru})", false,
       "not a JSON value (true, false and null are lower case) at byte 11"},
      {R"({"Success":true,"Success":true})", false, "duplicate member \"Success\" at byte 16"},
      {R"({"Success":true,"Succ\u0065ss":true})", false, "duplicate member \"Success\" at byte 16"},
      {R"({"Success":true,"VoucherReference":"DVR-99999999"})", false, ""},
      {R"({"Success":true,"VoucherReference":null})", false, ""},
      {R"({"Success":true,"voucherreference":"DVR-2"})", false, ""},
      {R"({"Success":"true"})", false, ""},
      {R"({"Success":false,"VoucherReference":"DVR-1"})", false, ""},
      {R"([{"Success":true}])", false, ""},
      {R"({"Success":true,"a":01})", false, "a number with a leading zero at byte 20"},
      {R"({"Success":true,"a":1.})", false, "a number without digits after its point at byte 20"},
      {R"({"Success":true,})", false, "a member name that is not a double-quoted text at byte 16"},
      {"{\"Success\":true,\"a\":\"\x01\"}", false, "a control character inside a text at byte 21"},
      {"{\"Success\":true,\"a\":\"\xc3\x28\"}", false,
       "bytes that are not UTF-8 inside a text at byte 21"},
      {R"({"Success":true,"a":"\x"})", false, "an escape JSON does not have at byte 21"},
      {R"({"Success":true)", false, "the text ends inside an object at byte 15"},
      {"", false, "no JSON value at byte 0"},
      {std::string(600, '[') + std::string(600, ']'), false, "nesting deeper than 512 at byte 512"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Answer.substr(0, 80));
    EXPECT_EQ(ReversalConfirmed(row.Answer, "DVR-1"), row.Confirmed);
    EXPECT_EQ(StrictJSONProblem(row.Answer), row.Problem);
  }
  // The lenient reading stays as documented: trailing text and single quotes still parse.
  EXPECT_EQ(ServiceSuccess(R"({'Success':true} trailing)"), true);
}

TEST(VoucherReversal, RequestTextEscapesTheReference) {
  EXPECT_EQ(ReversalRequestText("RDM-0001"), R"({"VoucherReference":"RDM-0001"})");
  EXPECT_EQ(ReversalRequestText("a\"b\\c\nd'e\x01\xff"),
            "{\"VoucherReference\":\"a\\\"b\\\\c\\nd'e\\u0001\xff\"}");
  EXPECT_EQ(ReversalRequestText(""), R"({"VoucherReference":""})");
}

TEST(VoucherRedeemAnswer, ReadsAmountReferenceAndCode) {
  TRedeemAnswer a;
  ReadRedeemAnswer(
      R"({"Success":true,"DiscountAmount":12.5,"VoucherReference":"R-1","VoucherCode":"ABC"})", a);
  EXPECT_EQ(a.DiscountAmount, 125000);
  EXPECT_EQ(a.VoucherReference, "R-1");
  EXPECT_EQ(a.VoucherCode, "ABC");
  struct Case {
    const char* amount;
    TCurrency money;
  } cases[] = {{"12.345", 123450},
               {"12.34567", 123457},
               {"0", 0},
               {"-1.5", -15000},
               {"1e2", 1000000},
               {"\"7.25\"", 72500},
               {"0.00005", 0},
               {"0.00025", 2},
               {"0.00035", 4},
               {"2.00025", 20002},
               {"2147483648", 21474836480000}};
  for (const Case& c : cases) {
    const TJSONValue answer =
        ParseJSONDocument(std::string(R"({"DiscountAmount":)") + c.amount + "}");
    EXPECT_EQ(RedeemDiscountAmount(answer), c.money) << c.amount;
  }
}

// Whole amounts too large for a double to carry every ten-thousandth are read exactly, up to the
// top of the money range; one unit beyond it is refused.
TEST(VoucherRedeemAnswer, WholeAmountsStayExactToTheTopOfTheMoneyRange) {
  struct Case {
    const char* amount;
    TCurrency money;
  } cases[] = {{"900719925474100", 9007199254741000000},
               {"922337203685477", 9223372036854770000},
               {"-922337203685477", -9223372036854770000}};
  for (const Case& c : cases) {
    const TJSONValue answer =
        ParseJSONDocument(std::string(R"({"DiscountAmount":)") + c.amount + "}");
    EXPECT_EQ(RedeemDiscountAmount(answer), c.money) << c.amount;
  }
  EXPECT_THROW(RedeemDiscountAmount(ParseJSONDocument(R"({"DiscountAmount":922337203685478})")),
               EVariantTypeCastError);
}

TEST(VoucherRedeemAnswer, MissingMembersRaiseInReadingOrder) {
  const auto Read = [](std::string_view text) {
    TRedeemAnswer read;
    ReadRedeemAnswer(text, read);
  };
  EXPECT_EQ(MessageOf<EVariantTypeCastError>(
                [&] { Read(R"({"VoucherReference":"R","VoucherCode":"C"})"); }),
            "Could not convert variant of type (Null) into type (Double)");
  EXPECT_EQ(
      MessageOf<EVariantTypeCastError>([&] { Read(R"({"DiscountAmount":1,"VoucherCode":"C"})"); }),
      "Could not convert variant of type (Null) into type (String)");
  EXPECT_THROW(Read(R"({"DiscountAmount":1,"VoucherReference":"R"})"), EVariantTypeCastError);
  EXPECT_THROW(Read("null"), EVariantTypeCastError);
  EXPECT_THROW(Read("<html>502</html>"), EVariantInvalidOpError);
  EXPECT_THROW(Read(""), EVariantInvalidOpError);
  EXPECT_THROW(Read(R"({"DiscountAmount":"lots","VoucherReference":"R"})"), EVariantTypeCastError);
  EXPECT_THROW(Read(R"({"DiscountAmount":1e300})"), EVariantTypeCastError);
  // What could be read is kept when a member is missing: the payment method records it.
  TRedeemAnswer partial;
  EXPECT_THROW(ReadRedeemAnswer(R"({"VoucherReference":"R","VoucherCode":"C"})", partial),
               EVariantTypeCastError);
  EXPECT_FALSE(partial.HasAmount);
  EXPECT_TRUE(partial.HasReference);
  EXPECT_EQ(partial.VoucherCode, "C");
}

TEST(VoucherClock, LocalNowReadsTheLocalTime) {
  const time_t now = time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char expected[32];
  strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M", &local);
  // Minutes only: the two reads may straddle a second, rarely a minute.
  const std::string text = DateTimeToISO8601(LocalNow());
  EXPECT_EQ(text.size(), 19u);
  if (local.tm_sec < 59) {
    EXPECT_EQ(text.substr(0, 16), expected);
  }
}
