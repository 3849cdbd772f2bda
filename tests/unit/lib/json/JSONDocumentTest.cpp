// JSON values: what the parser makes of each form of text, what the writer gives back byte for
// byte, the document operations and the conversions with their error messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "lib/json/clsJSONDocument.h"
#include "lib/json/clsJSONDocumentTesting.h"
#include "tests/support/ErrorMessage.h"

namespace {

std::string RoundTrip(std::string_view text) { return ParseJSONDocument(text).ToJSON(); }

// The single value of a one-item array.
TJSONValue ParseItem(std::string_view itemText) {
  const TJSONValue doc = ParseJSONDocument("[" + std::string(itemText) + "]");
  if (!doc.IsDocument()) return {};
  return doc._(0);
}

std::string FloatText(double v) {
  std::string s;
  AppendJSONFloat(s, v);
  return s;
}

std::string MoneyText(TCurrency v) {
  std::string s;
  AppendJSONMoney(s, v);
  return s;
}

// The float rule done the plain way, on printf's fixed form: 15 decimals, keep 15 digits (the
// leading 0 of a value below 1 counts), raise on a dropped 6 to 9, strip zeros.
std::string FloatByRule(double v) {
  if (v == 0) return "0";
  char buf[80];
  std::snprintf(buf, sizeof buf, "%.15f", std::fabs(v));
  std::string s = buf;
  const size_t point = s.find('.');
  const size_t keepDecimals = 15 - point;
  std::string digits = s.substr(0, point) + s.substr(point + 1, keepDecimals);
  const char dropped = s[point + 1 + keepDecimals];
  if (dropped >= '6') {
    size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0)
      digits.insert(digits.begin(), '1');
    else
      ++digits[i - 1];
  }
  std::string whole = digits.substr(0, digits.size() - keepDecimals);
  std::string frac = digits.substr(digits.size() - keepDecimals);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  std::string r = whole + (frac.empty() ? "" : "." + frac);
  if (r == "0") return r;
  return (v < 0 ? "-" : "") + r;
}

// Days since 1899-12-30 of 2024-03-05.
constexpr double kMarch5th2024 = 45356;
double TimeOfDay(int h, int m, double s) { return (h * 3600 + m * 60 + s) / 86400.0; }

}  // namespace

TEST(JSONParseNumbers, ClassifiesEachForm) {
  struct Case {
    const char* text;
    TJSONKind kind;
    const char* written;
  } cases[] = {
      {"7", TJSONKind::Integer, "7"},
      {"-7", TJSONKind::Integer, "-7"},
      {"+7", TJSONKind::Integer, "7"},
      {"-0", TJSONKind::Integer, "0"},
      {"2147483647", TJSONKind::Integer, "2147483647"},
      {"-2147483648", TJSONKind::Integer, "-2147483648"},
      {"2147483648", TJSONKind::LargeInteger, "2147483648"},
      {"-2147483649", TJSONKind::LargeInteger, "-2147483649"},
      {"9223372036854775807", TJSONKind::LargeInteger, "9223372036854775807"},
      {"-9223372036854775808", TJSONKind::LargeInteger, "-9223372036854775808"},
      {"75.25", TJSONKind::Money, "75.25"},
      {"75.50", TJSONKind::Money, "75.5"},
      {"12.5", TJSONKind::Money, "12.5"},
      {"1.2345", TJSONKind::Money, "1.2345"},
      {"-0.5", TJSONKind::Money, "-0.5"},
      {"150.0000", TJSONKind::Money, "150"},
      {"1.23456", TJSONKind::Float, "1.23456"},
      {"0.123456", TJSONKind::Float, "0.123456"},
      {"1e3", TJSONKind::Float, "1000"},
      {"-2.5E-1", TJSONKind::Float, "-0.25"},
      {"1.e5", TJSONKind::Float, "100000"},
      {"5.", TJSONKind::Float, "5"},
      {"99999999999999999999", TJSONKind::Float, "1e+20"},
      {"abc", TJSONKind::Text, "\"abc\""},
      {"1.2.3", TJSONKind::Text, "\"1.2.3\""},
      {"-", TJSONKind::Text, "\"-\""},
      {"1-2", TJSONKind::Text, "\"1-2\""},
      {"+-5", TJSONKind::Text, "\"+-5\""},
      {"+2.5e1", TJSONKind::Float, "25"},
      {"nan", TJSONKind::Text, "\"nan\""},
      {"1e999", TJSONKind::Text, "\"1e999\""},
      {"NULL", TJSONKind::Text, "\"NULL\""},
      {"null", TJSONKind::Null, "null"},
      {"true", TJSONKind::Boolean, "true"},
      {"false", TJSONKind::Boolean, "false"},
  };
  for (const Case& c : cases) {
    const TJSONValue v = ParseItem(c.text);
    EXPECT_EQ(v.Kind(), c.kind) << c.text << " read as " << v.KindName();
    EXPECT_EQ(v.ToJSON(), c.written) << c.text;
  }
  EXPECT_EQ(ParseItem("75.25").AsInt64(), 752500);
  EXPECT_EQ(ParseItem("-0.0001").AsInt64(), -1);
  EXPECT_EQ(ParseItem(".5").AsInt64(), 5000);
  EXPECT_EQ(ParseItem("2147483648").AsInt64(), 2147483648LL);
}

