#include "host/cli/cmdDatabase.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "host/cli/cliCommon.h"
#include "host/contract/DatabaseConnection.h"
#include "host/store/CellsByName.h"
#include "host/store/DatabaseUpgrade.h"
#include "host/store/TGiveBack.h"
#include "host/store/TLedger.h"
#include "lib/common/CalendarDate.h"
#include "lib/common/Utf8Text.h"
#include "lib/json/JSONString.h"

namespace {

// Characters (UTF-8 sequences) in the text.
size_t Characters(const std::string& text) {
  size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string ScreenText(const TDBCell& cell, size_t maxWidth) {
  if (cell.Kind == TDBCell::TKind::Null) return "NULL";
  // A row written before the till made every text valid UTF-8 may still hold stray bytes.
  const std::string text = ValidUTF8(cell.Text);
  std::string out;
  size_t characters = 0;
  const size_t total = Characters(text);
  for (const char ch : text) {
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
TExitCode PrintUpgrade(const TDatabaseUpgradeResult& result, std::ostream& out, std::ostream& err) {
  for (const TUpgradeLine& line : result.Lines)
    (line.Failure ? err << "sarn-till upgrade: " : out) << line.Text << '\n';
  switch (result.Outcome) {
    case TUpgradeOutcome::Unusable:
      return TExitCode::Failed;
    case TUpgradeOutcome::UpToDateReadOnly:
      out << "upgrade done: the database cannot be written and is up to date, nothing to write: "
          << result.ScriptCount << " script(s) already run, every right registered\n";
      return TExitCode::Done;
    case TUpgradeOutcome::Done:
    case TUpgradeOutcome::Failed:
      break;
  }
  const bool failed = result.Outcome == TUpgradeOutcome::Failed;
  out << (failed ? "upgrade FAILED: " : "upgrade done: ") << result.ScriptsRun << " of "
      << result.ScriptCount << " script(s) run, " << result.TablesCreated << " table(s) created, "
      << result.RightsChanged << " right(s) added or changed\n";
  return failed ? TExitCode::Failed : TExitCode::Done;
}

TExitCode Fail(std::ostream& err, const std::string& message) {
  err << "sarn-till transactions: " << message << '\n';
  return TExitCode::Failed;
}

// Always valid UTF-8, whatever bytes the database holds: a JSON reader refuses anything else.
constexpr TJSONStringBytes kForPeople = TJSONStringBytes::ValidUTF8;

// One JSON object a line, texts in full: what a script reads instead of the screen table.
void PrintJSONLines(const char* name, const TDBTable& table, std::ostream& out) {
  for (const auto& row : table.Rows) {
    std::string line = "{\"table\":";
    AppendJSONString(line, name, kForPeople);
    for (size_t c = 0; c < table.Columns.size() && c < row.size(); ++c) {
      line += ',';
      AppendJSONString(line, table.Columns[c], kForPeople);
      line += ':';
      if (row[c].Kind == TDBCell::TKind::Null)
        line += "null";
      else if (row[c].Kind == TDBCell::TKind::Textual)
        AppendJSONString(line, row[c].Text, kForPeople);
      else
        line += row[c].Text;
    }
    out << line << "}\n";
  }
}

// What transactions keeps: the rows of one invoice, of one till, or of both, and of the till's
// local days from Since to Until (YYYY-MM-DD, inclusive; empty: no bound).
struct TTransactionFilter {
  std::optional<int32_t> Invoice, Till;
  std::string Since, Until;
  bool Json = false;
};

// report: one day's voucher figures per till, as a table, JSON lines or CSV.
enum class TReportFormat { Table, Json, Csv };
struct TReportOptions {
  std::string Day;
  TReportFormat Format = TReportFormat::Table;
};

// --since, --until, --day: a calendar day written YYYY-MM-DD.
CLI::Validator CalendarDay() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const auto digits = [&](size_t from, size_t n) {
          for (size_t i = from; i < from + n; ++i)
            if (text[i] < '0' || text[i] > '9') return false;
          return true;
        };
        if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !digits(0, 4) ||
            !digits(5, 2) || !digits(8, 2))
          return "'" + text + "' is not a day: write it YYYY-MM-DD, e.g. 2026-12-10";
        const int year = std::atoi(text.c_str()), month = std::atoi(text.c_str() + 5),
                  day = std::atoi(text.c_str() + 8);
        if (!IsCalendarDay(year, month, day)) return "'" + text + "' is no day of the calendar";
        return "";
      },
      "YYYY-MM-DD", "CalendarDay");
}

