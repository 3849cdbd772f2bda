#include "host/db/sqlite/SqliteDialect.h"

#include "host/db/sql/SqlText.h"
#include "host/db/sql/TSqlCode.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kEngine = "SQLite";

struct TEdit {
  size_t Begin;
  size_t End;
  std::string Text;
};

class TTranslator {
 public:
  explicit TTranslator(const std::string& sql) : FSql(sql), FCode(sql) {}

  bool Run(std::string& sent, std::string& error) {
    std::string what;
    if (const TSqlToken* open = FCode.Unclosed(what)) return Refuse(*open, what, error);
    for (size_t i = 0; i < FCode.Size(); ++i) {
      if (BeginsTableGuard(FCode, i) && !Guard(i, error)) return false;
      if (FCode.Word(i, "IDENTITY") && !Identity(i, error)) return false;
      if (FCode.Word(i, "MAX")) UnboundedText(i);
      if (FCode.Word(i, "VARCHAR") || FCode.Word(i, "NVARCHAR") || FCode.Word(i, "CHAR") ||
          FCode.Word(i, "NCHAR"))
        BoundedText(i);
    }
    std::sort(FEdits.begin(), FEdits.end(),
              [](const TEdit& a, const TEdit& b) { return a.Begin < b.Begin; });
    sent.clear();
    size_t at = 0;
    for (const TEdit& e : FEdits) {
      sent.append(FSql, at, e.Begin - at);
      sent += e.Text;
      at = e.End;
    }
    sent.append(FSql, at, std::string::npos);
    return true;
  }

 private:
  bool Refuse(const TSqlToken& t, const std::string& what, std::string& error) const {
    error = Untranslatable(kEngine, what, t.Begin);
    return false;
  }

  // A guard SQLite has no form for would reach it as "IF ...", which it refuses only as a syntax
  // error; it is named here instead, in the words the other engine uses.
  bool Guard(size_t i, std::string& error) {
    TTableGuard guard;
    if (!ReadTableGuard(FCode, i, guard)) return Refuse(FCode[i], kGuardForm, error);
    if (!guard.NamesTheTable) return Refuse(FCode[i], kGuardOtherObject, error);
    FEdits.push_back(TEdit{FCode[i].Begin, FCode[guard.Table].End, "CREATE TABLE IF NOT EXISTS"});
    return true;
  }

  // VARCHAR(MAX), NVARCHAR(MAX): SQLite's TEXT has no length anyway.
  void UnboundedText(size_t j) {
    if (j < 2 || !FCode.Punct(j - 1, '(') || !FCode.Punct(j + 1, ')')) return;
    if (!FCode.Word(j - 2, "VARCHAR") && !FCode.Word(j - 2, "NVARCHAR")) return;
    FEdits.push_back(TEdit{FCode[j - 2].Begin, FCode[j + 1].End, "TEXT"});
  }

