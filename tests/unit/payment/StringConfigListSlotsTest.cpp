// The host calls the details list by vtable position: each position must run its operation.
#include <gtest/gtest.h>

#include <string>

#include "module/payment/clsStringConfigList.h"
#include "tests/unit/payment/PaymentTestSupport.h"

namespace {

using TList = IStringConfigList;
using TOut = IStringConfigList::TOutList;

struct TMarker : TListObject {};

class StringConfigListSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    Owner = NewStringConfigList();
    L = Owner.Get();
    for (const char* line :
         {"First=1", "Flag=true", "Ratio=2.5", "Count=7", "12", "2000-01-01", "plain", "Last=z"})
      L->Add(line);
  }
  std::string Text() {
    std::string t;
    L->Text(t);
    return t;
  }
  std::string Line(int32_t i) {
    std::string t;
    L->Line(i, t);
    return t;
  }

  TIntfPtr<IStringConfigList> Owner;
  IStringConfigList* L = nullptr;
};

}  // namespace

TEST_F(StringConfigListSlots, ReadingOperations1To18) {
  std::string s = "x";
  TSlot<void(std::string&)>::Call(L, 1, s);
  EXPECT_EQ(s, "First=1");
  TSlot<void(std::string&)>::Call(L, 2, s);
  EXPECT_EQ(s, "Last=z");
  EXPECT_TRUE(TSlot<bool(const std::string&)>::Call(L, 3, "flag"));
  EXPECT_DOUBLE_EQ(TSlot<double(const std::string&)>::Call(L, 4, "Ratio"), 2.5);
  EXPECT_DOUBLE_EQ(TSlot<double(const std::string&)>::Call(L, 5, "ratio"), 2.5);
  EXPECT_EQ(TSlot<int32_t(const std::string&)>::Call(L, 6, "Count"), 7);
  TMarker marker;
  L->SetObjectAt(6, &marker);
  EXPECT_EQ(TSlot<TListObject*(const std::string&)>::Call(L, 7, "plain"), &marker);
  TSlot<void(const std::string&, std::string&)>::Call(L, 8, "last", s);
  EXPECT_EQ(s, "z");
  EXPECT_DOUBLE_EQ(TSlot<double(int32_t)>::Call(L, 9, 2), 2.5);
  TSlot<void(int32_t, std::string&)>::Call(L, 10, 7, s);
  EXPECT_EQ(s, "z");
  EXPECT_EQ(TSlot<int32_t(int32_t)>::Call(L, 11, 3), 7);
  EXPECT_EQ(TSlot<TListObject*(int32_t)>::Call(L, 12, 6), &marker);
  TSlot<void(int32_t, std::string&)>::Call(L, 13, 6, s);
  EXPECT_EQ(s, "plain");
  L->Add("False");
  EXPECT_FALSE(TSlot<bool(int32_t)>::Call(L, 14, 8));
  EXPECT_TRUE(TSlot<bool(int32_t)>::Call(L, 14, 4));
  EXPECT_DOUBLE_EQ(TSlot<double(int32_t)>::Call(L, 15, 5), 36526.0);
  EXPECT_DOUBLE_EQ(TSlot<double(int32_t)>::Call(L, 16, 4), 12.0);
  EXPECT_THROW(TSlot<double(int32_t)>::Call(L, 16, 6), std::invalid_argument);
  EXPECT_EQ(TSlot<int32_t(int32_t)>::Call(L, 17, 4), 12);
  TSlot<void(int32_t, std::string&)>::Call(L, 18, 6, s);
  EXPECT_EQ(s, "plain");
}

TEST_F(StringConfigListSlots, SettingOperations19To28) {
  TSlot<void(const std::string&, bool)>::Call(L, 19, "Flag", false);
  EXPECT_EQ(Line(1), "Flag=False");
  TSlot<void(const std::string&, double)>::Call(L, 20, "Ratio", 0.5);
  EXPECT_EQ(Line(2), "Ratio=0.500000000000000000");
  TSlot<void(const std::string&, double)>::Call(L, 21, "Ratio", 1.5);
  EXPECT_EQ(Line(2), "Ratio=1.500000000000000000");
  TSlot<void(const std::string&, int32_t)>::Call(L, 22, "Count", -3);
  EXPECT_EQ(Line(3), "Count=-3");
  TSlot<void(const std::string&, const std::string&)>::Call(L, 23, "First", "");
  EXPECT_EQ(L->Count(), 7);
  EXPECT_EQ(Line(0), "Flag=False");
  TMarker marker;
  TSlot<void(const std::string&, TListObject*)>::Call(L, 24, "PLAIN", &marker);
  EXPECT_EQ(L->ObjectAt(5), &marker);
  TSlot<void(int32_t, double)>::Call(L, 25, 1, 4.25);
  EXPECT_EQ(Line(1), "Ratio=4.250000000000000000");
  TSlot<void(int32_t, const std::string&)>::Call(L, 26, 2, "");
  EXPECT_EQ(Line(2), "Count=");
  TMarker other;
  TSlot<void(int32_t, TListObject*)>::Call(L, 27, 0, &other);
  EXPECT_EQ(L->ObjectAt(0), &other);
  TSlot<void(int32_t, int32_t)>::Call(L, 28, 2, 11);
  EXPECT_EQ(Line(2), "Count=11");
}

TEST_F(StringConfigListSlots, Positions29To33HaveNoEffect) {
  const std::string before = Text();
  TSlot<void(int32_t)>::Call(L, 29, 0);
  TSlot<void(int32_t, double)>::Call(L, 30, 0, 1.5);
  TSlot<void(int32_t, double)>::Call(L, 31, -1, 2.5);
  TSlot<void(int32_t)>::Call(L, 32, 0);
  TSlot<void(int32_t)>::Call(L, 33, 99);
  EXPECT_EQ(Text(), before);
}

