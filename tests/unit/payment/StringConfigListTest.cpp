// Behaviour of the payment details list as the host relies on it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "module/payment/clsStringConfigList.h"

namespace {

TIntfPtr<IStringConfigList> ListOf(const std::vector<std::string>& lines) {
  TIntfPtr<IStringConfigList> list = NewStringConfigList();
  for (const std::string& line : lines) list->Add(line);
  return list;
}

std::string TextOf(IStringConfigList* list) {
  std::string text;
  list->Text(text);
  return text;
}

std::string LineOf(IStringConfigList* list, int32_t index) {
  std::string line;
  list->Line(index, line);
  return line;
}

// Counts its own destruction so that a double free or a leak shows.
struct TCountedObject : TListObject {
  explicit TCountedObject(int* destroyed) : Destroyed(destroyed) {}
  ~TCountedObject() override { ++*Destroyed; }
  int* Destroyed;
};

}  // namespace

TEST(StringConfigList, NamesAndValuesSplitAtTheFirstSeparator) {
  auto list = ListOf({"a=1=2", "abc", "=x", "B=", "Name=Value"});
  std::string text;
  list->NameAt(0, text);
  EXPECT_EQ(text, "a");
  list->ValueFromIndex(0, text);
  EXPECT_EQ(text, "1=2");
  list->NameAt(1, text);
  EXPECT_EQ(text, "");
  text = "stale";
  list->ValueFromIndex(1, text);
  EXPECT_EQ(text, "");
  list->ValueOrLine(1, text);
  EXPECT_EQ(text, "abc");
  list->ValueOrLine(0, text);
  EXPECT_EQ(text, "1=2");
  text = "stale";
  list->ValueOrLine(-1, text);
  EXPECT_EQ(text, "");
  text = "stale";
  list->ValueFromIndex(-5, text);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(list->HasValueAt(3));
  EXPECT_FALSE(list->HasValueAt(1));
  EXPECT_FALSE(list->HasValueAt(-1));
  // A line without a separator has no name to match, not even the empty one.
  int32_t index = 99;
  EXPECT_TRUE(list->FindName("", index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(list->FindName("abc", index));
  EXPECT_EQ(index, -1);
}

TEST(StringConfigList, LookUpsIgnoreCaseAndTakeTheFirstMatch) {
  auto list = ListOf({"x", "A=5", "a=6", "MixedCase"});
  std::string value;
  list->Value("a", value);
  EXPECT_EQ(value, "5");
  value = "stale";
  list->Value("missing", value);
  EXPECT_EQ(value, "");
  EXPECT_EQ(list->ValueAsInteger("a"), 5);
  EXPECT_TRUE(list->ContainsName("A"));
  EXPECT_FALSE(list->ContainsName("x"));
  EXPECT_TRUE(list->ContainsLine("mixedcase"));
  EXPECT_FALSE(list->ContainsLine("mixed"));
  int32_t index = -7;
  EXPECT_TRUE(list->FindName("a", index));
  EXPECT_EQ(index, 1);
  // Bytes outside ASCII compare as they are.
  auto utf8 = ListOf({"\xC3\xA9=1"});
  EXPECT_TRUE(utf8->ContainsName("\xC3\xA9"));
  EXPECT_FALSE(utf8->ContainsName("\xC3\x89"));
}

TEST(StringConfigList, AddValueAppendsAndSetValueReplacesOrDeletes) {
  auto list = NewStringConfigList();
  EXPECT_EQ(list->AddValue("A", "1"), 0);
  EXPECT_EQ(list->AddValue("A", "1"), 1);
  list->SetValue("a", "2");
  EXPECT_EQ(TextOf(list.Get()), "a=2\r\nA=1\r\n");
  list->SetValue("New", "v");
  EXPECT_EQ(LineOf(list.Get(), 2), "New=v");
  list->SetValue("A", "");
  EXPECT_EQ(TextOf(list.Get()), "A=1\r\nNew=v\r\n");
  list->SetValue("absent", "");
  EXPECT_EQ(list->Count(), 2);
  list->Remove("new");
  EXPECT_EQ(TextOf(list.Get()), "A=1\r\n");
}

TEST(StringConfigList, SetValueAtKeepsTheNameEvenForEmptyText) {
  auto list = ListOf({"Code=123", "plain"});
  list->SetValueAt(0, "");
  EXPECT_EQ(LineOf(list.Get(), 0), "Code=");
  list->SetValueAt(0, "9");
  EXPECT_EQ(LineOf(list.Get(), 0), "Code=9");
  list->SetValueAt(1, "v");
  EXPECT_EQ(LineOf(list.Get(), 1), "=v");
  EXPECT_THROW(list->SetValueAt(2, "v"), std::out_of_range);
  EXPECT_EQ(list->Count(), 2);
}

TEST(StringConfigList, SetValueFromIndexAppendsForNegativeAndDeletesForEmpty) {
  auto list = ListOf({"a=1", "b=2"});
  list->SetValueFromIndex(-1, "x");
  EXPECT_EQ(TextOf(list.Get()), "a=1\r\nb=2\r\n=x\r\n");
  list->SetValueFromIndex(1, "3");
  EXPECT_EQ(LineOf(list.Get(), 1), "b=3");
  list->SetValueFromIndex(0, "");
  EXPECT_EQ(TextOf(list.Get()), "b=3\r\n=x\r\n");
  list->SetValueFromIndex(-1, "");
  EXPECT_EQ(list->Count(), 2);
  // A bad index changes nothing, not even by the append a negative index would make.
  EXPECT_THROW(list->SetValueFromIndex(2, "y"), std::out_of_range);
  EXPECT_THROW(list->SetValueFromIndex(2, ""), std::out_of_range);
  EXPECT_EQ(list->Count(), 2);
  list->SetIntegerAt(0, -17);
  EXPECT_EQ(LineOf(list.Get(), 0), "b=-17");
  list->SetFloatAt(-1, 0.5);
  EXPECT_EQ(LineOf(list.Get(), 2), "=0.500000000000000000");
}

TEST(StringConfigList, RemoveTriesTheNameBeforeTheWholeLine) {
  auto list = ListOf({"k", "k=1", "other"});
  list->Remove("K");
  EXPECT_EQ(TextOf(list.Get()), "k\r\nother\r\n");
  list->Remove("k");
  EXPECT_EQ(TextOf(list.Get()), "other\r\n");
  list->Remove("nothing");
  EXPECT_EQ(list->Count(), 1);
}

TEST(StringConfigList, CommaAndDelimitedTextQuoteWhatWouldNotSurviveSplitting) {
  std::string text = "stale";
  NewStringConfigList()->CommaText(text);
  EXPECT_EQ(text, "");
  ListOf({""})->CommaText(text);
  EXPECT_EQ(text, "\"\"");
  ListOf({""})->DelimitedText(text);
  EXPECT_EQ(text, "\"\"");
  ListOf({"a b", "c"})->CommaText(text);
  EXPECT_EQ(text, "\"a b\",c");
  ListOf({"a=1", "b=2"})->DelimitedText(text);
  EXPECT_EQ(text, "a=1;b=2");
  ListOf({"x;y", "p,q"})->DelimitedText(text);
  EXPECT_EQ(text, "\"x;y\";p,q");
  ListOf({"x;y", "p,q"})->CommaText(text);
  EXPECT_EQ(text, "x;y,\"p,q\"");
  ListOf({"say \"hi\"", "tab\there", "a", ""})->CommaText(text);
  EXPECT_EQ(text, "\"say \"\"hi\"\"\",\"tab\there\",a,");
  // Bytes above 0x7F are ordinary characters, not control characters.
  ListOf({"caf\xC3\xA9"})->CommaText(text);
  EXPECT_EQ(text, "caf\xC3\xA9");
}

TEST(StringConfigList, TextJoinFirstAndLast) {
  auto list = ListOf({"x", "y"});
  EXPECT_EQ(TextOf(list.Get()), "x\r\ny\r\n");
  std::string text;
  list->Join(", ", text);
  EXPECT_EQ(text, "x, y");
  list->GetFirst(text);
  EXPECT_EQ(text, "x");
  list->GetLast(text);
  EXPECT_EQ(text, "y");

  auto empty = NewStringConfigList();
  text = "kept";
  empty->Join(", ", text);
  empty->GetFirst(text);
  empty->GetLast(text);
  EXPECT_EQ(text, "kept");
  empty->Text(text);
  EXPECT_EQ(text, "");
}

TEST(StringConfigList, StrictConversionsRaiseAndLenientOnesFallBack) {
  auto list = ListOf({"12a", "x=12a", "42", "y=42", "tRuE", "FALSE", "2", "0", "yes", "z=yes",
                      "99999999999", "w=99999999999", " 7 ", "-0.5", "1e3", "n=0.25", "inf"});
  EXPECT_THROW(list->LineAsInteger(0), std::invalid_argument);
  EXPECT_EQ(list->ValueAsInteger("x"), 0);
  EXPECT_EQ(list->LineAsInteger(2), 42);
  EXPECT_EQ(list->ValueAsInteger("y"), 42);
  EXPECT_TRUE(list->LineAsBoolean(4));
  EXPECT_FALSE(list->LineAsBoolean(5));
  EXPECT_TRUE(list->LineAsBoolean(6));
  EXPECT_FALSE(list->LineAsBoolean(7));
  EXPECT_TRUE(list->LineAsBoolean(13));  // any non-zero number
  EXPECT_THROW(list->LineAsBoolean(8), std::invalid_argument);
  EXPECT_FALSE(list->ValueAsBoolean("z"));
  EXPECT_TRUE(list->ValueAsBoolean("n"));
  EXPECT_THROW(list->LineAsInteger(10), std::invalid_argument);  // beyond 32 bits
  EXPECT_EQ(list->ValueAsInteger("w"), 0);
  EXPECT_EQ(list->LineAsInteger(12), 7);
  EXPECT_DOUBLE_EQ(list->LineAsFloat(13), -0.5);
  EXPECT_DOUBLE_EQ(list->LineAsFloat(14), 1000.0);
  EXPECT_THROW(list->LineAsFloat(0), std::invalid_argument);
  EXPECT_THROW(list->LineAsFloat(16), std::invalid_argument);
  EXPECT_DOUBLE_EQ(list->ValueAsFloat("n"), 0.25);
  EXPECT_DOUBLE_EQ(list->ValueAsFloat("x"), 0.0);
  EXPECT_DOUBLE_EQ(list->ValueAsFloat("missing"), 0.0);
  EXPECT_DOUBLE_EQ(list->ValueFromIndexAsFloat(15), 0.25);
  EXPECT_EQ(list->ValueFromIndexAsInteger(3), 42);
  EXPECT_EQ(list->ValueFromIndexAsInteger(1), 0);
  EXPECT_EQ(list->ValueFromIndexAsInteger(-1), 0);

  // The error names the offending text.
  try {
    list->LineAsInteger(0);
    ADD_FAILURE() << "no error raised";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("12a"), std::string::npos) << e.what();
  }
}

TEST(StringConfigList, DateTimeTextsCountDaysFromTheEpoch) {
  auto list = ListOf({"1899-12-30", "2000-01-01", "2000-01-01 12:00:00", "2000-01-01T06:00",
                      "1899-12-29 06:00:00", "36526.5", "2026-02-30", "2026-13-01",
                      "2026-01-01 24:00:00", "yesterday", "2024-02-29", "2023-02-29"});
  EXPECT_DOUBLE_EQ(list->LineAsDateTime(0), 0.0);
  EXPECT_DOUBLE_EQ(list->LineAsDateTime(1), 36526.0);
  EXPECT_DOUBLE_EQ(list->LineAsDateTime(2), 36526.5);
  EXPECT_DOUBLE_EQ(list->LineAsDateTime(3), 36526.25);
  EXPECT_DOUBLE_EQ(list->LineAsDateTime(4), -1.25);
  EXPECT_DOUBLE_EQ(list->LineAsDateTime(5), 36526.5);
  for (int32_t bad : {6, 7, 8, 9, 11})
    EXPECT_THROW(list->LineAsDateTime(bad), std::invalid_argument) << "line " << bad;
  EXPECT_DOUBLE_EQ(list->LineAsDateTime(10), 45351.0);
}

TEST(StringConfigList, FloatTextsUseFixedNotationWithEighteenDecimals) {
  auto list = NewStringConfigList();
  list->AddFloat("a", 12.5);
  list->AddFloat("third", 1.0 / 3.0);
  list->AddFloat("big", 12345678901.0);
  list->AddFloat("neg", -2.5);
  list->AddFloat("zero", -0.0);
  list->AddFloat("round", 9.99999999999);
  list->SetFloat("tenth", 0.1);
  list->SetFloat("third18", 1.0 / 3.0);
  list->SetFloat("mixed", 123.456);
  list->SetFloat("tiny", 1e-20);
  const std::vector<std::string> expected = {"a=12.500000000000000000",
                                             "third=0.333333333300000000",
                                             "big=12345678900.000000000000000000",
                                             "neg=-2.500000000000000000",
                                             "zero=0.000000000000000000",
                                             "round=10.000000000000000000",
                                             "tenth=0.100000000000000006",
                                             "third18=0.333333333333333315",
                                             "mixed=123.456000000000003000",
                                             "tiny=0.000000000000000000"};
  ASSERT_EQ(list->Count(), static_cast<int32_t>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(LineOf(list.Get(), static_cast<int32_t>(i)), expected[i]);
  // What is written reads back.
  EXPECT_DOUBLE_EQ(list->ValueAsFloat("a"), 12.5);
  EXPECT_DOUBLE_EQ(list->ValueAsFloat2("tenth"), 0.1);
  list->SetFloat("A", 2.0);
  EXPECT_EQ(LineOf(list.Get(), 0), "A=2.000000000000000000");
}

TEST(StringConfigList, IndexOutsideTheListRaises) {
  auto list = ListOf({"a=1"});
  std::string text;
  EXPECT_THROW(list->Line(1, text), std::out_of_range);
  EXPECT_THROW(list->Line(-1, text), std::out_of_range);
  EXPECT_THROW(list->NameAt(5, text), std::out_of_range);
  EXPECT_THROW(list->ValueFromIndex(1, text), std::out_of_range);
  EXPECT_THROW(list->ValueOrLine(1, text), std::out_of_range);
  EXPECT_THROW(list->HasValueAt(1), std::out_of_range);
  EXPECT_THROW(list->ObjectAt(1), std::out_of_range);
  EXPECT_THROW(list->SetObjectAt(-1, nullptr), std::out_of_range);
  EXPECT_THROW(list->LineAsInteger(2), std::out_of_range);
  EXPECT_THROW(list->ObjectOf("absent"), std::out_of_range);
  EXPECT_THROW(list->SetObjectOf("absent", nullptr), std::out_of_range);
  try {
    list->Line(7, text);
    ADD_FAILURE() << "no error raised";
  } catch (const std::out_of_range& e) {
    EXPECT_NE(std::string(e.what()).find("(7)"), std::string::npos) << e.what();
  }
  EXPECT_EQ(TextOf(list.Get()), "a=1\r\n");
}

TEST(StringConfigList, ObjectsStayAttachedUntilFreedOnce) {
  int destroyed = 0;
  {
    auto list = NewStringConfigList();
    TCountedObject first(&destroyed);  // owned by the test: Clear must not free it
    list->AddObject("line", &first);
    EXPECT_EQ(list->ObjectOf("LINE"), &first);
    list->Clear();
    EXPECT_EQ(list->Count(), 0);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);  // the stack object itself

  destroyed = 0;
  auto list = ListOf({"a", "b", "c"});
  auto shared = std::make_unique<TCountedObject>(&destroyed);
  auto single = std::make_unique<TCountedObject>(&destroyed);
  // The list takes over these two; FreeObjects is the owner's way to release them.
  list->SetObjectAt(0, shared.get());
  list->SetObjectOf("c", shared.release());
  list->SetObjectAt(1, single.release());
  list->FreeObjects();
  EXPECT_EQ(destroyed, 2);  // the object on two lines is freed once
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(list->ObjectAt(i), nullptr);
  list->FreeObjects();
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(list->Count(), 3);
}

TEST(StringConfigList, WithOperationsHandOutTheSameList) {
  auto list = NewStringConfigList();
  IStringConfigList::TOutList out;
  list->WithValue("a", "1", out);
  ASSERT_EQ(out.Get(), list.Get());
  IStringConfigList::TOutList chained;
  out->WithBoolean("b", false, chained);
  chained->WithInteger("c", 3, chained);
  EXPECT_EQ(chained.Get(), list.Get());
  EXPECT_EQ(TextOf(list.Get()), "a=1\r\nb=False\r\nc=3\r\n");
  // The list outlives the first reference that made it.
  list = nullptr;
  EXPECT_EQ(TextOf(chained.Get()), "a=1\r\nb=False\r\nc=3\r\n");
}
