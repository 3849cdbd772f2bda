#include "host/db/sqlite/TSqliteDialect.h"

#include "host/db/sql/SqlText.h"

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

// The tokens of the code, comments left out.
std::vector<TSqlToken> CodeTokens(const std::string& sql) {
  std::vector<TSqlToken> tokens = SqlTokens(sql);
  tokens.erase(std::remove_if(tokens.begin(), tokens.end(),
                              [](const TSqlToken& t) { return t.Kind == TSqlTokenKind::Comment; }),
               tokens.end());
  return tokens;
}

struct TEdit {
  size_t Begin;
  size_t End;
  std::string Text;
};

class TTranslator {
 public:
  explicit TTranslator(const std::string& sql) : S(sql), T(CodeTokens(sql)) {}

  std::string Run() {
    for (size_t i = 0; i < T.size(); ++i) {
      if (Word(i, "IF")) Guard(i);
      if (Word(i, "IDENTITY")) Identity(i);
      if (Word(i, "MAX")) UnboundedText(i);
      if (Word(i, "VARCHAR") || Word(i, "NVARCHAR") || Word(i, "CHAR") || Word(i, "NCHAR"))
        BoundedText(i);
    }
    if (Edits.empty()) return S;
    std::sort(Edits.begin(), Edits.end(),
              [](const TEdit& a, const TEdit& b) { return a.Begin < b.Begin; });
    std::string out;
    size_t at = 0;
    for (const TEdit& e : Edits) {
      out.append(S, at, e.Begin - at);
      out += e.Text;
      at = e.End;
    }
    out.append(S, at, std::string::npos);
    return out;
  }

 private:
  std::string_view Text(size_t k) const {
    return std::string_view(S).substr(T[k].Begin, T[k].End - T[k].Begin);
  }
  bool Word(size_t k, std::string_view word) const {
    return k < T.size() && T[k].Kind == TSqlTokenKind::Word && SameWord(Text(k), word);
  }
  bool Punct(size_t k, char c) const {
    return k < T.size() && T[k].Kind == TSqlTokenKind::Punct && S[T[k].Begin] == c;
  }
  bool Literal(size_t k, std::string& value) const {
    return k < T.size() && T[k].Kind == TSqlTokenKind::Literal && T[k].Closed &&
           LiteralValue(Text(k), value);
  }
  bool NamePart(size_t k) const {
    return k < T.size() &&
           (T[k].Kind == TSqlTokenKind::Word || T[k].Kind == TSqlTokenKind::QuotedName);
  }

  // IF [(] OBJECT_ID ( 'name' [, 'U'] ) IS NULL [)] CREATE TABLE name
  void Guard(size_t i) {
    size_t k = i + 1;
    const bool outer = Punct(k, '(');
    if (outer) ++k;
    std::string guarded, type;
    if (!Word(k, "OBJECT_ID") || !Punct(k + 1, '(') || !Literal(k + 2, guarded)) return;
    k += 3;
    if (Punct(k, ',')) {
      if (!Literal(k + 1, type)) return;
      k += 2;
    }
    if (!Punct(k, ')') || !Word(k + 1, "IS") || !Word(k + 2, "NULL")) return;
    k += 3;
    if (outer) {
      if (!Punct(k, ')')) return;
      ++k;
    }
    if (!Word(k, "CREATE") || !Word(k + 1, "TABLE") || !NamePart(k + 2)) return;
    const size_t table = k + 1;
    size_t last = k + 2;
    while (Punct(last + 1, '.') && NamePart(last + 2)) last += 2;
    if (!type.empty() && !SameWord(ObjectPart(type), "U")) return;
    if (!SameWord(ObjectPart(guarded), UnquotedName(Text(last)))) return;
    Edits.push_back(TEdit{T[i].Begin, T[table].End, "CREATE TABLE IF NOT EXISTS"});
  }