// The table's rows whose time stamp (as the till's clock wrote it, local time, "YYYY-MM-DD ...")
// falls on a day from since to until, inclusive. A row without a time stamp is on no day.
void KeepDays(TDBTable& table, const char* column, const std::string& since,
              const std::string& until) {
  if (since.empty() && until.empty()) return;
  std::vector<std::vector<TDBCell>> kept;
  for (auto& row : table.Rows) {
    const std::string day = CellText(table, row, column).substr(0, 10);
    if (day.size() == 10 && (since.empty() || day >= since) && (until.empty() || day <= until))
      kept.push_back(std::move(row));
  }
  table.Rows = std::move(kept);
}

// Reads the tables transactions and report show, the module's rows with their State as the
// ledger tells it; false with the exit code when a table is missing or the database failed (the
// service or Fail has said why).
bool ReadTillTables(const TTillOptions& options, const std::string& where, TLedgerTables& tables,
                    std::ostream& err, TExitCode& code) {
  // The till's own service on the database its options name, without loading the module.
  TIntfPtr<TDBScript> db = NewDBScript(DatabaseOptions(options));
  std::string error;
  code = TExitCode::Failed;
  if (!db->Exists(error)) {
    Fail(err, error);
    return false;
  }
  for (const char* table : {"DovraTransactions", "DovraLog"})
    if (!db->TableExists(table)) {
      db->LastError(error);
      if (error.empty()) Fail(err, "the module's tables are missing: run sarn-till upgrade first");
      return false;
    }
  TLedger ledger;
  if (!ledger.Read(*db, TLedgerScope{where, true}, error)) return false;
  tables = ledger.TakeTables();
  code = TExitCode::Done;
  return true;
}

// Keeps the rows whose column holds one of the values.
void KeepRows(TDBTable& table, const char* column, const std::vector<std::string>& values) {
  std::vector<std::vector<TDBCell>> kept;
  for (auto& row : table.Rows)
    if (std::find(values.begin(), values.end(), CellText(table, row, column)) != values.end())
      kept.push_back(std::move(row));
  table.Rows = std::move(kept);
}

// "2026-12-10", "2026-12-01 to 2026-12-10", "2026-12-01 onwards", "up to 2026-12-10".
std::string DaysText(const std::string& since, const std::string& until) {
  if (since == until) return since;
  if (until.empty()) return since + " onwards";
  if (since.empty()) return "up to " + until;
  return since + " to " + until;
}