// Plain decimal numbers of every length: integers and money exactly, longer fractions as the
// nearest double (what a full decimal reader gives), whatever the number of digits.
TEST(JSONParseNumbers, PlainDecimalsOfEveryLengthReadExactly) {
  std::mt19937_64 rng(20240305);
  for (int n = 0; n < 20000; ++n) {
    const int wholeDigits = 1 + static_cast<int>(rng() % 19);
    const int decimals = static_cast<int>(rng() % 20);
    std::string text = rng() % 2 ? "-" : "";
    for (int i = 0; i < wholeDigits; ++i) text += static_cast<char>('0' + rng() % 10);
    if (decimals > 0) text += '.';
    for (int i = 0; i < decimals; ++i) text += static_cast<char>('0' + rng() % 10);
    const TJSONValue v = ParseItem(text);
    if (decimals == 0) {
      const long long expected = std::strtoll(text.c_str(), nullptr, 10);
      if (expected >= INT32_MIN && expected <= INT32_MAX) {
        ASSERT_EQ(v.Kind(), TJSONKind::Integer) << text;
        EXPECT_EQ(v.AsInteger(), expected) << text;
      } else if (errno = 0, std::strtoll(text.c_str(), nullptr, 10), errno == 0) {
        ASSERT_EQ(v.Kind(), TJSONKind::LargeInteger) << text;
        EXPECT_EQ(v.AsInt64(), expected) << text;
      }
    } else if (decimals <= 4 && wholeDigits <= 14) {
      ASSERT_EQ(v.Kind(), TJSONKind::Money) << text;
      std::string digits = text;
      digits.erase(digits.find('.'), 1);
      digits.append(static_cast<size_t>(4 - decimals), '0');
      EXPECT_EQ(v.AsInt64(), std::strtoll(digits.c_str(), nullptr, 10)) << text;
    } else if (decimals > 4) {
      ASSERT_EQ(v.Kind(), TJSONKind::Float) << text;
      EXPECT_EQ(v.AsFloat(), std::strtod(text.c_str(), nullptr)) << text;
      EXPECT_EQ(std::signbit(v.AsFloat()), text[0] == '-') << text;
    }
  }
}

