// The module log's journal lines: every line written from its format is read back as the same
// line with the same value, so the writer and the reader cannot drift apart.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "lib/modulelog/ModuleLogLines.h"

namespace {

TEST(JournalLines, EveryLineReadsBackAsWritten) {
  std::set<std::string> formats;
  for (int i = 0; i <= static_cast<int>(TJournalLine::NotLinked); ++i) {
    const auto line = static_cast<TJournalLine>(i);
    const std::string format = JournalFormat(line);
    SCOPED_TRACE(format);
    ASSERT_EQ(format.find('%'), format.size() - 1);  // one value, at the end
    EXPECT_EQ(format.rfind('[', 0), 0u);
    EXPECT_TRUE(formats.insert(format).second);
    for (const std::string value : {"", "DVR-00000001", "SAVE15 (no status answer)", " : 12"}) {
      const std::string written = format.substr(0, format.size() - 1) + value;
      const std::optional<TJournalEntry> read = ReadJournalLine(written);
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(read->Line, line);
      EXPECT_EQ(read->Value, value);
    }
  }
  for (const char* other : {"", "[TPaymentMethodDovraVoucher.Create] Got StoreID : 12",
                            "[TfrmDovraPayment.btnRedeemClick] Redeeming", "Reversed : DVR-1"})
    EXPECT_FALSE(ReadJournalLine(other).has_value()) << other;
}

}  // namespace