  // A column "name VARCHAR(n)" of a table definition (or one ALTER TABLE adds): SQLite keeps
  // any length, SQL Server and PostgreSQL refuse a longer text. The check makes SQLite refuse it
  // too, so a text the module does not cut to its column fails here as it would in the store.
  void BoundedText(size_t j) {
    if (j < 2 || !FCode.NamePart(j - 1) || !FCode.Punct(j + 1, '(') || !FCode.Punct(j + 3, ')') ||
        FCode[j + 2].Kind != TSqlTokenKind::Word)
      return;
    const std::string length(FCode.Text(j + 2));
    if (length.empty() || length.size() > 9 ||
        !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return;
    if (!FCode.Punct(j - 2, '(') && !FCode.Punct(j - 2, ',') && !FCode.Word(j - 2, "ADD") &&
        !FCode.Word(j - 2, "COLUMN"))
      return;
    const std::string column(FCode.Text(j - 1));
    FEdits.push_back(TEdit{FCode[j + 3].End, FCode[j + 3].End,
                           " CHECK (length(" + column + ") <= " + length + ")"});
  }

  // A column "name INT ... IDENTITY[(1,1)] ... PRIMARY KEY" of a table definition. SQLite would
  // take any other IDENTITY as part of the column's type name and number nothing: a key of
  // another seed or a column without a key would be created, then filled with NULLs.
  bool Identity(size_t j, std::string& error) {
    const std::string form = "IDENTITY other than \"INT IDENTITY(1,1) PRIMARY KEY\"";
    size_t identityEnd = j;
    if (FCode.Punct(j + 1, '(')) {
      if (!FCode.Word(j + 2, "1") || !FCode.Punct(j + 3, ',') || !FCode.Word(j + 4, "1") ||
          !FCode.Punct(j + 5, ')'))
        return Refuse(FCode[j], form, error);
      identityEnd = j + 5;
    }
    // The column definition runs between the ',' or '(' before it and the ',' or ')' after it.
    size_t start = 0;
    bool found = false;
    int depth = 0;
    for (size_t m = j; m-- > 0;) {
      if (FCode.Punct(m, ')')) {
        ++depth;
      } else if (FCode.Punct(m, '(')) {
        if (depth == 0) {
          start = m + 1;
          found = true;
          break;
        }
        --depth;
      } else if (FCode.Punct(m, ',') && depth == 0) {
        start = m + 1;
        found = true;
        break;
      }
    }
    if (!found) return Refuse(FCode[j], "IDENTITY outside a column definition", error);
    size_t end = FCode.Size();
    depth = 0;
    for (size_t m = identityEnd + 1; m < FCode.Size(); ++m) {
      if (FCode.Punct(m, '(')) {
        ++depth;
      } else if (FCode.Punct(m, ')')) {
        if (depth == 0) {
          end = m;
          break;
        }
        --depth;
      } else if (FCode.Punct(m, ',') && depth == 0) {
        end = m;
        break;
      }
    }
    const size_t type = start + 1;
    if (type >= j || !FCode.NamePart(start)) return Refuse(FCode[j], form, error);
    if (!FCode.Word(type, "INT") && !FCode.Word(type, "INTEGER") && !FCode.Word(type, "BIGINT") &&
        !FCode.Word(type, "SMALLINT") && !FCode.Word(type, "TINYINT"))
      return Refuse(FCode[j], form, error);
    size_t key = 0;
    for (size_t m = type + 1; m < end; ++m) {
      if (FCode.Word(m, "AUTOINCREMENT")) return Refuse(FCode[j], form, error);
      if (m + 1 < end && FCode.Word(m, "PRIMARY") && FCode.Word(m + 1, "KEY")) key = m + 1;
    }
    if (key == 0) return Refuse(FCode[j], form, error);
    FEdits.push_back(TEdit{FCode[type].Begin, FCode[type].End, "INTEGER"});
    FEdits.push_back(TEdit{FCode[j].Begin, FCode[identityEnd].End, ""});
    FEdits.push_back(TEdit{FCode[key].End, FCode[key].End, " AUTOINCREMENT"});
    return true;
  }

  const std::string& FSql;
  const TSqlCode FCode;
  std::vector<TEdit> FEdits;
};

// ---- Functions ----

void GetDateFunction(sqlite3_context* context, int, sqlite3_value**) {
  const std::string now = LocalTimestampText();
  sqlite3_result_text(context, now.data(), static_cast<int>(now.size()), SQLITE_TRANSIENT);
}

void ScopeIdentityFunction(sqlite3_context* context, int, sqlite3_value**) {
  const sqlite3_int64 row = sqlite3_last_insert_rowid(sqlite3_context_db_handle(context));
  if (row == 0)
    sqlite3_result_null(context);
  else
    sqlite3_result_int64(context, row);
}

void ObjectIdFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
  const unsigned char* name = sqlite3_value_text(argv[0]);
  if (!name) {
    sqlite3_result_null(context);
    return;
  }
  const char* types = "'table','view','index','trigger'";
  if (argc > 1 && sqlite3_value_type(argv[1]) != SQLITE_NULL) {
    const unsigned char* type = sqlite3_value_text(argv[1]);
    const std::string wanted = ObjectPart(type ? reinterpret_cast<const char*>(type) : "");
    if (SameWord(wanted, "U")) {
      types = "'table'";
    } else if (SameWord(wanted, "V")) {
      types = "'view'";
    } else {
      sqlite3_result_null(context);  // procedures, functions, ...: SQLite keeps none
      return;
    }
  }
  const std::string query = std::string("SELECT rowid FROM sqlite_master WHERE type IN (") + types +
                            ") AND name = ?1 COLLATE NOCASE";
  sqlite3* db = sqlite3_context_db_handle(context);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, query.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_result_error(context, sqlite3_errmsg(db), -1);
    return;
  }
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
  const std::string object = ObjectPart(reinterpret_cast<const char*>(name));
  sqlite3_bind_text(raw, 1, object.data(), static_cast<int>(object.size()), SQLITE_TRANSIENT);
  const int rc = sqlite3_step(raw);
  if (rc == SQLITE_ROW)
    sqlite3_result_int64(context, sqlite3_column_int64(raw, 0));
  else if (rc == SQLITE_DONE)
    sqlite3_result_null(context);
  else
    sqlite3_result_error(context, sqlite3_errmsg(db), -1);
}

}  // namespace

bool RewriteForSqlite(const std::string& sql, std::string& sent, std::string& error) {
  return TTranslator(sql).Run(sent, error);
}

bool InstallSqlServerFunctions(sqlite3* db, std::string& error) {
  struct TFunction {
    const char* Name;
    int Arguments;
    void (*Call)(sqlite3_context*, int, sqlite3_value**);
  };
  static constexpr TFunction Functions[] = {
      {"GETDATE", 0, GetDateFunction},
      {"SCOPE_IDENTITY", 0, ScopeIdentityFunction},
      {"OBJECT_ID", 1, ObjectIdFunction},
      {"OBJECT_ID", 2, ObjectIdFunction},
  };
  for (const TFunction& f : Functions)
    if (sqlite3_create_function_v2(db, f.Name, f.Arguments, SQLITE_UTF8, nullptr, f.Call, nullptr,
                                   nullptr, nullptr) != SQLITE_OK) {
      error = std::string("cannot install ") + f.Name + ": " + sqlite3_errmsg(db);
      return false;
    }
  return true;
}

void BeginSqlServerBatch(sqlite3* db) { sqlite3_set_last_insert_rowid(db, 0); }
