#include "host/cli/cmdDatabase.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <sstream>

#include "host/cli/cliCommon.h"
#include "host/db/TDatabases.h"
#include "host/services/TDatabaseUpgrade.h"
#include "host/services/TGiveBacks.h"

namespace {

// Characters (UTF-8 sequences) in the text.
size_t Characters(const std::string& text) {
  size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string ScreenText(const TDBCell& cell, size_t maxWidth) {
  if (cell.Kind == TDBCell::TKind::Null) return "NULL";
  std::string out;
  size_t characters = 0;
  const size_t total = Characters(cell.Text);
  for (const char ch : cell.Text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) != 0x80) {
      if (total > maxWidth && characters + 1 == maxWidth) {
        out += "\xE2\x80\xA6";  // …
        break;
      }
      ++characters;
    }
    out += c < 0x20 || c == 0x7F ? ' ' : ch;
  }
  return out;
}

// Prints the upgrade's account in the order it happened (what was done to out, each failure to
// err) and how it ended; the exit code follows from the outcome.
int PrintUpgrade(const TDatabaseUpgradeResult& result, std::ostream& out, std::ostream& err) {
  for (const TUpgradeLine& line : result.Lines)
    (line.Failure ? err << "sarn-till upgrade: " : out) << line.Text << '\n';
  switch (result.Outcome) {
    case TUpgradeOutcome::NoDatabaseService:
      return kExitUsage;
    case TUpgradeOutcome::Unusable:
      return kExitFailed;
    case TUpgradeOutcome::UpToDateReadOnly:
      out << "upgrade done: the database cannot be written and is up to date, nothing to write: "
          << result.ScriptCount << " script(s) already run, every right registered\n";
      return kExitDone;
    case TUpgradeOutcome::Done:
    case TUpgradeOutcome::Failed:
      break;
  }
  const bool failed = result.Outcome == TUpgradeOutcome::Failed;
  out << (failed ? "upgrade FAILED: " : "upgrade done: ") << result.ScriptsRun << " of "
      << result.ScriptCount << " script(s) run, " << result.TablesCreated << " table(s) created, "
      << result.RightsChanged << " right(s) added or changed\n";
  return failed ? kExitFailed : kExitDone;
}

int Fail(std::ostream& err, const std::string& message) {
  err << "sarn-till transactions: " << message << '\n';
  return 1;
}

int ColumnIndex(const TDBTable& table, const char* name) {
  for (size_t i = 0; i < table.Columns.size(); ++i)
    if (table.Columns[i] == name) return static_cast<int>(i);
  return -1;
}

void AppendJSONText(std::string& out, const std::string& text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
}

// One JSON object a line, texts in full: what a script reads instead of the screen table.
void PrintJSONLines(const char* name, const TDBTable& table, std::ostream& out) {
  for (const auto& row : table.Rows) {
    std::string line = "{\"table\":";
    AppendJSONText(line, name);
    for (size_t c = 0; c < table.Columns.size() && c < row.size(); ++c) {
      line += ',';
      AppendJSONText(line, table.Columns[c]);
      line += ':';
      if (row[c].Kind == TDBCell::TKind::Null)
        line += "null";
      else if (row[c].Kind == TDBCell::TKind::Textual)
        AppendJSONText(line, row[c].Text);
      else
        line += row[c].Text;
    }
    out << line << "}\n";
  }
}

const std::string& CellText(const TDBTable& table, const std::vector<TDBCell>& row,
                            const char* column) {
  static const std::string none;
  const int at = ColumnIndex(table, column);
  return at < 0 || row[at].Kind == TDBCell::TKind::Null ? none : row[at].Text;
}