// The zone the till's clock writes its time stamps in on day (YYYY-MM-DD), for the label:
// "CET, UTC+01:00".
std::string ZoneOfDay(const std::string& day) {
  std::tm noon{};
  noon.tm_year = std::atoi(day.substr(0, 4).c_str()) - 1900;
  noon.tm_mon = std::atoi(day.substr(5, 2).c_str()) - 1;
  noon.tm_mday = std::atoi(day.substr(8, 2).c_str());
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  const std::time_t at = std::mktime(&noon);
  std::tm local{};
  localtime_r(&at, &local);
  char name[64] = "";
  std::strftime(name, sizeof name, "%Z", &local);
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[32];
  std::snprintf(zone, sizeof zone, "UTC%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return std::string(name) + ", " + zone;
}

TExitCode ShowTransactions(const TTillOptions& options, const TTransactionFilter& filter,
                           std::ostream& out, std::ostream& err) {
  std::string where;
  if (filter.Invoice) where = " WHERE [InvoiceNum] = " + std::to_string(*filter.Invoice);
  TLedgerTables tables;
  TExitCode code = TExitCode::Done;
  if (!ReadTillTables(options, where, tables, err, code)) return code;
  TDBTable& transactions = tables.Transactions;
  TDBTable& log = tables.Log;
  TDBTable& sales = tables.Sales;
  TDBTable& giveBacks = tables.GiveBacks;
  // The days first: the log rows that stay are those naming the payments of those days.
  KeepDays(transactions, "Timestamp_Created", filter.Since, filter.Until);
  KeepDays(log, "Timestamp", filter.Since, filter.Until);
  KeepDays(sales, "Created", filter.Since, filter.Until);
  KeepDays(giveBacks, "Created", filter.Since, filter.Until);
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
    const int id = ColumnOf(transactions, "ID");
    const int reference = ColumnOf(transactions, "VoucherReference");
    for (const auto& row : transactions.Rows) {
      if (id >= 0) ids.push_back(row[id].Text);
      if (reference >= 0 && !row[reference].Text.empty()) references.push_back(row[reference].Text);
    }
    const int message = ColumnOf(log, "Message");
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
    return TExitCode::Done;
  }
  constexpr size_t Width = 40;
  std::string of;
  if (filter.Invoice) of += " of invoice " + std::to_string(*filter.Invoice);
  if (filter.Till) of += (of.empty() ? " of till " : ", till ") + std::to_string(*filter.Till);
  if (!filter.Since.empty() || !filter.Until.empty())
    of += (of.empty() ? " of " : ", ") + DaysText(filter.Since, filter.Until);
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
  return TExitCode::Done;
}

// What one till took on one day, by what became of each voucher payment.
struct TDayFigures {
  int32_t Paid = 0, GivenBack = 0, InDoubt = 0;
  double PaidSum = 0, GivenBackSum = 0, InDoubtSum = 0;
};

// Which of the day's figures a voucher payment counts in: its State as transactions shows it,
// and the till's sale of it. A redemption the module recorded whose sale the till has not booked
// (none, open, not booked) is in doubt until reconcile settles it, as is a reverse begun and not
// confirmed. Payments that paid nothing count nowhere.
enum class TDayFigure { None, Paid, GivenBack, InDoubt };
TDayFigure FigureOf(std::optional<TSaleState> state, const std::string* saleState) {
  if (!state) return TDayFigure::None;
  if (*state == TSaleState::Reversed) return TDayFigure::GivenBack;
  if (IsIntentState(*state)) return TDayFigure::InDoubt;
  if (*state == TSaleState::Paid || *state == TSaleState::Linked) {
    const std::optional<TSaleState> sale = saleState ? ReadSaleState(*saleState) : std::nullopt;
    if (!saleState || sale == TSaleState::Open || sale == TSaleState::NotBooked)
      return TDayFigure::InDoubt;
    return TDayFigure::Paid;
  }
  return TDayFigure::None;
}

std::string MoneyText(double amount) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", amount);
  return text;
}