  // VARCHAR(MAX), NVARCHAR(MAX): SQLite's TEXT has no length anyway.
  void UnboundedText(size_t j) {
    if (j < 2 || !Punct(j - 1, '(') || !Punct(j + 1, ')')) return;
    if (!Word(j - 2, "VARCHAR") && !Word(j - 2, "NVARCHAR")) return;
    Edits.push_back(TEdit{T[j - 2].Begin, T[j + 1].End, "TEXT"});
  }

  // A column "name VARCHAR(n)" of a table definition (or one ALTER TABLE adds): SQLite keeps
  // any length, SQL Server and PostgreSQL refuse a longer text. The check makes SQLite refuse it
  // too, so a text the module does not cut to its column fails here as it would in the store.
  void BoundedText(size_t j) {
    std::string length;
    if (j < 2 || !NamePart(j - 1) || !Punct(j + 1, '(') || !Punct(j + 3, ')') ||
        T[j + 2].Kind != TSqlTokenKind::Word)
      return;
    length = std::string(Text(j + 2));
    if (length.empty() || length.size() > 9 ||
        !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return;
    if (!Punct(j - 2, '(') && !Punct(j - 2, ',') && !Word(j - 2, "ADD") && !Word(j - 2, "COLUMN"))
      return;
    const std::string column(Text(j - 1));
    Edits.push_back(
        TEdit{T[j + 3].End, T[j + 3].End, " CHECK (length(" + column + ") <= " + length + ")"});
  }

  // A column "name INT ... IDENTITY[(1,1)] ... PRIMARY KEY" of a table definition.
  void Identity(size_t j) {
    size_t identityEnd = j;
    if (Punct(j + 1, '(')) {
      if (!Word(j + 2, "1") || !Punct(j + 3, ',') || !Word(j + 4, "1") || !Punct(j + 5, ')'))
        return;
      identityEnd = j + 5;
    }
    // The column definition runs between the ',' or '(' before it and the ',' or ')' after it.
    size_t start = 0;
    bool found = false;
    int depth = 0;
    for (size_t m = j; m-- > 0;) {
      if (Punct(m, ')')) {
        ++depth;
      } else if (Punct(m, '(')) {
        if (depth == 0) {
          start = m + 1;
          found = true;
          break;
        }
        --depth;
      } else if (Punct(m, ',') && depth == 0) {
        start = m + 1;
        found = true;
        break;
      }
    }
    if (!found) return;
    size_t end = T.size();
    depth = 0;
    for (size_t m = identityEnd + 1; m < T.size(); ++m) {
      if (Punct(m, '(')) {
        ++depth;
      } else if (Punct(m, ')')) {
        if (depth == 0) {
          end = m;
          break;
        }
        --depth;
      } else if (Punct(m, ',') && depth == 0) {
        end = m;
        break;
      }
    }
    const size_t type = start + 1;
    if (type >= j || !NamePart(start)) return;
    if (!Word(type, "INT") && !Word(type, "INTEGER") && !Word(type, "BIGINT") &&
        !Word(type, "SMALLINT") && !Word(type, "TINYINT"))
      return;
    size_t key = 0;
    for (size_t m = type + 1; m + 1 < end; ++m) {
      if (Word(m, "AUTOINCREMENT")) return;
      if (Word(m, "PRIMARY") && Word(m + 1, "KEY")) key = m + 1;
    }
    if (key == 0) return;
    Edits.push_back(TEdit{T[type].Begin, T[type].End, "INTEGER"});
    Edits.push_back(TEdit{T[j].Begin, T[identityEnd].End, ""});
    Edits.push_back(TEdit{T[key].End, T[key].End, " AUTOINCREMENT"});
  }

  const std::string& S;
  std::vector<TSqlToken> T;
  std::vector<TEdit> Edits;
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

std::string TranslateSqlServerText(const std::string& sql) {
  // Most statements carry none of the forms; they pass without being taken apart.
  if (!ContainsWord(sql, "IDENTITY") && !ContainsWord(sql, "OBJECT_ID") &&
      !ContainsWord(sql, "MAX") && !ContainsWord(sql, "CHAR"))
    return sql;
  return TTranslator(sql).Run();
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
