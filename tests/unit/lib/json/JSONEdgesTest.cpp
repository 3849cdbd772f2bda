// Values at the edges of their kinds: money at both ends of its range, numbers too small for a
// double, integers past either end of the 64-bit range, and documents built deeper than the
// parser reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "lib/json/clsJSONDocument.h"

namespace {

TJSONValue ParseItem(const std::string& itemText) {
  const TJSONValue doc = ParseJSONDocument("[" + itemText + "]");
  if (!doc.IsDocument()) return {};
  return doc._(0);
}

}  // namespace

TEST(JSONEdges, MoneyReachesBothEndsOfItsRange) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    const char* text;
    int64_t money;
    const char* written;
  } cases[] = {
      {"922337203685477.5807", kMax, "922337203685477.5807"},
      {"-922337203685477.5808", kMin, "-922337203685477.5808"},
      {"+922337203685477.5807", kMax, "922337203685477.5807"},
      {"922337203685477.58", 9223372036854775800, "922337203685477.58"},
      {"-922337203685477.5", -9223372036854775000, "-922337203685477.5"},
      {"922337203685477.0001", 9223372036854770001, "922337203685477.0001"},
      {"-922337203685477.0", -9223372036854770000, "-922337203685477"},
      {"922337203685476.9999", 9223372036854769999, "922337203685476.9999"},
  };
  for (const Case& c : cases) {
    const TJSONValue v = ParseItem(c.text);
    ASSERT_EQ(v.Kind(), TJSONKind::Money) << c.text << " read as " << v.KindName();
    EXPECT_EQ(v.AsInt64(), c.money) << c.text;
    EXPECT_EQ(v.ToMoney(), c.money) << c.text;
    EXPECT_EQ(v.ToJSON(), c.written) << c.text;
  }
  // One ten-thousandth past either end is no money.
  for (const char* past : {"922337203685477.5808", "-922337203685477.5809", "922337203685478.0"})
    EXPECT_EQ(ParseItem(past).Kind(), TJSONKind::Float) << past;
}

TEST(JSONEdges, NumbersTooSmallForADoubleAreFloatZero) {
  const std::string zeros(400, '0');
  const std::string tooSmall[] = {
      "1e-400",
      "-1e-400",
      "+1e-400",
      "2e-324",
      "0.5E-330",
      ".5e-400",
      "1e-99999999999999999999",
      "0." + zeros + "1",
      "-0." + zeros + "7",
      "0." + zeros + "1e+50",
      "1" + zeros + "e-800",
  };
  for (const std::string& text : tooSmall) {
    const TJSONValue v = ParseItem(text);
    ASSERT_EQ(v.Kind(), TJSONKind::Float) << text << " read as " << v.KindName();
    EXPECT_EQ(v.AsFloat(), 0) << text;
    EXPECT_EQ(v.ToJSON(), "0") << text;
    EXPECT_EQ(TJSONValue(text).ToFloat(), 0) << text;
  }
  // The smallest doubles are read as they are; numbers too large for one have no value at all.
  EXPECT_EQ(ParseItem("3e-324").AsFloat(), std::strtod("3e-324", nullptr));
  const std::string tooLarge[] = {"-1e400", "1" + zeros, "0.0000001e400", "1" + zeros + "e-50",
                                  "0." + zeros + "1e+800"};
  for (const std::string& text : tooLarge) {
    EXPECT_EQ(ParseItem(text).Kind(), TJSONKind::Text) << text;
    EXPECT_THROW(TJSONValue(text).ToFloat(), EVariantTypeCastError) << text;
  }
}

// Both ends alike: past the 64-bit range an integer is a float, and what is written for it
// reads back as a float of the same value, not as a 64-bit integer.
TEST(JSONEdges, IntegersPastEitherEndOfTheRangeAreFloats) {
  for (const char* text :
       {"-9223372036854775809", "9223372036854775808", "-9223372036854775810",
        "9223372036854775809", "-18446744073709551616", "-99999999999999999999"}) {
    const TJSONValue v = ParseItem(text);
    ASSERT_EQ(v.Kind(), TJSONKind::Float) << text;
    EXPECT_EQ(v.AsFloat(), std::strtod(text, nullptr)) << text;
    const TJSONValue back = ParseItem(v.ToJSON());
    EXPECT_EQ(back.Kind(), TJSONKind::Float) << text << " written " << v.ToJSON();
    EXPECT_EQ(back.AsFloat(), v.AsFloat()) << text;
  }
  EXPECT_EQ(ParseItem("-9223372036854775808").Kind(), TJSONKind::LargeInteger);
}

// Far deeper than the parser reads and the call stack holds: written in full (each document
// taken up again after the one nested in it) and dropped, also when a part deep inside is still
// held elsewhere.
TEST(JSONEdges, DocumentsBuiltDeeperThanTheParserReadsAreWrittenAndDropped) {
  constexpr int kDepth = 300000;
  constexpr int kMiddle = kDepth / 2;
  TJSONValue root = NewArrayDocument();
  TJSONValue middle;
  {
    TJSONValue at = root;
    for (int i = 1; i < kDepth; ++i) {  // arrays hold an object and a text, objects an array
      const TJSONValue next = i % 2 ? NewObjectDocument({"n", i}) : NewArrayDocument({i});
      if (i % 2) {
        at.Add(next);
        at.Add("t");
      } else {
        at.Set("next", next);
      }
      at = next;
      if (i == kMiddle) middle = at;
    }
  }
  // The text of the documents from one level down, built level by level.
  const auto textFrom = [](int level) {
    std::string opening, closing;
    for (int i = level; i < kDepth; ++i) {
      const bool last = i + 1 == kDepth;
      if (i % 2) {
        opening += "{\"n\":" + std::to_string(i) + (last ? "" : ",\"next\":");
        closing += '}';
      } else {
        opening += "[" + (i ? std::to_string(i) + (last ? "" : ",") : "");
        closing += last ? "]" : "]\"t\",";  // reversed below
      }
    }
    return opening + std::string(closing.rbegin(), closing.rend());
  };
  const std::string middleText = textFrom(kMiddle);
  EXPECT_EQ(root.ToJSON(), textFrom(0));
  root = TJSONValue();
  EXPECT_EQ(middle.ToJSON(), middleText);
  middle = TJSONValue();
}