TEST(JSONParseTexts, DecodesEscapes) {
  EXPECT_EQ(ParseItem(R"("a\b\f\n\r\t\/\q\\\"")").AsText(), "a\b\f\n\r\t/q\\\"");
  EXPECT_EQ(ParseItem(R"("\u0041\u00e9\u20AC")").AsText(), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(ParseItem(R"("x\u0000y")").AsText(), "x?y");
  // A raw NUL reads as the escaped one does, in plain and escaped texts and in member names.
  using namespace std::string_literals;
  EXPECT_EQ(ParseItem("\"x\0y\0\""s).AsText(), "x?y?");
  EXPECT_EQ(ParseItem("\"\\n\0\""s).AsText(), "\n?");
  EXPECT_EQ(ParseItem("\"a\\\0b\0\\\0\""s).AsText(), "a?b??");  // escaped by a backslash too
  const TJSONValue named = ParseJSONDocument("{\"a\0\":1}"s);
  const TJSONValue* member = named.Find("a?");
  ASSERT_NE(member, nullptr);
  EXPECT_EQ(member->ToText(), "1");
  // A surrogate pair is one code point of four bytes; a lone half keeps its three bytes.
  EXPECT_EQ(ParseItem(R"("\ud83d\ude00")").AsText(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ParseItem(R"("\ud83dx")").AsText(), "\xED\xA0\xBDx");
  EXPECT_EQ(ParseItem(R"("\ud83d\u0041")").AsText(),
            "\xED\xA0\xBD"
            "A");
  // A malformed escape gives "?" and the text after "\u" is kept.
  EXPECT_EQ(ParseItem(R"("\u12G4")").AsText(), "?12G4");
  EXPECT_EQ(ParseItem(R"("\u12")").AsText(), "?12");
  // Raw bytes, including those above 127, are taken as they are.
  EXPECT_EQ(ParseItem("\"\xff\x7f\x01\"").AsText(), "\xff\x7f\x01");
}

// Escapes at every position against the eight-byte scan, in texts of every length up to the
// scan width and past it, and with both kinds of quotes around names.
TEST(JSONParseTexts, EscapesAtEveryPositionOfLongTexts) {
  const std::string plain = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ";
  for (size_t length = 0; length <= plain.size(); ++length) {
    for (size_t at = 0; at <= length; ++at) {
      const std::string head = plain.substr(0, at), tail = plain.substr(at, length - at);
      EXPECT_EQ(ParseItem("\"" + head + tail + "\"").AsText(), head + tail);
      EXPECT_EQ(ParseItem("\"" + head + "\\\"" + tail + "\"").AsText(), head + "\"" + tail);
      EXPECT_EQ(ParseItem("\"" + head + "\\u00e9\\n" + tail + "\"").AsText(),
                head + "\xC3\xA9\n" + tail);
      EXPECT_EQ(ParseItem("\"" + head + "'\\\\" + tail + "\"").AsText(), head + "'\\" + tail);
      const TJSONValue doc = ParseJSONDocument("{'" + head + "\\'" + tail + "':1}");
      ASSERT_TRUE(doc.IsDocument()) << head << tail;
      EXPECT_EQ(doc.ToJSON(), "{\"" + head + "'" + tail + "\":1}");
    }
    // Unclosed, or closed only by an escaped quote: no text.
    EXPECT_TRUE(ParseJSONDocument("[\"" + plain.substr(0, length)).IsEmpty());
    EXPECT_TRUE(ParseJSONDocument("[\"" + plain.substr(0, length) + "\\\"]").IsEmpty());
    EXPECT_TRUE(ParseJSONDocument("[\"" + plain.substr(0, length) + "\\").IsEmpty());
  }
}

TEST(JSONParseNames, AcceptsTheLenientForms) {
  const TJSONValue doc =
      ParseJSONDocument("{ bare : 1, 'single' : 2, $x.y_z = 3, \"q\\\"uote\" :4,9lives:5}");
  ASSERT_TRUE(doc.IsDocument());
  EXPECT_EQ(doc.ToJSON(), R"({"bare":1,"single":2,"$x.y_z":3,"q\"uote":4,"9lives":5})");
  // "=" belongs to bare names only.
  EXPECT_TRUE(ParseJSONDocument(R"({"a"=1})").IsEmpty());
  EXPECT_TRUE(ParseJSONDocument(R"({-a:1})").IsEmpty());
}

TEST(JSONParseTopLevel, NullWordGivesAnEmptyObject) {
  for (const char* text : {"null", "NULL", "  nUlL", "Null\n"}) {
    const TJSONValue v = ParseJSONDocument(text);
    ASSERT_TRUE(v.IsDocument()) << text;
    EXPECT_TRUE(v.Document()->IsObject());
    EXPECT_EQ(v.Count(), 0);
    EXPECT_EQ(v.ToJSON(), "{}");
    EXPECT_TRUE(v.Get("Success").IsNull());
  }
}

TEST(JSONParseTopLevel, MalformedInputGivesEmpty) {
  const char* bad[] = {"",
                       "   ",
                       "nul",
                       "abc",
                       "<html><body>502</body>",
                       "\"text\"",
                       "123",
                       "{",
                       "[",
                       "{\"a\":1",
                       "[1,2",
                       "{\"a\"}",
                       "{\"a\":}",
                       "[1,]",
                       "{,}",
                       "{\"a\":1,}",
                       "[\"abc]",
                       "[\"a\\",
                       "{'a:1}",
                       "[1 2]",
                       "{\"a\":1 \"b\":2}",
                       "[,]",
                       "{\"a\"::1}",
                       "[\"x\"y]",
                       "{\"a\":{\"b\":[}}"};
  for (const char* text : bad) {
    const TJSONValue v = ParseJSONDocument(text);
    EXPECT_TRUE(v.IsEmpty()) << text << " gave " << v.KindName();
    EXPECT_FALSE(v.IsDocument());
  }
  // Text cut anywhere inside a valid document never parses and never reads past the cut.
  const std::string full = R"({"a":[1,2.5,"x\u0041",{"b":null}],'c':true})";
  for (size_t n = 0; n < full.size(); ++n) {
    const std::string cut = full.substr(0, n);  // own buffer: ASan sees any overrun
    EXPECT_TRUE(ParseJSONDocument(cut).IsEmpty()) << cut;
  }
  EXPECT_EQ(RoundTrip(full), R"({"a":[1,2.5,"xA",{"b":null}],"c":true})");
}

TEST(JSONParseTopLevel, DeepNestingIsRefusedNotOverflowed) {
  const std::string deep(200000, '[');
  EXPECT_TRUE(ParseJSONDocument(deep).IsEmpty());
  const std::string ok = std::string(100, '[') + std::string(100, ']');
  EXPECT_EQ(RoundTrip(ok), ok);
}

TEST(JSONWrite, MoneyKeepsOnlyNeededDecimals) {
  EXPECT_EQ(MoneyText(1000), "0.1");
  EXPECT_EQ(MoneyText(-25000), "-2.5");
  EXPECT_EQ(MoneyText(752500), "75.25");
  EXPECT_EQ(MoneyText(1500000), "150");
  EXPECT_EQ(MoneyText(0), "0");
  EXPECT_EQ(MoneyText(1), "0.0001");
  EXPECT_EQ(MoneyText(-1), "-0.0001");
  EXPECT_EQ(MoneyText(INT64_MIN), "-922337203685477.5808");
  EXPECT_EQ(MoneyText(INT64_MAX), "922337203685477.5807");
}

TEST(JSONWrite, FloatKeepsFifteenDigits) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {
      {0.1, "0.1"},
      {1234.5678, "1234.5678"},
      {150.5, "150.5"},
      {150.0, "150"},
      {99.99, "99.99"},
      {-0.0, "0"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3, "0.33333333333333"},
      {2.0 / 3, "0.66666666666667"},
      {-2.0 / 3, "-0.66666666666667"},
      // A first dropped digit of 5 does not raise the last kept one; 6 does.
      {0.123456789012345, "0.12345678901234"},
      {0.123456789012346, "0.12345678901235"},
      {12345.678901234567, "12345.6789012346"},
      {100000000000000.5, "100000000000000"},
      {123456789012345.6, "123456789012345"},   // stored as ...345.59375
      {999999999999999.9, "1000000000000000"},  // carry into a new leading digit
      {9.999999999999998, "10"},
      {0.9999999999999999, "1"},
      {5e-15, "0"},
      {6e-15, "0.00000000000001"},
      {1e-20, "0"},
      {-1e-20, "0"},
      {3.14159265358979, "3.14159265358979"},
      {1e15, "1e+15"},
      {-1234567890123456.0, "-1234567890123456"},
  };
  for (const Case& c : cases) EXPECT_EQ(FloatText(c.v), c.text) << c.v;
}