TEST_F(StringConfigListSlots, IndexAndTextOperations34To40) {
  std::string s;
  TSlot<void(int32_t, std::string&)>::Call(L, 34, 2, s);
  EXPECT_EQ(s, "2.5");
  TSlot<void(int32_t, const std::string&)>::Call(L, 35, 0, "9");
  EXPECT_EQ(Line(0), "First=9");
  TSlot<void(int32_t, std::string&)>::Call(L, 36, 3, s);
  EXPECT_EQ(s, "Count");
  auto small = NewStringConfigList();
  small->Add("a b");
  small->Add("c;d");
  TSlot<void(std::string&)>::Call(small.Get(), 37, s);
  EXPECT_EQ(s, "\"a b\",c;d");
  TSlot<void(std::string&)>::Call(small.Get(), 38, s);
  EXPECT_EQ(s, "\"a b\";\"c;d\"");
  TSlot<void(std::string&)>::Call(small.Get(), 39, s);
  EXPECT_EQ(s, "a b\r\nc;d\r\n");
  EXPECT_EQ(TSlot<int32_t()>::Call(L, 40), 8);
}

TEST_F(StringConfigListSlots, AddingOperations41To54) {
  L->Clear();
  TMarker marker;
  EXPECT_EQ((TSlot<int32_t(const std::string&, const std::string&)>::Call(L, 41, "v", "1")), 0);
  EXPECT_EQ((TSlot<int32_t(const std::string&, int32_t)>::Call(L, 42, "i", 2)), 1);
  EXPECT_EQ((TSlot<int32_t(const std::string&, double)>::Call(L, 43, "f", 0.25)), 2);
  EXPECT_EQ((TSlot<int32_t(const std::string&, double)>::Call(L, 44, "g", 0.75)), 3);
  EXPECT_EQ((TSlot<int32_t(const std::string&, bool)>::Call(L, 45, "b", true)), 4);
  EXPECT_EQ((TSlot<int32_t(const std::string&, TListObject*)>::Call(L, 46, "o", &marker)), 5);
  TOut out;
  TSlot<void(const std::string&, const std::string&, TOut&)>::Call(L, 47, "wv", "x", out);
  EXPECT_EQ(out.Get(), L);
  out = nullptr;
  TSlot<void(const std::string&, int32_t, TOut&)>::Call(L, 48, "wi", 5, out);
  EXPECT_EQ(out.Get(), L);
  TSlot<void(const std::string&, double, TOut&)>::Call(L, 49, "wf", 1.0, out);
  TSlot<void(const std::string&, double, TOut&)>::Call(L, 50, "wg", 2.0, out);
  TSlot<void(const std::string&, bool, TOut&)>::Call(L, 51, "wb", false, out);
  TSlot<void(const std::string&, TListObject*, TOut&)>::Call(L, 52, "wo", &marker, out);
  EXPECT_EQ((TSlot<int32_t(const std::string&)>::Call(L, 53, "raw")), 12);
  out = nullptr;
  TSlot<void(const std::string&, TOut&)>::Call(L, 54, "wl", out);
  EXPECT_EQ(out.Get(), L);
  EXPECT_EQ(Text(),
            "v=1\r\ni=2\r\nf=0.250000000000000000\r\ng=0.750000000000000000\r\nb=True\r\no\r\n"
            "wv=x\r\nwi=5\r\nwf=1.000000000000000000\r\nwg=2.000000000000000000\r\nwb=False\r\n"
            "wo\r\nraw\r\nwl\r\n");
  EXPECT_EQ(L->ObjectAt(5), &marker);
  EXPECT_EQ(L->ObjectAt(11), &marker);
}

TEST_F(StringConfigListSlots, QueryAndRemovalOperations55To63) {
  std::string s;
  TSlot<void(const std::string&, std::string&)>::Call(L, 55, "|", s);
  EXPECT_EQ(s, "First=1|Flag=true|Ratio=2.5|Count=7|12|2000-01-01|plain|Last=z");
  int32_t index = -1;
  EXPECT_TRUE((TSlot<bool(const std::string&, int32_t&)>::Call(L, 56, "count", index)));
  EXPECT_EQ(index, 3);
  EXPECT_FALSE(TSlot<bool(int32_t)>::Call(L, 57, 6));
  EXPECT_TRUE(TSlot<bool(int32_t)>::Call(L, 57, 7));
  EXPECT_TRUE(TSlot<bool(const std::string&)>::Call(L, 58, "PLAIN"));
  EXPECT_EQ(TSlot<TStringItems*()>::Call(L, 59)->size(), 8u);
  EXPECT_TRUE(TSlot<bool(const std::string&)>::Call(L, 60, "ratio"));
  EXPECT_FALSE(TSlot<bool(const std::string&)>::Call(L, 60, "plain"));
  TSlot<void(const std::string&)>::Call(L, 63, "plain");
  EXPECT_FALSE(L->ContainsLine("plain"));
  int destroyed = 0;
  struct TCounted : TListObject {
    explicit TCounted(int* d) : D(d) {}
    ~TCounted() override { ++*D; }
    int* D;
  };
  L->SetObjectAt(0, std::make_unique<TCounted>(&destroyed).release());
  TSlot<void()>::Call(L, 62);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(L->ObjectAt(0), nullptr);
  TSlot<void()>::Call(L, 61);
  EXPECT_EQ(L->Count(), 0);
}
