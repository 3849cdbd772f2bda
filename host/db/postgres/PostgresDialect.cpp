#include "host/db/postgres/PostgresDialect.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>
#include <vector>

#include "host/db/sql/SqlText.h"
#include "host/db/sql/TSqlCode.h"
#include "lib/common/AsciiCase.h"

namespace {

std::string QuotedName(const std::string& name) {
  std::string out = "\"";
  for (const char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + '"';
}

// Words that pass as they stand: both dialects read them alike.
constexpr std::string_view kKeywords[] = {
    "ALL",    "AND",        "AS",         "ASC",     "BETWEEN", "BY",   "CASE",
    "CHECK",  "CONSTRAINT", "CREATE",     "DEFAULT", "DELETE",  "DESC", "DISTINCT",
    "ELSE",   "END",        "ESCAPE",     "EXISTS",  "FOREIGN", "FROM", "GROUP",
    "HAVING", "IN",         "INNER",      "INSERT",  "INTO",    "IS",   "JOIN",
    "KEY",    "LEFT",       "NOT",        "NULL",    "ON",      "OR",   "ORDER",
    "OUTER",  "PRIMARY",    "REFERENCES", "RIGHT",   "SELECT",  "SET",  "TABLE",
    "THEN",   "UNION",      "UNIQUE",     "UPDATE",  "VALUES",  "WHEN", "WHERE"};
static_assert(std::is_sorted(std::begin(kKeywords), std::end(kKeywords)),
              "looked up by binary search");

// Functions both engines have under the same name and meaning.
constexpr std::string_view kFunctions[] = {"ABS", "AVG",    "COALESCE", "COUNT", "LOWER", "MAX",
                                           "MIN", "NULLIF", "ROUND",    "SUM",   "UPPER"};
static_assert(std::is_sorted(std::begin(kFunctions), std::end(kFunctions)),
              "looked up by binary search");

// SQL Server's reserved words, and PostgreSQL's LIMIT, OFFSET and RETURNING: none may stand as a
// bare name, so one that is not handled above is a construct this rewrite does not know.
// Several words a line, sorted (looked up by binary search).
// clang-format off
constexpr std::string_view kReserved[] = {
    "ADD", "ALTER", "ANY", "AUTHORIZATION", "BACKUP", "BEGIN", "BREAK", "BROWSE", "BULK",
    "CASCADE", "CHECKPOINT", "CLOSE", "CLUSTERED", "COLLATE", "COLUMN", "COMMIT", "COMPUTE",
    "CONTAINS", "CONTAINSTABLE", "CONTINUE", "CONVERT", "CROSS", "CURRENT", "CURRENT_DATE",
    "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "DATABASE", "DBCC",
    "DEALLOCATE", "DECLARE", "DENY", "DISK", "DISTRIBUTED", "DOUBLE", "DROP", "DUMP", "ERRLVL",
    "EXCEPT", "EXEC", "EXECUTE", "EXIT", "EXTERNAL", "FETCH", "FILE", "FILLFACTOR", "FOR",
    "FREETEXT", "FREETEXTTABLE", "FULL", "FUNCTION", "GO", "GOTO", "GRANT", "HOLDLOCK",
    "IDENTITYCOL", "IDENTITY_INSERT", "INDEX", "INTERSECT", "KILL", "LIMIT", "LINENO", "LOAD",
    "MERGE", "NATIONAL", "NOCHECK", "NOLOCK", "NONCLUSTERED", "OF", "OFF", "OFFSET", "OFFSETS",
    "OPEN", "OPENDATASOURCE", "OPENQUERY", "OPENROWSET", "OPENXML", "OPTION", "OUTPUT", "OVER",
    "PERCENT", "PIVOT", "PLAN", "PRECISION", "PRINT", "PROC", "PROCEDURE", "PUBLIC", "RAISERROR",
    "READ", "READTEXT", "RECONFIGURE", "REPLICATION", "RESTORE", "RESTRICT", "RETURN", "RETURNING",
    "REVERT", "REVOKE", "ROLLBACK", "ROWCOUNT", "ROWGUIDCOL", "RULE", "SAVE", "SCHEMA",
    "SECURITYAUDIT", "SEMANTICKEYPHRASETABLE", "SESSION_USER", "SETUSER", "SHUTDOWN", "SOME",
    "STATISTICS", "SYSTEM_USER", "TABLESAMPLE", "TEXTSIZE", "TO", "TOP", "TRAN", "TRANSACTION",
    "TRIGGER", "TRUNCATE", "TRY_CONVERT", "TSEQUAL", "UNPIVOT", "UPDATETEXT", "USE", "USER",
    "VARYING", "VIEW", "WAITFOR", "WHILE", "WITH", "WITHIN", "WRITETEXT"};
// clang-format on
static_assert(std::is_sorted(std::begin(kReserved), std::end(kReserved)),
              "looked up by binary search");

template <size_t N>
bool InWords(const std::string_view (&words)[N], std::string_view upper) {
  return std::binary_search(std::begin(words), std::end(words), upper);
}

enum class TParen { Plain, Cast, TableDefinition };

class TRewriter {
 public:
  TRewriter(const std::string& sql, const TIdentityColumnFinder& finder)
      : S(sql), C(sql), FFinder(finder) {}

  bool Run(TPostgresText& out, std::string& error) {
    std::string what;
    if (const TSqlToken* open = C.Unclosed(what)) return Refuse(*open, what, error);
    for (const TSqlToken& c : C.Comments()) {
      // PostgreSQL nests block comments; SQL Server does not: the rest would differ.
      const std::string_view text = C.Text(c);
      if (text.substr(0, 2) == "/*" && text.find("/*", 2) != std::string_view::npos)
        return Refuse(c, "a comment holding \"/*\"", error);
    }
    for (size_t k = 0; k < C.Size(); ++k) {
      if (!Token(k, error)) return false;
      k += Skip;  // tokens a rewrite took in with the current one
      Skip = 0;
    }
    Out.append(S, Copied, std::string::npos);
    out.Sent = std::move(Out);
    out.CreatesTable = CreatesTable;
    return true;
  }

 private:
  std::string_view Text(size_t k) const { return C.Text(k); }
  bool Word(size_t k, std::string_view word) const { return C.Word(k, word); }
  bool Punct(size_t k, char c) const { return C.Punct(k, c); }
  bool Name(size_t k) const {
    return k < C.Size() && (C[k].Kind == TSqlTokenKind::QuotedName ||
                            (C[k].Kind == TSqlTokenKind::Word && !IsKeyword(Text(k))));
  }
  static bool IsKeyword(std::string_view word) {
    const std::string upper = UpperAscii(word);
    return InWords(kKeywords, upper) || InWords(kReserved, upper);
  }

  bool Refuse(const TSqlToken& t, const std::string& what, std::string& error) const {
    error = Untranslatable("PostgreSQL", what, t.Begin);
    return false;
  }
  bool Refuse(size_t k, std::string& error) const {
    return Refuse(C[k], "\"" + std::string(Text(k)) + "\"", error);
  }

  // Replaces tokens first..last (and what stands between them) by text.
  void Emit(size_t first, size_t last, const std::string& text) {
    Out.append(S, Copied, C[first].Begin - Copied);
    Out += text;
    Copied = C[last].End;
  }
  void Keep(size_t k) {
    Out.append(S, Copied, C[k].End - Copied);
    Copied = C[k].End;
  }

  // The position of the token within the column definition it belongs to, when it stands
  // directly inside a CREATE TABLE's parentheses.
  bool InColumnDefinition() const {
    return !Parens.empty() && Parens.back() == TParen::TableDefinition;
  }

  bool Token(size_t k, std::string& error) {
    const TSqlToken& t = C[k];
    const bool columnTop = InColumnDefinition();
    const size_t position = ColumnPosition;
    if (columnTop) ++ColumnPosition;
    switch (t.Kind) {
      case TSqlTokenKind::Comment:
        return true;
      case TSqlTokenKind::Literal:
        Keep(k);
        StatementWords++;
        return true;
      case TSqlTokenKind::QuotedName: {
        if (S[t.Begin] == '`') return Refuse(k, error);
        const std::string name = UnquotedName(Text(k));
        StatementWords++;
        if (columnTop && position == 0) ColumnIsNamed = true;
        if (columnTop && position == 1 && ColumnIsNamed) return Type(k, name, error);
        if (StatementWords == 1) return Refuse(k, error);
        NoteName(name);
        Emit(k, k, QuotedName(name));
        return true;
      }
      case TSqlTokenKind::Punct:
        return Punctuation(k, error);
      case TSqlTokenKind::Word:
        break;
    }
    StatementWords++;
    const std::string_view word = Text(k);
    const std::string upper = UpperAscii(word);
    const unsigned char first = static_cast<unsigned char>(word[0]);
    if (std::isdigit(first)) {
      for (size_t i = 0; i < word.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        if (!std::isdigit(c) && !((c == 'e' || c == 'E') && i > 0 && i + 1 < word.size()))
          return Refuse(k, error);
      }
      Keep(k);
      return true;
    }
    if (first == '@' || first == '#' || first == '$') return Refuse(k, error);
    if (upper == "N" && k + 1 < C.Size() && C[k + 1].Kind == TSqlTokenKind::Literal &&
        C[k + 1].Begin == t.End) {
      Emit(k, k, "");
      return true;
    }
    if (columnTop && position == 1 && ColumnIsNamed) return Type(k, std::string(word), error);
    if (columnTop && position == 0) ColumnIsNamed = !IsKeyword(word);
    if (upper == "IF") return Guard(k, error);
    if (upper == "GETDATE") {
      if (!Punct(k + 1, '(') || !Punct(k + 2, ')')) return Refuse(k, error);
      Emit(k, k + 2, "clock_timestamp()::timestamp(3)");
      Skip = 2;
      return true;
    }
    if (upper == "IDENTITY") return Identity(k, error);
    if (upper == "ALTER") return AddColumn(k, error);
    if (upper == "CAST") {
      if (!Punct(k + 1, '(')) return Refuse(k, error);
      Keep(k);
      NextParen = TParen::Cast;
      return true;
    }
    if (upper == "AS" && !Parens.empty() && Parens.back() == TParen::Cast) {
      Keep(k);
      if (k + 1 >= C.Size()) return Refuse(k, error);
      if (!Type(k + 1, UnquotedName(Text(k + 1)), error)) return false;
      Skip += 1;
      return true;
    }
    if (upper == "SELECT" || upper == "INSERT" || upper == "UPDATE" || upper == "DELETE") {
      if (StatementWords == 1) Statement = upper;
    }
    if (upper == "CREATE") {
      if (!Word(k + 1, "TABLE")) return Refuse(k + 1 < C.Size() ? k + 1 : k, error);
      Statement = "CREATE TABLE";
      CreatesTable = true;
    }
    if (upper == "TABLE" && Statement == "CREATE TABLE") NextParen = TParen::TableDefinition;
    if (upper == "LIKE") {
      Emit(k, k, "ILIKE");
      return true;
    }
    if (InWords(kKeywords, upper)) {
      Keep(k);
      return true;
    }
    if (InWords(kReserved, upper)) return Refuse(k, error);
    if (Punct(k + 1, '(')) {
      const bool named = k > 0 && (Word(k - 1, "INTO") || Word(k - 1, "TABLE") ||
                                   Word(k - 1, "REFERENCES") || Word(k - 1, "EXISTS"));
      if (!named) {
        if (upper == "LEN") {
          Emit(k, k, "length");
          return true;
        }
        if (!InWords(kFunctions, upper)) return Refuse(C[k], "the function " + upper + "()", error);
        Keep(k);
        return true;
      }
    }
    // A schema qualifier SQL Server puts on names: PostgreSQL's tables stand in its own schema.
    if (upper == "DBO" && Punct(k + 1, '.') && Name(k + 2)) {
      Emit(k, k + 1, "");
      Skip = 1;
      return true;
    }
    if (StatementWords == 1) return Refuse(k, error);
    NoteName(std::string(word));
    Emit(k, k, QuotedName(std::string(word)));
    return true;
  }

  void NoteName(const std::string& name) {
    if (Statement == "INSERT" && InsertTable.empty()) InsertTable = name;
  }

  bool Punctuation(size_t k, std::string& error) {
    const char c = S[C[k].Begin];
    switch (c) {
      case '(':
        Parens.push_back(NextParen);
        if (NextParen == TParen::TableDefinition) {
          ColumnPosition = 0;
          ColumnIsNamed = false;
        }
        NextParen = TParen::Plain;
        break;
      case ')':
        if (Parens.empty()) return Refuse(C[k], "a \")\" that closes nothing", error);
        Parens.pop_back();
        if (InColumnDefinition()) ++ColumnPosition;
        break;
      case ',':
        if (InColumnDefinition()) {
          ColumnPosition = 0;
          ColumnIsNamed = false;
        }
        break;
      case ';':
        if (!Parens.empty()) return Refuse(C[k], "a \";\" inside parentheses", error);
        return EndOfStatement(k, error);
      case '.':
      case '=':
      case '<':
      case '>':
      case '+':
      case '-':
      case '*':
      case '/':
      case '%':
      case '!':
        break;
      default:
        return Refuse(C[k], std::string("the character \"") + c + "\"", error);
    }
    Keep(k);
    return true;
  }

  void NewStatement() {
    Statement.clear();
    InsertTable.clear();
    StatementWords = 0;
    NextParen = TParen::Plain;
  }

  // ";" ends a statement; after an INSERT it may start the select of the new row's identity.
  bool EndOfStatement(size_t k, std::string& error) {
    size_t m = k + 1;
    if (Statement == "INSERT" && Word(m, "SELECT")) {
      ++m;
      const bool cast = Word(m, "CAST") && Punct(m + 1, '(');
      if (cast) m += 2;
      if (Word(m, "SCOPE_IDENTITY") && Punct(m + 1, '(') && Punct(m + 2, ')')) {
        m += 3;
        if (cast) {
          if (!Word(m, "AS") || !(Word(m + 1, "INT") || Word(m + 1, "INTEGER")) ||
              !Punct(m + 2, ')'))
            return Refuse(m < C.Size() ? m : k, error);
          m += 3;
        }
        std::string alias;
        if (Word(m, "AS") && Name(m + 1)) {
          alias = UnquotedName(Text(m + 1));
          m += 2;
        }
        const size_t last = m - 1;
        if (m < C.Size() && !Punct(m, ';')) return Refuse(m, error);
        std::string column;
        if (InsertTable.empty())
          return Refuse(C[k], "SCOPE_IDENTITY() after an INSERT of no table", error);
        if (!FFinder || !FFinder(InsertTable, column, error)) {
          if (error.empty()) error = "the identity column of " + InsertTable + " is unknown";
          return false;
        }
        std::string returning = " RETURNING ";
        returning += cast ? "CAST(" + QuotedName(column) + " AS integer)" : QuotedName(column);
        if (!alias.empty()) returning += " AS " + QuotedName(alias);
        // The select becomes part of the insert: the ";" before it goes.
        Out.append(S, Copied, C[k].Begin - Copied);
        Out += returning;
        Copied = C[last].End;
        Skip = last - k;
        NewStatement();
        Statement = "RETURNING";
        StatementWords = 1;
        return true;
      }
    }
    Keep(k);
    NewStatement();
    return true;
  }

  // IF [(] OBJECT_ID ( 'name' [, 'U'] ) IS NULL [)] CREATE TABLE name
  bool Guard(size_t i, std::string& error) {
    TTableGuard guard;
    if (!ReadTableGuard(C, i, guard)) return Refuse(C[i], kGuardForm, error);
    if (!guard.NamesTheTable) return Refuse(C[i], kGuardOtherObject, error);
    const size_t k = guard.Create;
    // Two statements run together in SQL Server's way get the separator PostgreSQL needs.
    const bool separate = StatementWords > 1;
    Emit(i, k + 1, std::string(separate ? "; " : "") + "CREATE TABLE IF NOT EXISTS");
    NewStatement();
    Statement = "CREATE TABLE";
    StatementWords = 1;
    CreatesTable = true;
    NextParen = TParen::TableDefinition;
    Skip = k + 1 - i;
    return true;
  }

  // ALTER TABLE name ADD column type ...: how a table of an older layout takes a new column. The
  // type is written as in CREATE TABLE; what follows it (NULL, NOT NULL) is kept.
  bool AddColumn(size_t i, std::string& error) {
    const std::string form = "ALTER other than \"ALTER TABLE T ADD C type\"";
    const bool typed = i + 5 < C.Size() && (C[i + 5].Kind == TSqlTokenKind::Word ||
                                            C[i + 5].Kind == TSqlTokenKind::QuotedName);
    if (StatementWords != 1 || !Word(i + 1, "TABLE") || !Name(i + 2) || !Word(i + 3, "ADD") ||
        !Name(i + 4) || !typed)
      return Refuse(C[i], form, error);
    Emit(i, i + 4,
         "ALTER TABLE " + QuotedName(UnquotedName(Text(i + 2))) + " ADD COLUMN " +
             QuotedName(UnquotedName(Text(i + 4))));
    Statement = "ALTER TABLE";
    if (!Type(i + 5, UnquotedName(Text(i + 5)), error)) return false;
    Skip += 5;
    return true;
  }

  // IDENTITY[(seed, step)] of a column definition.
  bool Identity(size_t j, std::string& error) {
    if (!InColumnDefinition()) return Refuse(C[j], "IDENTITY outside a column definition", error);
    std::string text = "GENERATED BY DEFAULT AS IDENTITY";
    size_t last = j;
    if (Punct(j + 1, '(')) {
      auto number = [&](size_t at) {
        if (at >= C.Size() || C[at].Kind != TSqlTokenKind::Word) return false;
        for (const char c : Text(at))
          if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        return true;
      };
      if (!number(j + 2) || !Punct(j + 3, ',') || !number(j + 4) || !Punct(j + 5, ')'))
        return Refuse(C[j], "IDENTITY other than IDENTITY(seed, step)", error);
      if (Text(j + 2) != "1" || Text(j + 4) != "1")
        text += " (START WITH " + std::string(Text(j + 2)) + " INCREMENT BY " +
                std::string(Text(j + 4)) + ")";
      last = j + 5;
    }
    Emit(j, last, text);
    Skip = last - j;
    return true;
  }

  // A type of a column definition or of a CAST at token k, its name given unquoted.
  bool Type(size_t k, const std::string& name, std::string& error) {
    const std::string upper = UpperAscii(name);
    auto unbounded = [&] { return Punct(k + 1, '(') && Word(k + 2, "MAX") && Punct(k + 3, ')'); };
    struct TSimple {
      const char* From;
      const char* To;
    };
    static constexpr TSimple simple[] = {{"INT", "integer"},
                                         {"INTEGER", "integer"},
                                         {"BIGINT", "bigint"},
                                         {"SMALLINT", "smallint"},
                                         {"TINYINT", "smallint"},
                                         {"BIT", "boolean"},
                                         {"REAL", "real"},
                                         {"DATE", "date"},
                                         {"TIME", "time"},
                                         {"DATETIME", "timestamp(3)"},
                                         {"SMALLDATETIME", "timestamp(0)"},
                                         {"MONEY", "numeric(19,4)"},
                                         {"SMALLMONEY", "numeric(10,4)"},
                                         {"TEXT", "text"},
                                         {"NTEXT", "text"},
                                         {"UNIQUEIDENTIFIER", "uuid"}};
    for (const TSimple& s : simple)
      if (upper == s.From) {
        if (Punct(k + 1, '(')) return Refuse(C[k], upper + "(...)", error);
        Emit(k, k, s.To);
        return true;
      }
    if (upper == "FLOAT") {
      if (Punct(k + 1, '(')) return Refuse(C[k], "FLOAT(n)", error);
      Emit(k, k, "double precision");
      return true;
    }
    if (upper == "DATETIME2") {
      Emit(k, k, "timestamp");
      return true;
    }
    if (upper == "DECIMAL" || upper == "NUMERIC") {
      Emit(k, k, "numeric");
      return true;
    }
    if (upper == "VARCHAR" || upper == "NVARCHAR" || upper == "CHAR" || upper == "NCHAR") {
      const bool varying = upper.find("VAR") != std::string::npos;
      if (unbounded()) {
        if (!varying) return Refuse(C[k], upper + "(MAX)", error);
        Emit(k, k + 3, "text");
        Skip = 3;
        return true;
      }
      Emit(k, k, varying ? "varchar" : "char");
      return true;
    }
    return Refuse(C[k], "the type " + name, error);
  }

  const std::string& S;
  const TSqlCode C;
  const TIdentityColumnFinder& FFinder;
  std::string Out;
  size_t Copied = 0;
  std::vector<TParen> Parens;
  TParen NextParen = TParen::Plain;
  size_t ColumnPosition = 0;
  bool ColumnIsNamed = false;
  std::string Statement, InsertTable;
  size_t StatementWords = 0;
  bool CreatesTable = false;
  size_t Skip = 0;  // tokens after the current one that its rewrite took in
};

}  // namespace

bool RewriteForPostgres(const std::string& sql, const TIdentityColumnFinder& identityColumn,
                        TPostgresText& out, std::string& error) {
  TRewriter rewriter(sql, identityColumn);
  return rewriter.Run(out, error);
}
