// The till's ledger: one rule for what became of each voucher payment and for what holds a
// reference, whether the rows come from a store database or are noted by hand.
#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "host/contract/DatabaseConnection.h"
#include "host/db/sql/SqlText.h"
#include "host/store/CellsByName.h"
#include "host/store/TGiveBack.h"
#include "host/store/TLedger.h"
#include "host/store/TSaleState.h"
#include "host/store/TTillSales.h"
#include "module/schema/implDatabaseChangesDovra.h"
#include "tests/support/TestFolder.h"

namespace {

TEST(StoreSaleState, EveryStateReadsBackFromItsTextAndNothingElseIsOne) {
  const TSaleState states[] = {TSaleState::Open,          TSaleState::Paid,
                               TSaleState::Linked,        TSaleState::Reversed,
                               TSaleState::ReverseFailed, TSaleState::Cancelling,
                               TSaleState::Overriding,    TSaleState::NotBooked};
  for (const TSaleState state : states)
    EXPECT_EQ(ReadSaleState(SaleStateText(state)), state) << SaleStateText(state);
  EXPECT_STREQ(SaleStateText(TSaleState::ReverseFailed), "reverse failed");
  EXPECT_STREQ(SaleStateText(TSaleState::NotBooked), "not booked");
  for (const char* text : {"", "Paid", "reversed ", "reverse_failed", "refunded"})
    EXPECT_EQ(ReadSaleState(text), std::nullopt) << '"' << text << '"';
}

// The rule on rows noted by hand: what each payment reads as, and whether its voucher is held.
TEST(StoreLedgerRule, TellsEachPaymentsStateAndWhetherItHoldsItsVoucher) {
  struct TCase {
    const char* Name;
    TVoucherRow Row;
    const char* GivenBack;     // a give-back of this reference ("" none)
    int32_t ClosedRow;         // a give-back closing this module row (-1 none)
    const char* GiveBackKind;  // its outcome
    TSaleState State;
    const char* HeldBy;
  };
  const TCase cases[] = {
      {"PaidNoSale",
       {1, "R", "", 5, "", "", "", false},
       "",
       -1,
       "",
       TSaleState::Paid,
       "DovraTransactions row 1"},
      {"LinkedSale",
       {2, "R", "", 5, "70", "4", "linked", false},
       "",
       -1,
       "",
       TSaleState::Linked,
       "sale 4, invoice 70"},
      {"NothingPaid", {3, "R", "", 0, "", "4", "open", false}, "", -1, "", TSaleState::Open, ""},
      {"NamedByAReverse",
       {4, "R", "", 5, "70", "4", "linked", true},
       "",
       -1,
       "",
       TSaleState::Reversed,
       ""},
      {"GivenBack",
       {5, "R", "", 5, "", "4", "paid", false},
       "R",
       -1,
       "given back",
       TSaleState::Reversed,
       ""},
      {"FoundReversed",
       {5, "R", "", 5, "", "4", "paid", false},
       "R",
       -1,
       "found reversed",
       TSaleState::Reversed,
       ""},
      {"NothingToGiveBack",
       {5, "R", "", 5, "", "4", "paid", false},
       "R",
       -1,
       "nothing to give back",
       TSaleState::Paid,
       "sale 4"},
      {"RowClosedOnly",
       {6, "R", "", 5, "", "", "", false},
       "",
       6,
       "given back",
       TSaleState::Reversed,
       ""},
      {"AnotherRowClosed",
       {6, "R", "", 5, "", "", "", false},
       "",
       7,
       "given back",
       TSaleState::Paid,
       "DovraTransactions row 6"},
      {"Cancelling",
       {7, "R", "", 5, "", "4", "cancelling", false},
       "",
       -1,
       "",
       TSaleState::Cancelling,
       ""},
      {"Overriding",
       {7, "R", "", 5, "70", "4", "overriding", false},
       "",
       -1,
       "",
       TSaleState::Overriding,
       ""},
      {"ReverseFailed",
       {7, "R", "", 5, "70", "4", "reverse failed", false},
       "",
       -1,
       "",
       TSaleState::ReverseFailed,
       ""},
      {"SaleReversed",
       {7, "R", "", 5, "70", "4", "reversed", false},
       "",
       -1,
       "",
       TSaleState::Reversed,
       ""},
      // The customer never got the goods: the payment stands, but no sale holds the voucher.
      {"NotBooked",
       {8, "R", "", 5, "", "4", "not booked", false},
       "",
       -1,
       "",
       TSaleState::Paid,
       ""},
      // A state another program wrote says nothing of the voucher.
      {"ForeignSaleState",
       {9, "R", "", 5, "", "4", "refunded", false},
       "",
       -1,
       "",
       TSaleState::Paid,
       "sale 4"},
  };
  for (const TCase& c : cases) {
    TLedger ledger;
    ledger.AddRow(c.Row);
    if (*c.GiveBackKind)
      ledger.AddGiveBack("reference R", c.GivenBack, c.GiveBackKind, c.ClosedRow);
    EXPECT_EQ(SaleStateText(ledger.StateOf(c.Row)), std::string(SaleStateText(c.State))) << c.Name;
    EXPECT_EQ(ledger.HeldBy("R"), c.HeldBy) << c.Name;
    EXPECT_EQ(ledger.HeldBy(""), "") << c.Name << ": an empty reference is held by nothing";
  }
}

class StoreLedger : public TTestFolder {
 protected:
  StoreLedger() : TTestFolder("ledger") {}
  void SetUp() override {
    TTestFolder::SetUp();
    FDb = NewDBScript({Path("till.db"), 1000, ""});
  }