TEST(JSONWrite, FloatMatchesTheRuleAcrossMagnitudes) {
  std::mt19937_64 random(20261209);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-17, 14);
  for (int i = 0; i < 200000; ++i) {
    double v = mantissa(random) * std::pow(10.0, exponent(random));
    if (i % 4 == 1) v = std::round(v * 10000) / 10000;               // prices and amounts
    if (i % 4 == 2) v = static_cast<double>(static_cast<float>(v));  // long binary tails
    if (std::fabs(v) >= 1e15) continue;
    ASSERT_EQ(FloatText(v), FloatByRule(v)) << std::hexfloat << v;
  }
}

TEST(JSONWrite, EscapesTextsByteByByte) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  const std::string written = TJSONValue(all).ToJSON();
  std::string expected =
      "\"\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r";
  for (int c = 14; c < 32; ++c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\u%04x", c);
    expected += hex;
  }
  expected += " !\\\"#$%&'()*+,-./";
  for (int c = '0'; c < 256; ++c) {
    if (c == '\\')
      expected += "\\\\";
    else
      expected += static_cast<char>(c);
  }
  expected += '"';
  EXPECT_EQ(written, expected);
  // Byte 0 ends the text, in names too.
  EXPECT_EQ(TJSONValue(std::string("ab\0cd", 5)).ToJSON(), "\"ab\"");
  const TJSONValue obj = NewObjectDocument({std::string("k\0x", 3), 1});
  EXPECT_EQ(obj.ToJSON(), "{\"k\":1}");
  // What was written parses back to the same bytes.
  const TJSONValue back = ParseJSONDocument("[" + written + "]");
  EXPECT_EQ(back._(0).AsText(), all);
}