TExitCode ShowReport(const TTillOptions& options, const TReportOptions& report, std::ostream& out,
                     std::ostream& err) {
  TLedgerTables tables;
  TExitCode code = TExitCode::Done;
  if (!ReadTillTables(options, "", tables, err, code)) return code;
  TDBTable& transactions = tables.Transactions;
  KeepDays(transactions, "Timestamp_Created", report.Day, report.Day);
  struct TSale {
    std::string State;
    int32_t Till = -1;
  };
  std::map<std::string, TSale> sales;  // by voucher reference
  for (const auto& row : tables.Sales.Rows) {
    const std::string& reference = CellText(tables.Sales, row, "VoucherReference");
    if (reference.empty()) continue;
    const std::string& till = CellText(tables.Sales, row, "Till");
    sales[reference] =
        TSale{CellText(tables.Sales, row, "State"), till.empty() ? -1 : std::atoi(till.c_str())};
  }
  std::map<int32_t, TDayFigures> tills;  // -1: a payment no sale of the till names
  for (const auto& row : transactions.Rows) {
    const auto sale = sales.find(CellText(transactions, row, "VoucherReference"));
    const bool known = sale != sales.end();
    const std::string& amountText = CellText(transactions, row, "Amount");
    double amount = 0;
    std::from_chars(amountText.data(), amountText.data() + amountText.size(), amount);
    const TDayFigure figure = FigureOf(ReadSaleState(CellText(transactions, row, "State")),
                                       known ? &sale->second.State : nullptr);
    if (figure == TDayFigure::None || amount <= 0) continue;
    TDayFigures& f = tills[known ? sale->second.Till : -1];
    if (figure == TDayFigure::Paid) ++f.Paid, f.PaidSum += amount;
    if (figure == TDayFigure::GivenBack) ++f.GivenBack, f.GivenBackSum += amount;
    if (figure == TDayFigure::InDoubt) ++f.InDoubt, f.InDoubtSum += amount;
  }
  TDayFigures all;
  for (const auto& [till, f] : tills) {
    all.Paid += f.Paid, all.GivenBack += f.GivenBack, all.InDoubt += f.InDoubt;
    all.PaidSum += f.PaidSum, all.GivenBackSum += f.GivenBackSum, all.InDoubtSum += f.InDoubtSum;
  }
  const std::string zone = ZoneOfDay(report.Day);
  const auto tillName = [](int32_t till) {
    return till < 0 ? std::string("?") : std::to_string(till);
  };
  const auto figures = [](const TDayFigures& f) {
    return std::vector<std::string>{std::to_string(f.Paid),      MoneyText(f.PaidSum),
                                    std::to_string(f.GivenBack), MoneyText(f.GivenBackSum),
                                    std::to_string(f.InDoubt),   MoneyText(f.InDoubtSum)};
  };
  if (report.Format == TReportFormat::Json) {
    const auto line = [&](const std::string& till, const TDayFigures& f) {
      std::string text = "{\"day\":";
      AppendJSONString(text, report.Day, kForPeople);
      text += ",\"zone\":";
      AppendJSONString(text, zone, kForPeople);
      text += ",\"till\":" + (till == "?" ? std::string("null") : till == "all" ? "\"all\"" : till);
      const std::vector<std::string> v = figures(f);
      const char* names[] = {"paid",           "paid_sum", "given_back",
                             "given_back_sum", "in_doubt", "in_doubt_sum"};
      for (size_t i = 0; i < v.size(); ++i) text += std::string(",\"") + names[i] + "\":" + v[i];
      out << text << "}\n";
    };
    for (const auto& [till, f] : tills) line(tillName(till), f);
    line("all", all);
    return TExitCode::Done;
  }
  if (report.Format == TReportFormat::Csv) {
    out << "day,zone,till,paid,paid_sum,given_back,given_back_sum,in_doubt,in_doubt_sum\r\n";
    const auto line = [&](const std::string& till, const TDayFigures& f) {
      out << report.Day << ",\"" << zone << "\"," << (till == "?" ? "" : till);
      for (const std::string& v : figures(f)) out << ',' << v;
      out << "\r\n";
    };
    for (const auto& [till, f] : tills) line(tillName(till), f);
    line("all", all);
    return TExitCode::Done;
  }
  TDBTable table;
  table.Columns = {"Till",           "Paid",     "Paid sum",    "Given back",
                   "Given back sum", "In doubt", "In doubt sum"};
  const auto row = [&](const std::string& till, const TDayFigures& f) {
    std::vector<TDBCell> cells{TDBCell{TDBCell::TKind::Textual, till}};
    for (const std::string& v : figures(f)) cells.push_back(TDBCell{TDBCell::TKind::Float, v});
    table.Rows.push_back(std::move(cells));
  };
  for (const auto& [till, f] : tills) row(tillName(till), f);
  row("all", all);
  out << "voucher payments of " << report.Day << " (the till's local time: " << zone << ")\n"
      << FormatTextTable(table, 40);
  if (tills.count(-1))
    out << "till ?: payments the module recorded that no sale of a till names (in doubt until "
           "sarn-till reconcile settles them)\n";
  if (all.InDoubt)
    out << all.InDoubt
        << " payment(s) in doubt: run sarn-till reconcile, then see "
           "sarn-till transactions --since "
        << report.Day << " --until " << report.Day << "\n";
  return TExitCode::Done;
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
      ->default_str("sarn-till.db beside sarn-till")
      ->check(DatabaseConnection())
      ->envname("SARN_TILL_DB");
  app.add_option("--db-busy-ms", options.DatabaseBusyMs,
                 "how long a database locked by another program is waited for, in milliseconds; "
                 "on PostgreSQL every call ends within this plus 2000")
      ->capture_default_str()
      ->transform(Milliseconds(0));
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
        throw CommandEnd("sarn-till upgrade: " + refusal, TExitCode::Usage);
      options.CreateDatabase = true;
    }
    StartModule(*owner, "upgrade");
    const TExitCode code =
        PrintUpgrade(RunDatabaseUpgrade(owner->Registry(), owner->Database(), owner->ActionCodes()),
                     std::cout, std::cerr);
    if (code != TExitCode::Done) throw CommandEnd(code);
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
  transactions
      ->add_option("--since", filter->Filter.Since,
                   "only the rows of this day (YYYY-MM-DD, the till's local time) and later")
      ->check(CalendarDay());
  transactions
      ->add_option("--until", filter->Filter.Until,
                   "only the rows of this day (YYYY-MM-DD, the till's local time) and earlier")
      ->check(CalendarDay());
  transactions->callback([owner, filter, invoice, tillID] {
    if (*invoice) filter->Filter.Invoice = filter->Invoice;
    if (*tillID) filter->Filter.Till = filter->Till;
    if (!filter->Filter.Since.empty() && !filter->Filter.Until.empty() &&
        filter->Filter.Until < filter->Filter.Since)
      throw CommandEnd("sarn-till transactions: --until " + filter->Filter.Until +
                           " is before --since " + filter->Filter.Since,
                       TExitCode::Usage);
    if (const TExitCode code =
            ShowTransactions(owner->Options(), filter->Filter, std::cout, std::cerr);
        code != TExitCode::Done)
      throw CommandEnd(code);
  });

  auto report = std::make_shared<TReportOptions>();
  CLI::App* reportCommand = app.add_subcommand(
      "report",
      "one day's voucher payments per till: how many paid and their sum, what was given back, "
      "what is in doubt (recorded by the module but not booked by the till, or a reverse not "
      "confirmed: run sarn-till reconcile)");
  reportCommand->fallthrough();
  reportCommand->add_option("--day", report->Day, "the day (YYYY-MM-DD, the till's local time)")
      ->required()
      ->check(CalendarDay());
  auto json = std::make_shared<bool>(false), csv = std::make_shared<bool>(false);
  CLI::Option* jsonFlag =
      reportCommand->add_flag("--json", *json, "one JSON object a line per till, then \"all\"");
  reportCommand->add_flag("--csv", *csv, "comma-separated values with a header line")
      ->excludes(jsonFlag);
  reportCommand->footer(
      "Amounts are the module's (what each voucher paid). Times are the till's local time, as "
      "its clock wrote them; the zone is named in the table's title and in every JSON and CSV "
      "line. Till ? holds payments no sale of a till names.");
  reportCommand->callback([owner, report, json, csv] {
    report->Format = *json ? TReportFormat::Json : *csv ? TReportFormat::Csv : TReportFormat::Table;
    if (const TExitCode code = ShowReport(owner->Options(), *report, std::cout, std::cerr);
        code != TExitCode::Done)
      throw CommandEnd(code);
  });
}
