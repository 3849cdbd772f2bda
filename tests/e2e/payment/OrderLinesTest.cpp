// The order lines the voucher service is sent are the till's order as the module prepares it:
// every line with a code, in the till's order, its quantity and price unchanged; lines without a
// code are left out. Compared on what the service recorded, for the check and for the redemption.
#include "lib/json/clsJSONDocument.h"
#include "tests/support/TillFixture.h"

namespace {

struct TLine {
  std::string Code;
  TCurrency Quantity = 0, UnitPrice = 0;
  bool operator==(const TLine&) const = default;
};

void PrintTo(const TLine& line, std::ostream* out) {
  *out << line.Code << " " << line.Quantity << " x " << line.UnitPrice;
}

// The lines of an order document as the service gets them: those whose code is not empty.
std::vector<TLine> TakenLines(const TJSONValue& order) {
  std::vector<TLine> lines;
  const TJSONValue items = order.Get("LineItems");
  for (int32_t i = 0; i < items.Count(); ++i) {
    const TJSONValue& item = items._(i);
    if (item.Get("Code").ToText().empty()) continue;
    lines.push_back(
        {item.Get("Code").ToText(), item.Get("Quantity").ToMoney(), item.Get("Price").ToMoney()});
  }
  return lines;
}

std::vector<TLine> SentLines(const TJSONValue& request) {
  std::vector<TLine> lines;
  const TJSONValue items = request.Get("VoucherOrder").Get("Items");
  for (int32_t i = 0; i < items.Count(); ++i) {
    const TJSONValue& item = items._(i);
    lines.push_back({item.Get("Code").ToText(), item.Get("Quantity").ToMoney(),
                     item.Get("UnitPrice").ToMoney()});
  }
  return lines;
}

TCurrency Total(const std::vector<TLine>& lines) {
  TCurrency total = 0;
  for (const TLine& line : lines) total += line.Quantity * line.UnitPrice / 10000;
  return total;
}

class OrderLines : public TTillFixture {};

TEST_F(OrderLines, TheServiceGetsEveryLineWithACodeWithItsQuantityAndPrice) {
  // A line without a code in the middle, a numbered code, and a last line that counts.
  Write(Path("order.json"),
        R"({"OrderNumber":"T2-000077","BeforeDisc":118.75,"AfterDisc":114.75,"LineItems":[)"
        R"({"Code":"CAP-01","Description":"Cap, navy","Quantity":2,"Price":12.50},)"
        R"({"Code":"","Description":"Gift wrapping note","Quantity":1,"Price":0},)"
        R"({"Code":4711,"Description":"Socks","Quantity":3,"Price":7.25},)"
        R"({"Code":"SCARF-RED","Description":"Scarf, red","Quantity":1,"Price":30},)"
        R"({"Code":"MUG-02","Description":"Mug, stoneware","Quantity":4,"Price":9.5}]})");
  OrderFile = Path("order.json");
  const TJSONValue order = ParseJSONDocument(Read(OrderFile));
  const std::vector<TLine> taken = TakenLines(order);
  ASSERT_EQ(taken.size(), 4u);

  Upgrade();
  const TRun paid = Pay("WELCOME10");
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  std::vector<std::string> operations;
  for (const std::string& record : Sandbox->RecordLines()) {
    const TJSONValue seen = ParseJSONDocument(record);
    const std::string operation = seen.Get("Operation").ToText();
    operations.push_back(operation);
    SCOPED_TRACE(operation);
    const TJSONValue request = ParseJSONDocument(seen.Get("Body").ToText());
    const std::vector<TLine> sent = SentLines(request);
    EXPECT_EQ(sent.size(), taken.size());
    EXPECT_EQ(sent, taken);
    EXPECT_EQ(Total(sent), Total(taken));
    EXPECT_EQ(request.Get("VoucherOrder").Get("TotalPrice").ToMoney(),
              order.Get("AfterDisc").ToMoney());
  }
  EXPECT_EQ(operations, (std::vector<std::string>{"evaluate", "redeem"}));
}

}  // namespace