// What became of each voucher payment, told from the module's rows and the till's own sales: a
// REVERSE activity names a voucher given back at an override; a cancel leaves none, but the
// till's sale of that voucher says so.
// A voucher the till gave back outside its sale (voucher reverse, reconcile) is "reversed" too.
void AddStates(TDBTable& transactions, const TDBTable& log, const TDBTable& sales,
               const TDBTable& giveBacks) {
  std::vector<std::string> reversals;
  for (const auto& row : log.Rows)
    if (CellText(log, row, "Class") == "REVERSE")
      reversals.push_back(CellText(log, row, "Message"));
  std::map<std::string, std::string> saleStates;
  for (const auto& row : sales.Rows)
    saleStates[CellText(sales, row, "VoucherReference")] = CellText(sales, row, "State");
  std::set<std::string> closed;  // module rows a give-back closed
  for (const auto& row : giveBacks.Rows)
    if (IsReversedOutcome(CellText(giveBacks, row, "Outcome"))) {
      saleStates[CellText(giveBacks, row, "VoucherReference")] = "reversed";
      if (ColumnIndex(giveBacks, "Transaction") >= 0)
        closed.insert(CellText(giveBacks, row, "Transaction"));
    }
  transactions.Columns.push_back("State");
  for (auto& row : transactions.Rows) {
    const std::string& id = CellText(transactions, row, "ID");
    const std::string& reference = CellText(transactions, row, "VoucherReference");
    std::string state;
    for (const std::string& message : reversals)
      if (MentionsTransaction(message, {id}, {})) state = "reversed";
    if (state.empty() && closed.count(id)) state = "reversed";
    const auto sale = reference.empty() ? saleStates.end() : saleStates.find(reference);
    if (state.empty() && sale != saleStates.end() &&
        (sale->second == "reversed" || sale->second == "reverse failed" ||
         sale->second == "cancelling" || sale->second == "overriding"))
      state = sale->second;
    if (state.empty() && !CellText(transactions, row, "InvoiceNum").empty()) state = "linked";
    if (state.empty()) {
      const std::string& amount = CellText(transactions, row, "Amount");
      // Read as the engine wrote it, whatever the process's locale says a decimal point is.
      double paid = 0;
      std::from_chars(amount.data(), amount.data() + amount.size(), paid);
      state = paid > 0 ? "paid" : "open";
    }
    row.push_back(TDBCell{TDBCell::TKind::Textual, state});
  }
}

// What transactions keeps: the rows of one invoice, of one till, or of both.
struct TTransactionFilter {
  std::optional<int32_t> Invoice, Till;
  bool Json = false;
};

// Keeps the rows whose column holds one of the values.
void KeepRows(TDBTable& table, const char* column, const std::vector<std::string>& values) {
  std::vector<std::vector<TDBCell>> kept;
  for (auto& row : table.Rows)
    if (std::find(values.begin(), values.end(), CellText(table, row, column)) != values.end())
      kept.push_back(std::move(row));
  table.Rows = std::move(kept);
}

int ShowTransactions(const TTillOptions& options, const TTransactionFilter& filter,
                     std::ostream& out, std::ostream& err) {
  // The till's own service on the database its options name, without loading the module.
  TIntfPtr<IDBScript> db = NewDBScript(DatabaseOptions(options));
  TIntfPtr<ITillDatabase> till = db.As<ITillDatabase>();
  std::string path, error;
  db->GetConnection(path);
  if (!till->Exists(error)) return Fail(err, error);
  for (const char* table : {"DovraTransactions", "DovraLog"})
    if (!db->TableExists(table)) {
      db->LastError(error);
      if (!error.empty()) return 1;  // the service has said why
      return Fail(err, "the module's tables are missing: run sarn-till upgrade first");
    }

  TDBTable transactions, log, sales, giveBacks;
  std::string where;
  if (filter.Invoice) where = " WHERE [InvoiceNum] = " + std::to_string(*filter.Invoice);
  if (!till->QueryTable("SELECT * FROM [DovraTransactions]" + where + " ORDER BY [ID]",
                        transactions) ||
      !till->QueryTable("SELECT * FROM [DovraLog] ORDER BY [ID]", log))
    return 1;  // the service has said why
  // A till that has not sold anything since it keeps its sales has no table of them yet.
  if (db->TableExists("SarnSales")) {
    if (!till->QueryTable("SELECT * FROM [SarnSales] ORDER BY [Sale]", sales)) return 1;
  } else {
    db->LastError(error);
    if (!error.empty()) return 1;
  }
  if (db->TableExists("SarnGiveBacks")) {
    if (!till->QueryTable("SELECT * FROM [SarnGiveBacks] ORDER BY [ID]", giveBacks)) return 1;
  } else {
    db->LastError(error);
    if (!error.empty()) return 1;
  }
  AddStates(transactions, log, sales, giveBacks);
  const bool filtered = filter.Invoice || filter.Till;
  if (filter.Till) {
    // A till's voucher payments are those of its sales: the module's rows carry no till.
    KeepRows(sales, "Till", {std::to_string(*filter.Till)});
    std::vector<std::string> references;
    for (const auto& row : sales.Rows)
      if (const std::string& ref = CellText(sales, row, "VoucherReference"); !ref.empty())
        references.push_back(ref);
    KeepRows(transactions, "VoucherReference", references);
  }
  if (filtered) {
    std::vector<std::string> ids, references;
    const int id = ColumnIndex(transactions, "ID");
    const int reference = ColumnIndex(transactions, "VoucherReference");
    for (const auto& row : transactions.Rows) {
      if (id >= 0) ids.push_back(row[id].Text);
      if (reference >= 0 && !row[reference].Text.empty()) references.push_back(row[reference].Text);
    }
    const int message = ColumnIndex(log, "Message");
    std::vector<std::vector<TDBCell>> kept;
    for (auto& row : log.Rows)
      if (message >= 0 && !ids.empty() && MentionsTransaction(row[message].Text, ids, references))
        kept.push_back(std::move(row));
    log.Rows = std::move(kept);
    kept.clear();
    const std::string invoiceText = filter.Invoice ? std::to_string(*filter.Invoice) : "";
    for (auto& row : sales.Rows) {
      const std::string& ref = CellText(sales, row, "VoucherReference");
      if (!filter.Invoice || CellText(sales, row, "Invoice") == invoiceText ||
          (!ref.empty() &&
           std::find(references.begin(), references.end(), ref) != references.end()))
        kept.push_back(std::move(row));
    }
    sales.Rows = std::move(kept);
    kept.clear();
    for (auto& row : giveBacks.Rows) {
      const std::string& ref = CellText(giveBacks, row, "VoucherReference");
      if (!ref.empty() && std::find(references.begin(), references.end(), ref) != references.end())
        kept.push_back(std::move(row));
    }
    giveBacks.Rows = std::move(kept);
  }

  if (filter.Json) {
    PrintJSONLines("DovraTransactions", transactions, out);
    PrintJSONLines("DovraLog", log, out);
    PrintJSONLines("SarnSales", sales, out);
    PrintJSONLines("SarnGiveBacks", giveBacks, out);
    return 0;
  }
  constexpr size_t Width = 40;
  std::string of;
  if (filter.Invoice) of += " of invoice " + std::to_string(*filter.Invoice);
  if (filter.Till) of += (of.empty() ? " of till " : ", till ") + std::to_string(*filter.Till);
  out << "DovraTransactions: " << transactions.Rows.size() << " row(s)" << of;
  out << '\n' << FormatTextTable(transactions, Width) << '\n';
  out << "DovraLog: " << log.Rows.size() << " row(s)";
  if (filtered) out << " concerning them";
  out << '\n' << FormatTextTable(log, Width);
  out << "\nSarnSales: " << sales.Rows.size() << " row(s)" << of;
  if (filter.Invoice) out << " or of those vouchers";
  out << '\n';
  if (!sales.Columns.empty()) out << FormatTextTable(sales, Width);
  // Only once the till has given a voucher back outside a sale.
  if (!giveBacks.Columns.empty()) {
    out << "\nSarnGiveBacks: " << giveBacks.Rows.size() << " row(s)";
    if (filtered) out << " of those vouchers";
    out << '\n' << FormatTextTable(giveBacks, Width);
  }
  return 0;
}

}  // namespace

