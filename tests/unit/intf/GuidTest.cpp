// The contract's interface identifiers: parsed from their text form at compile time, printed back
// and compared.
#include <gtest/gtest.h>

#include "intf/intfBase.h"

TEST(Guid, ParsesPrintsAndCompares) {
  constexpr TGUID g = TGUID::Of("{b99696a6-EA20-4dd7-8E91-13B5762D314D}");
  EXPECT_EQ(g.D1, 0xB99696A6u);
  EXPECT_EQ(g.D2, 0xEA20);
  EXPECT_EQ(g.D3, 0x4DD7);
  EXPECT_EQ(g.D4[0], 0x8E);
  EXPECT_EQ(g.D4[7], 0x4D);
  EXPECT_EQ(g.ToString(), "{B99696A6-EA20-4DD7-8E91-13B5762D314D}");
  TGUID parsed;
  EXPECT_TRUE(TGUID::TryParse(g.ToString(), parsed));
  EXPECT_EQ(parsed, g);
  EXPECT_FALSE(parsed == TGUID::Of("{11111111-2222-3333-4444-555555555555}"));
  EXPECT_FALSE(TGUID::TryParse("B99696A6-EA20-4DD7-8E91-13B5762D314D", parsed));
  EXPECT_FALSE(TGUID::TryParse("{B99696A6-EA20-4DD7-8E91-13B5762D314G}", parsed));
  EXPECT_FALSE(TGUID::TryParse("{B99696A6-EA20-4DD78-E91-13B5762D314D}", parsed));
}