  void Exec(const std::string& sql) { ASSERT_GE(FDb->Execute("%s", {sql}), 0) << sql; }
  void Payment(const std::string& reference, double amount, const std::string& invoice) {
    Exec(
        "INSERT INTO [DovraTransactions] ( [Timestamp_Created], [InvoiceNum], "
        "[VoucherReference], [Amount] ) VALUES ( GETDATE(), " +
        (invoice.empty() ? "NULL" : invoice) + ", " +
        (reference.empty() ? "NULL" : SqlStringLiteral(reference)) + ", " + std::to_string(amount) +
        " )");
  }
  void Activity(const std::string& kind, const std::string& message) {
    Exec("INSERT INTO [DovraLog] ( [Timestamp], [Class], [Message] ) VALUES ( GETDATE(), " +
         SqlStringLiteral(kind) + ", " + SqlStringLiteral(message) + " )");
  }
  void Sale(TSaleState state, const std::string& reference) {
    TTillSales sales(*FDb, 1, 2);
    const int32_t sale = sales.Open(100000);
    ASSERT_GE(sale, 0);
    ASSERT_TRUE(sales.Settle(sale, state, 50000, reference));
  }

  TIntfPtr<TDBScript> FDb;
};

// The module's rows, its activity and the till's tables as a store database holds them. An
// override's REVERSE row names the row it gave back by its ID: a reference the module's JSON
// escapes (a quote, a backslash) is found all the same, and so is a message cut to its column.
TEST_F(StoreLedger, ReadsEveryTableOnceAndTellsEachRowByTheSameRule) {
  Exec(DovraTransactionTableScript());
  Exec(DovraLogTableScript());
  struct TCase {
    const char* Reference;
    double Amount;
    const char* Invoice;
    std::optional<TSaleState> Sale;  // the till's sale of it, none: no sale
    const char* State;               // as transactions shows it
    const char* HeldBy;
  };
  const TCase cases[] = {
      {"DVR-1", 5, "77", TSaleState::Linked, "reversed", ""},
      {R"(Q"1\x)", 5, "78", TSaleState::Linked, "reversed", ""},
      {"DVR-3", 5, "", TSaleState::Paid, "paid", "sale 3"},
      {"DVR-4", 5, "79", TSaleState::Linked, "reversed", ""},
      {"DVR-5", 5, "", TSaleState::Cancelling, "cancelling", ""},
      {"DVR-6", 5, "", TSaleState::NotBooked, "paid", ""},
      {"", 0, "", std::nullopt, "open", ""},
      {"DVR-8", 5, "", std::nullopt, "paid", "DovraTransactions row 8"},
      {"DVR-9", 5, "80", TSaleState::Linked, "reversed", ""},
  };
  for (const TCase& c : cases) {
    Payment(c.Reference, c.Amount, c.Invoice);
    if (c.Sale) Sale(*c.Sale, c.Reference);
  }
  Activity("INFO", "New Transaction: 8");
  Activity("REDEEM", R"({"ID": 8, "VoucherReference": "DVR-8" })");
  Activity("REVERSE", R"({"ID":1,"VoucherReference":"DVR-1"})");
  Activity("REVERSE", R"({"ID":2,"VoucherReference":"Q\"1\\x"})");
  Activity("REVERSE", R"({"ID":9,"VoucherReference":"DVR-)");
  TGiveBack back;
  back.Candidate = "reference DVR-4";
  back.VoucherReference = "DVR-4";
  back.Found = "voucher reverse";
  back.Outcome = TGiveBackOutcome::GivenBack;
  std::string error;
  ASSERT_TRUE(RecordGiveBack(*FDb, back, error)) << error;

  for (const bool wholeLog : {false, true}) {
    TLedger ledger;
    ASSERT_TRUE(ledger.Read(*FDb, TLedgerScope{"", wholeLog}, error)) << error;
    EXPECT_EQ(ledger.Rows().size(), 8u) << "the rows that carry a reference";
    EXPECT_EQ(ledger.Sales().size(), 7u);
    EXPECT_EQ(ledger.Settled().count("reference DVR-4"), 1u);
    for (const TCase& c : cases) EXPECT_EQ(ledger.HeldBy(c.Reference), c.HeldBy) << c.Reference;
    const TLedgerTables tables = ledger.TakeTables();
    ASSERT_EQ(tables.Transactions.Rows.size(), std::size(cases));
    EXPECT_EQ(tables.Transactions.Columns.back(), "State");
    for (size_t i = 0; i < std::size(cases); ++i)
      EXPECT_EQ(CellText(tables.Transactions, tables.Transactions.Rows[i], "State"), cases[i].State)
          << "row " << i + 1 << (wholeLog ? ", whole log" : "");
    EXPECT_EQ(tables.Log.Rows.size(), wholeLog ? 5u : 3u);
    EXPECT_EQ(tables.GiveBacks.Rows.size(), 1u);
  }
}

// A database the till has not used yet has no tables of its own: it holds no sale and no
// give-back, and the module's rows alone tell what stands.
TEST_F(StoreLedger, TablesNotMadeYetReadEmpty) {
  std::string error;
  TLedger ledger;
  ASSERT_TRUE(ledger.Read(*FDb, {}, error)) << error;
  EXPECT_TRUE(ledger.Rows().empty());
  Exec(DovraTransactionTableScript());
  Payment("DVR-1", 5, "");
  ASSERT_TRUE(ledger.Read(*FDb, {}, error)) << error;
  EXPECT_EQ(ledger.Rows().size(), 1u);
  EXPECT_TRUE(ledger.Sales().empty());
  EXPECT_EQ(ledger.HeldBy("DVR-1"), "DovraTransactions row 1");
}

}  // namespace