// Short and long texts and names with one byte that needs escaping at each position, so that
// every way of testing a text for escapes (whole words, the overlapping last word, the short
// text inside its own buffer) meets it; bytes kept past a text's end are not part of it.
TEST(JSONWrite, EscapesFoundAtEveryPositionOfShortAndLongTexts) {
  const std::pair<char, const char*> specials[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\x01', "\\u0001"}, {'\x1f', "\\u001f"}, {'\n', "\\n"}};
  for (size_t length = 1; length <= 20; ++length) {
    const std::string plain = std::string(length, 'x');
    EXPECT_EQ(TJSONValue(plain).ToJSON(), "\"" + plain + "\"");
    for (size_t at = 0; at < length; ++at) {
      for (const auto& [byte, escaped] : specials) {
        std::string text = plain;
        text[at] = byte;
        const std::string expected =
            "\"" + plain.substr(0, at) + escaped + plain.substr(at + 1) + "\"";
        EXPECT_EQ(TJSONValue(text).ToJSON(), expected) << length << " " << at;
        EXPECT_EQ(NewObjectDocument({text, 1}).ToJSON(), "{" + expected + ":1}")
            << length << " " << at;
      }
    }
  }
  for (size_t length = 0; length < 8; ++length) {
    std::string text = "\"\"\"\"\"\"\"\"\\\\\\\\";
    text.replace(0, length, std::string(length, 'y'));
    text.resize(length);  // the quotes and backslashes stay in the buffer past the end
    EXPECT_EQ(TJSONValue(text).ToJSON(), "\"" + std::string(length, 'y') + "\"");
    EXPECT_EQ(NewObjectDocument({text, 1}).ToJSON(), "{\"" + std::string(length, 'y') + "\":1}");
  }
}

TEST(JSONDocuments, BuildAndWrite) {
  EXPECT_EQ(NewObjectDocument().ToJSON(), "{}");
  EXPECT_EQ(NewArrayDocument().ToJSON(), "[]");
  const TJSONValue obj =
      NewObjectDocument({"i", 5, "b", true, "f", 0.5, "m", TJSONMoney{12345}, "t", "x", "l",
                         int64_t{1} << 40, "n", nullptr, "e", TJSONValue(), "odd"});
  EXPECT_EQ(obj.ToJSON(),
            R"({"i":5,"b":true,"f":0.5,"m":1.2345,"t":"x","l":1099511627776,"n":null,"e":null})");
  EXPECT_EQ(obj.Get("f").Kind(), TJSONKind::Float);
  EXPECT_EQ(obj.Get("m").Kind(), TJSONKind::Money);
  EXPECT_EQ(NewArrayDocument({1, "a", nullptr}).ToJSON(), R"([1,"a",null])");
  // Writing appends to what the buffer already holds, also past its first growth.
  std::string out = "prefix:";
  out.reserve(4096);
  obj.WriteJSON(out);
  const TJSONValue big = NewArrayDocument({std::string(1000, 'x'), std::string(300, '\t')});
  big.WriteJSON(out);
  EXPECT_EQ(
      out, "prefix:" + obj.ToJSON() + "[\"" + std::string(1000, 'x') + "\",\"" + [] {
        std::string t;
        for (int i = 0; i < 300; ++i) t += "\\t";
        return t;
      }() + "\"]");
}

TEST(JSONDocuments, MembersAreFoundInAnyCaseAndReplacedInPlace) {
  const TJSONValue obj = NewObjectDocument({"First", 1, "Second", 2});
  obj.Set("third", 3);
  obj.Set("FIRST", "one");
  obj.Set("second", nullptr);
  EXPECT_EQ(obj.ToJSON(), R"({"First":"one","Second":null,"third":3})");
  EXPECT_EQ(obj.Get("THIRD").AsInteger(), 3);
  EXPECT_TRUE(obj.Get("missing").IsNull());
  EXPECT_EQ(obj.Find("missing"), nullptr);
  // Parsed duplicates are kept; reads and writes go to the first.
  const TJSONValue dup = ParseJSONDocument(R"({"a":1,"A":2})");
  EXPECT_EQ(dup.Get("a").AsInteger(), 1);
  dup.Set("A", 9);
  EXPECT_EQ(dup.ToJSON(), R"({"a":9,"A":2})");
}

TEST(JSONDocuments, CountIndexAndAdd) {
  const TJSONValue doc = ParseJSONDocument(R"({"items":[10,20,30],"x":"y"})");
  const TJSONValue items = doc.Get("Items");
  EXPECT_EQ(items.Get("_Count").AsInteger(), 3);
  EXPECT_EQ(items.Get("_COUNT").AsInteger(), 3);
  EXPECT_EQ(doc.Get("_count").AsInteger(), 2);
  EXPECT_EQ(items._(2).AsInteger(), 30);
  EXPECT_EQ(doc._(1).AsText(), "y");
  EXPECT_TRUE(items.Get("_Count") > TJSONValue(0));
  EXPECT_FALSE(NewArrayDocument().Get("_Count") > TJSONValue(0));
  EXPECT_EQ(MessageOf<EJSONDocumentError>([&] { items._(3); }), "Out of range [3] (count=3)");
  EXPECT_EQ(MessageOf<EJSONDocumentError>([&] { items._(-1); }), "Out of range [-1] (count=3)");
  items.Add(40);
  EXPECT_EQ(doc.ToJSON(), R"({"items":[10,20,30,40],"x":"y"})");
  EXPECT_THROW(doc.Add(1), EVariantInvalidOpError);
  EXPECT_THROW(items.Set("a", 1), EVariantInvalidOpError);
}

TEST(JSONDocuments, DocumentsAreSharedOnCopy) {
  const TJSONValue items = NewArrayDocument();
  const TJSONValue request = NewObjectDocument({"Items", items});
  TJSONValue alias = items;
  alias.Add(1);
  EXPECT_EQ(request.ToJSON(), R"({"Items":[1]})");
  // A value replaced by one of its own members keeps that member alive.
  TJSONValue holder = ParseJSONDocument(R"({"inner":{"k":"v"}})");
  holder = holder.Get("inner");
  EXPECT_EQ(holder.ToJSON(), R"({"k":"v"})");
  holder = holder._(0);
  EXPECT_EQ(holder.AsText(), "v");
}

TEST(JSONDocuments, OperationsOnNonDocumentsAreInvalid) {
  const TJSONValue values[] = {TJSONValue(), TJSONValue(nullptr), TJSONValue(3), TJSONValue("t")};
  for (const TJSONValue& v : values) {
    EXPECT_FALSE(v.IsDocument());
    EXPECT_THROW(v.Get("Success"), EVariantInvalidOpError) << v.KindName();
    EXPECT_THROW(v.Count(), EVariantInvalidOpError);
    EXPECT_THROW(v._(0), EVariantInvalidOpError);
    EXPECT_THROW(v.Add(1), EVariantInvalidOpError);
    EXPECT_THROW(v.Set("a", 1), EVariantInvalidOpError);
  }
  EXPECT_EQ(MessageOf<EVariantInvalidOpError>([] { TJSONValue(nullptr).Get("LineItems"); }),
            "Invalid variant operation: member \"LineItems\" on a value of type (Null)");
  EXPECT_EQ(MessageOf<EVariantInvalidOpError>([] { TJSONValue().Count(); }),
            "Invalid variant operation: _Count on a value of type (Empty)");
}

TEST(JSONConversions, NullRaisesTheConversionError) {
  const TJSONValue n(nullptr);
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { n.ToText(); }),
            "Could not convert variant of type (Null) into type (String)");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { n.ToBoolean(); }),
            "Could not convert variant of type (Null) into type (Boolean)");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { n.ToFloat(); }),
            "Could not convert variant of type (Null) into type (Double)");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { n.ToInteger(); }),
            "Could not convert variant of type (Null) into type (Integer)");
  // They cross into the host as standard errors.
  EXPECT_THROW(n.ToText(), std::runtime_error);
  EXPECT_THROW(TJSONValue().Get("x"), std::runtime_error);
}

