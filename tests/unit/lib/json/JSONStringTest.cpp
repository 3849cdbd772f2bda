#include <gtest/gtest.h>

#include <string>

#include "lib/json/JSONString.h"
#include "lib/json/clsJSONDocument.h"

namespace {

using std::string_literals::operator""s;

// What each kind of byte becomes, and that a strict reader takes the result back as the text.
TEST(JSONString, EveryByteSequenceMakesAStringAReaderTakes) {
  const struct {
    std::string Text, AsTheyStand, ValidUTF8;
  } cases[] = {
      {"plain", R"("plain")", R"("plain")"},
      {"a\"b\\c", R"("a\"b\\c")", R"("a\"b\\c")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")", R"("\b\f\n\r\t")"},
      {"x\x01y\x1f\x7f", R"("x\u0001y\u001f\u007f")", R"("x\u0001y\u001f\u007f")"},
      {"a\0b"s, R"("a\u0000b")", R"("a\u0000b")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\"", "\"caf\xc3\xa9\""},
      {"\xff"
       "x",
       "\"\xff"
       "x\"",
       "\"\xef\xbf\xbd"
       "x\""},
      {"cut \xc3", "\"cut \xc3\"", "\"cut \xef\xbf\xbd\""},
  };
  for (const auto& c : cases) {
    std::string kept, valid;
    AppendJSONString(kept, c.Text);
    AppendJSONString(valid, c.Text, TJSONStringBytes::ValidUTF8);
    EXPECT_EQ(kept, c.AsTheyStand) << c.AsTheyStand;
    EXPECT_EQ(valid, c.ValidUTF8) << c.ValidUTF8;
    const std::string document = "{\"t\":" + valid + "}";
    EXPECT_EQ(StrictJSONProblem(document), "") << document;
    if (c.Text.find('\0') == std::string::npos && c.ValidUTF8 == c.AsTheyStand) {
      EXPECT_EQ(ParseJSONDocument(document).Get("t").AsText(), c.Text) << document;
    }
  }
}

}  // namespace
