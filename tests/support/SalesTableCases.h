// The three ways a sale can find the till's sales table, for the tests of either engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/contract/TDBScript.h"
#include "host/store/TTillSales.h"

// Counts the calls a service makes.
struct TCallCount final : TDBCallObserver {
  void CallStarting(const char*) override { ++Calls; }
  void CallDone(const char*) override {}
  int Calls = 0;
};

// The check before each sale on a table not made (another of a like name beside it), an older
// till's (without Store and Till), and one as it should be: its one call tells them apart, and
// the upgrade does only what each needs. fresh: a service on an empty database of its own.
inline void CheckSalesTableCases(const std::function<TIntfPtr<TDBScript>()>& fresh) {
  const std::string older =
      "CREATE TABLE [SarnSales] ( [Sale] INT NOT NULL IDENTITY(1,1) PRIMARY KEY, [Created] "
      "DATETIME NOT NULL, [Changed] DATETIME NOT NULL, [Amount] MONEY NOT NULL, [Paid] MONEY "
      "NULL, [Invoice] INT NULL, [State] NVARCHAR(20) NOT NULL, [VoucherReference] "
      "NVARCHAR(MAX) NULL )";
  const std::vector<std::string> olderColumns = {"Sale", "Created", "Changed", "Amount",
                                                 "Paid", "Invoice", "State",   "VoucherReference"};
  std::vector<std::string> columns = olderColumns;
  columns.insert(columns.end(), {"Store", "Till"});
  struct TCase {
    const char* Name;
    std::string Setup;
    std::vector<std::string> Found;
    std::string Done;
    int Calls;  // of the upgrade: the check and what it then writes
  };
  const TCase cases[] = {
      {"no table",
       "CREATE TABLE [SarnSalesBefore] ( [Sale] INT NULL )",
       {},
       "table SarnSales created",
       2},
      {"an older till's", older, olderColumns, "SarnSales: column(s) Store, Till added", 3},
      {"as it should be",
       older + "; ALTER TABLE [SarnSales] ADD [Store] INT NULL; ALTER TABLE [SarnSales] ADD [Till] "
               "INT NULL",
       columns, "", 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TIntfPtr<TDBScript> db = fresh();
    ASSERT_EQ(db->Execute(c.Setup, {}), 0);
    const int64_t failures = db->Failures();
    std::vector<std::string> found = {"(not read)"};
    ASSERT_TRUE(db->Columns("SarnSales", found));
    EXPECT_EQ(found, c.Found);
    EXPECT_EQ(db->Failures(), failures) << "a missing table is an answer";
    TCallCount count;
    db->Observe(&count);
    std::string done;
    EXPECT_TRUE(UpgradeTillSales(*db, done));
    EXPECT_EQ(done, c.Done);
    EXPECT_EQ(count.Calls, c.Calls);
    count.Calls = 0;
    EXPECT_TRUE(UpgradeTillSales(*db, done));
    EXPECT_EQ(done, "");
    EXPECT_EQ(count.Calls, 1) << "the next sale's check is its one call";
    db->Observe(nullptr);
    ASSERT_TRUE(db->Columns("SarnSales", found));
    EXPECT_EQ(found, columns);
    EXPECT_EQ(TTillSales(*db, 7, 3).Open(50000), 1);
  }
}