TEST(JSONConversions, ScalarsConvertByKind) {
  const TJSONValue empty;
  EXPECT_EQ(empty.ToText(), "");
  EXPECT_EQ(empty.ToFloat(), 0);
  EXPECT_EQ(empty.ToInteger(), 0);

  EXPECT_EQ(TJSONValue(42).ToText(), "42");
  EXPECT_EQ(TJSONValue(TJSONMoney{752500}).ToText(), "75.25");
  EXPECT_EQ(TJSONValue(TJSONMoney{752500}).ToFloat(), 75.25);
  EXPECT_EQ(TJSONValue(int64_t{5000000000}).ToFloat(), 5e9);
  EXPECT_EQ(ParseJSONDocument(R"({"a":[1]})").ToText(), R"({"a":[1]})");

  EXPECT_TRUE(TJSONValue(2).ToBoolean());
  EXPECT_FALSE(TJSONValue(0.0).ToBoolean());
  EXPECT_TRUE(TJSONValue("TRUE").ToBoolean());
  EXPECT_FALSE(TJSONValue("false").ToBoolean());
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([] { TJSONValue("yes").ToBoolean(); }),
            "Could not convert variant of type (String) into type (Boolean)");

  EXPECT_EQ(TJSONValue("12.5").ToFloat(), 12.5);
  EXPECT_EQ(TJSONValue(" -3 ").ToInteger(), -3);
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([] { TJSONValue("12,5").ToFloat(); }),
            "Could not convert variant of type (String) into type (Double)");

  // Whole numbers from money and floats round a half to the even neighbour.
  EXPECT_EQ(TJSONValue(TJSONMoney{25000}).ToInteger(), 2);
  EXPECT_EQ(TJSONValue(TJSONMoney{35000}).ToInteger(), 4);
  EXPECT_EQ(TJSONValue(TJSONMoney{-25000}).ToInteger(), -2);
  EXPECT_EQ(TJSONValue(TJSONMoney{-35001}).ToInteger(), -4);
  EXPECT_EQ(TJSONValue(2.5).ToInteger(), 2);
  EXPECT_EQ(TJSONValue(-3.5).ToInteger(), -4);
  EXPECT_THROW(TJSONValue(int64_t{1} << 40).ToInteger(), EVariantTypeCastError);
  EXPECT_THROW(TJSONValue(1e300).ToInteger(), EVariantTypeCastError);

  EXPECT_EQ(TJSONValue(12.34567).ToMoney(), 123457);
  EXPECT_EQ(TJSONValue(7).ToMoney(), 70000);
  EXPECT_THROW(NewArrayDocument().ToFloat(), EVariantTypeCastError);
}

