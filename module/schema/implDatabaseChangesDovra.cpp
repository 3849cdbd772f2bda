// TDatabaseChangesDovra and its factory.
#include "module/schema/implDatabaseChangesDovra.h"

#include "intf/intfActCodes.h"
#include "module/core/modRegistry.h"

namespace {

// The lines keep their right padding: the host stores and compares the scripts as given.
const char* const TransactionTableLines[] = {
    "-- Dovra Transaction Table                                                 ",
    "IF ( OBJECT_ID( 'DovraTransactions', 'U' ) IS NULL )                   ",
    "  CREATE TABLE [DovraTransactions] (                                       ",
    "     [ID]                INT           NOT NULL IDENTITY(1,1) PRIMARY KEY, ",
    "     [Timestamp_Created] DATETIME      NOT NULL,                           ",
    "     [Timestamp_Payment] DATETIME      NULL,                               ",
    "     [InvoiceNum]        INT           NULL,                               ",
    "     [VoucherReference]  VARCHAR(50)   NULL,                               ",
    "     [RedeemJSON]        VARCHAR(1000) NULL,                               ",
    "     [Amount]            FLOAT         NULL                                ",
    "  );                                                                       ",
};
const char* const LogTableLines[] = {
    "-- Dovra Log Table                                                   ",
    "IF ( OBJECT_ID( 'DovraLog', 'U' ) IS NULL )                         ",
    "  CREATE TABLE [DovraLog] (                                          ",
    "    [ID]           INT           NOT NULL IDENTITY(1,1) PRIMARY KEY, ",
    "    [Timestamp]    DATETIME      NOT NULL ,                          ",
    "    [Class]        VARCHAR(10)   NOT NULL ,                          ",
    "    [Message]      VARCHAR(1000) NOT NULL                            ",
    "  );                                                                  ",
};

template <size_t N>
std::string JoinLines(const char* const (&lines)[N]) {
  std::string script;
  for (size_t i = 0; i < N; ++i) {
    if (i) script += "\r\n";
    script += lines[i];
  }
  return script;
}

}  // namespace

const std::string& DovraTransactionTableScript() {
  static const std::string script = JoinLines(TransactionTableLines);
  return script;
}

const std::string& DovraLogTableScript() {
  static const std::string script = JoinLines(LogTableLines);
  return script;
}

void TDatabaseChangesDovra::CollectChanges(IInterface* /*context*/, IScriptCollector* collector) {
  if (collector) {
    collector->AddScript(DovraTransactionTableScript());
    collector->AddScript(DovraLogTableScript());
  }
  TIntfPtr<IInterface> found;
  TIntfPtr<IServiceRegistry> registry = ModuleRegistry();
  if (!registry || !registry->ResolveService(IActionCodes::IID, found)) return;
  TIntfPtr<IActionCodes> codes = found.As<IActionCodes>();
  if (!codes) return;
  codes->AddActionCode("SM005", "To Change Dovra Settings", 1, 1);
  codes->AddActionCode("SM006", "To View Dovra Transactions", 1, 1);
  codes->LinkActionCode("SM005", "FRCH");
  codes->LinkActionCode("SM006", "FRCH");
}