std::string FormatTextTable(const TDBTable& table, size_t maxWidth) {
  const size_t columns = table.Columns.size();
  std::vector<std::vector<std::string>> cells;
  std::vector<size_t> widths(columns);
  std::vector<bool> numeric(columns, true);
  std::vector<bool> any(columns, false);
  for (size_t c = 0; c < columns; ++c) widths[c] = Characters(table.Columns[c]);
  for (const auto& row : table.Rows) {
    std::vector<std::string>& line = cells.emplace_back();
    for (size_t c = 0; c < columns && c < row.size(); ++c) {
      line.push_back(ScreenText(row[c], maxWidth));
      widths[c] = std::max(widths[c], Characters(line.back()));
      if (row[c].Kind == TDBCell::TKind::Textual) numeric[c] = false;
      if (row[c].Kind != TDBCell::TKind::Null) any[c] = true;
    }
  }
  auto put = [&](std::string& line, size_t c, const std::string& text) {
    const std::string pad(widths[c] - Characters(text), ' ');
    if (c) line += "  ";
    line += numeric[c] && any[c] ? pad + text : text + pad;
  };
  auto finish = [](std::string& text, std::string& line) {
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + '\n';
    line.clear();
  };
  std::string text, line;
  for (size_t c = 0; c < columns; ++c) put(line, c, table.Columns[c]);
  finish(text, line);
  for (size_t c = 0; c < columns; ++c) put(line, c, std::string(widths[c], '-'));
  finish(text, line);
  for (const auto& row : cells) {
    for (size_t c = 0; c < row.size(); ++c) put(line, c, row[c]);
    finish(text, line);
  }
  return text;
}