TEST(JSONDates, ISO8601Forms) {
  const double t = kMarch5th2024 + TimeOfDay(14, 7, 31);
  EXPECT_EQ(DateTimeToISO8601(t), "2024-03-05T14:07:31");
  EXPECT_EQ(DateTimeToISO8601(t, false), "20240305T140731");
  EXPECT_EQ(DateTimeToISO8601(t, true, ' '), "2024-03-05 14:07:31");
  // Fractions of a second are dropped, not rounded.
  EXPECT_EQ(DateTimeToISO8601(kMarch5th2024 + TimeOfDay(23, 59, 59.9)), "2024-03-05T23:59:59");
  EXPECT_EQ(DateTimeToISO8601(0), "1899-12-30T00:00:00");
  EXPECT_EQ(DateTimeToISO8601(60), "1900-02-28T00:00:00");
  EXPECT_EQ(DateTimeToISO8601(61), "1900-03-01T00:00:00");
  EXPECT_EQ(DateTimeToISO8601(kMarch5th2024 - 5 + TimeOfDay(0, 0, 1)), "2024-02-29T00:00:01");
  EXPECT_EQ(DateTimeToISO8601(-1), "1899-12-29T00:00:00");
  EXPECT_THROW(DateTimeToISO8601(1e300), EJSONError);
}

