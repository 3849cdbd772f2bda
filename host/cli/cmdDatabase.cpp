#include "cmdDatabase.h"

#include <iostream>
#include <memory>
#include <sstream>

#include "TDatabaseUpgrade.h"
#include "TDatabases.h"
#include "cliCommon.h"

namespace {

// Characters (UTF-8 sequences) in the text.
size_t Characters(const std::string& text) {
  size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

std::string ScreenText(const TDBCell& cell, size_t maxWidth) {
  if (cell.Kind == TDBCell::Null) return "NULL";
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

int Fail(std::ostream& err, const std::string& message) {
  err << "sarn-till transactions: " << message << '\n';
  return 1;
}

int ColumnIndex(const TDBTable& table, const char* name) {
  for (size_t i = 0; i < table.Columns.size(); ++i)
    if (table.Columns[i] == name) return static_cast<int>(i);
  return -1;
}

int ShowTransactions(const TTillOptions& options, bool filtered, int32_t invoice, std::ostream& out,
                     std::ostream& err) {
  // The till's own service on the database its options name, without loading the module.
  TIntfPtr<IDBScript> db = NewDBScript(DatabaseOptions(options));
  TIntfPtr<ITillDatabase> till = db.As<ITillDatabase>();
  std::string path, error;
  db->GetConnection(path);
  if (!till->Exists(error))  // a server that cannot be reached is no matter of upgrading
    return Fail(err, IsServerConnection(options.DatabasePath)
                         ? error
                         : error + "; run sarn-till upgrade first");
  for (const char* table : {"DovraTransactions", "DovraLog"})
    if (!db->TableExists(table)) {
      db->LastError(error);
      if (!error.empty()) return 1;  // the service has said why
      return Fail(err, std::string("the table ") + table + " is missing from " + path +
                           "; run sarn-till upgrade first");
    }

  TDBTable transactions, log;
  std::string where;
  if (filtered) where = " WHERE [InvoiceNum] = " + std::to_string(invoice);
  if (!till->QueryTable("SELECT * FROM [DovraTransactions]" + where + " ORDER BY [ID]",
                        transactions) ||
      !till->QueryTable("SELECT * FROM [DovraLog] ORDER BY [ID]", log))
    return 1;  // the service has said why
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
  }

  constexpr size_t Width = 40;
  out << "DovraTransactions: " << transactions.Rows.size() << " row(s)";
  if (filtered) out << " of invoice " << invoice;
  out << '\n' << FormatTextTable(transactions, Width) << '\n';
  out << "DovraLog: " << log.Rows.size() << " row(s)";
  if (filtered) out << " concerning them";
  out << '\n' << FormatTextTable(log, Width);
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
      if (row[c].Kind == TDBCell::Textual) numeric[c] = false;
      if (row[c].Kind != TDBCell::Null) any[c] = true;
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
                 "the till's database: a file (SQLite, created on use) or a PostgreSQL server, "
                 "as postgresql://USER@HOST/DB or key=value pairs (host=/run/x dbname=store); a "
                 "password is read the way libpq reads it (PGPASSWORD, ~/.pgpass, the URI)")
      ->default_str(ShownConnection(options.DatabasePath));
  app.add_option("--db-busy-ms", options.DatabaseBusyMs,
                 "how long a database locked by another program is waited for, in milliseconds")
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
  TTill* owner = &till;
  upgrade->callback([owner] {
    StartModule(*owner, "upgrade");
    if (const int code = RunDatabaseUpgrade(owner->Registry(), std::cout, std::cerr))
      throw CLI::RuntimeError(code);
  });

  struct TFilter {
    int32_t Invoice = 0;
  };
  auto filter = std::make_shared<TFilter>();
  CLI::App* transactions = app.add_subcommand(
      "transactions",
      "show the module's tables: DovraTransactions (one row per voucher payment) and DovraLog "
      "(its activity log); texts longer than 40 characters end in an ellipsis");
  transactions->fallthrough();
  CLI::Option* invoice = transactions->add_option(
      "--invoice", filter->Invoice,
      "only the DovraTransactions rows of this invoice number, and only the DovraLog rows that "
      "mention one of their IDs (\"New Transaction: ID\", \"ID\": ID) or voucher references");
  transactions->callback([owner, filter, invoice] {
    if (const int code = ShowTransactions(owner->Options(), invoice->count() > 0, filter->Invoice,
                                          std::cout, std::cerr))
      throw CLI::RuntimeError(code);
  });
}