bool MentionsTransaction(const std::string& message, const std::vector<std::string>& ids,
                         const std::vector<std::string>& references) {
  auto numberAt = [&](size_t at, const std::string& id) {
    return message.compare(at, id.size(), id) == 0 &&
           (at + id.size() == message.size() ||
            !std::isdigit(static_cast<unsigned char>(message[at + id.size()])));
  };
  for (const std::string& id : ids) {
    const std::string created = "New Transaction: ";
    for (size_t at = message.find(created); at != std::string::npos;
         at = message.find(created, at + 1))
      if (numberAt(at + created.size(), id)) return true;
    for (size_t at = message.find("\"ID\""); at != std::string::npos;
         at = message.find("\"ID\"", at + 1)) {
      size_t k = at + 4;
      while (k < message.size() && message[k] == ' ') ++k;
      if (k >= message.size() || message[k] != ':') continue;
      ++k;
      while (k < message.size() && message[k] == ' ') ++k;
      if (numberAt(k, id)) return true;
    }
  }
  for (const std::string& reference : references)
    if (!reference.empty() && message.find(reference) != std::string::npos) return true;
  return false;
}

void AddDatabaseCommands(CLI::App& app, TTill& till) {
  TTillOptions& options = till.MutableOptions();
  if (options.DatabasePath.empty()) options.DatabasePath = DefaultDatabasePath();
  app.add_option("--db", options.DatabasePath,
                 "the till's database: a file (SQLite; only upgrade makes a new one) or a "
                 "PostgreSQL server, as postgresql://USER@HOST:PORT/DB or key=value pairs "
                 "(host=/run/x dbname=store); the password belongs in ~/.pgpass or PGPASSFILE, "
                 "never here (a command line shows in ps)")
      ->default_str(ShownConnection(options.DatabasePath))
      ->check(DatabaseConnection())
      ->envname("SARN_TILL_DB");
  app.add_option("--db-busy-ms", options.DatabaseBusyMs,
                 "how long a database locked by another program is waited for, in milliseconds; "
                 "on PostgreSQL every call ends within this plus 2000")
      ->capture_default_str()
      ->check(Milliseconds(0));
  app.add_option(
      "--sql-trace", options.SqlTracePath,
      "append one JSON line per database call (statement, arguments, SQL Server text, the "
      "text the engine was sent, outcome) to FILE (created rw-r-----)");

  CLI::App* upgrade = app.add_subcommand(
      "upgrade",
      "create the database tables of the till and of the module that are missing and register "
      "the module's rights (safe to run again)");
  upgrade->fallthrough();
  auto create = std::make_shared<bool>(false);
  upgrade->add_flag("--create", *create,
                    "make a new SQLite file at --db whatever its name (without it, only a name "
                    "ending in .db or .sqlite in an existing folder is made)");
  TTill* owner = &till;
  upgrade->callback([owner, create] {
    // A new database file only where one was plainly meant: a mistyped name or server
    // connection must not become an empty database.
    TTillOptions& options = owner->MutableOptions();
    if (!MissingDatabase(options.DatabasePath).empty()) {
      if (const std::string refusal = NewDatabaseFileRefusal(options.DatabasePath, *create);
          !refusal.empty())
        throw CLI::RuntimeError("sarn-till upgrade: " + refusal, kExitUsage);
      options.CreateDatabase = true;
    }
    StartModule(*owner, "upgrade");
    if (const int code = PrintUpgrade(RunDatabaseUpgrade(owner->Registry()), std::cout, std::cerr))
      throw CLI::RuntimeError(code);
  });

  struct TFilterOptions {
    int32_t Invoice = 0, Till = 0;
    TTransactionFilter Filter;
  };
  auto filter = std::make_shared<TFilterOptions>();
  CLI::App* transactions = app.add_subcommand(
      "transactions",
      "show the module's tables, DovraTransactions (one row per voucher payment, with its State: "
      "open, paid, linked, reversed or reverse failed) and DovraLog (its activity log), and the "
      "till's own sales, SarnSales, and give-backs, SarnGiveBacks (voucher reverse, reconcile); "
      "texts longer than 40 characters end in an ellipsis");
  transactions->fallthrough();
  CLI::Option* invoice = transactions->add_option(
      "--invoice", filter->Invoice,
      "only the DovraTransactions rows of this invoice number, and only the DovraLog rows that "
      "mention one of their IDs (\"New Transaction: ID\", \"ID\": ID) or voucher references");
  CLI::Option* tillID = transactions->add_option(
      "--till-id", filter->Till,
      "only the SarnSales rows of this till, the DovraTransactions rows of "
      "their vouchers and the DovraLog rows that mention those");
  transactions->add_flag("--json", filter->Filter.Json,
                         "one JSON object a line, texts in full, each naming its \"table\"");
  transactions->callback([owner, filter, invoice, tillID] {
    if (*invoice) filter->Filter.Invoice = filter->Invoice;
    if (*tillID) filter->Filter.Till = filter->Till;
    if (const int code = ShowTransactions(owner->Options(), filter->Filter, std::cout, std::cerr))
      throw CLI::RuntimeError(code);
  });
}