TEST(JSONRoundTrip, ParsedTextWritesBackStably) {
  const char* texts[] = {
      R"({"AfterDisc":150,"LineItems":[{"Code":"A","Quantity":2,"Price":75.25}]})",
      R"([1,-2,2147483648,0.1,75.5,1e-7,"x\ty",true,false,null,{},[],{"a":{"b":[[]]}}])",
      R"({Name:'x',y=1})",
  };
  for (const char* text : texts) {
    const std::string once = RoundTrip(text);
    ASSERT_FALSE(once == "null") << text;
    EXPECT_EQ(RoundTrip(once), once) << text;
  }
  EXPECT_EQ(RoundTrip(" [ 1 , 1e-7 ] "), "[1,0.0000001]");
}

// The storage of freed documents is used again for the next ones: a part kept from an earlier
// text stays as it was while later texts are read and dropped, also when documents are made on
// one thread and freed on another.
TEST(JSONDocuments, KeptPartsSurviveLaterParsesAndOtherThreads) {
  const std::string text =
      R"({"A":[{"Code":"x","N":1,"Tags":["a","b"]},{"Code":"y","N":2,"Tags":[]}],"B":{"C":[1,2,3]}})";
  TJSONValue lines = ParseJSONDocument(text).Get("A");
  TJSONValue inner = ParseJSONDocument(text).Get("B");
  const std::string linesText = lines.ToJSON(), innerText = inner.ToJSON();
  for (int i = 0; i < 50; ++i) {
    const TJSONValue other = ParseJSONDocument(
        R"({"Z":[{"Q":"long text past the short form ...........","R":[9,8,7,6,5]}],"B":{}})");
    ASSERT_TRUE(other.IsDocument());
    EXPECT_EQ(lines.ToJSON(), linesText);
    EXPECT_EQ(inner.ToJSON(), innerText);
  }
  // Made here, freed there, and the other way round, while both threads keep reading.
  TJSONValue madeThere;
  std::thread worker([&] {
    TJSONValue mine = std::move(lines);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(RoundTrip(text), RoundTrip(RoundTrip(text)));
    madeThere = ParseJSONDocument(text);
    EXPECT_EQ(mine.ToJSON(), linesText);
  });
  for (int i = 0; i < 200; ++i) EXPECT_EQ(RoundTrip(text), RoundTrip(RoundTrip(text)));
  worker.join();
  EXPECT_TRUE(lines.IsEmpty());
  EXPECT_EQ(madeThere.Get("B").ToJSON(), innerText);
  EXPECT_EQ(inner.ToJSON(), innerText);
  madeThere = TJSONValue();
  EXPECT_EQ(NewArrayDocument({ParseJSONDocument(text).Get("B"), inner}).ToJSON(),
            "[" + innerText + "," + innerText + "]");
}
