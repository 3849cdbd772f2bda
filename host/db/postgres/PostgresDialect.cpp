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
      : FSql(sql), FCode(sql), FFinder(finder) {}

  bool Run(TPostgresText& out, std::string& error) {
    std::string what;
    if (const TSqlToken* open = FCode.Unclosed(what)) return Refuse(*open, what, error);
    for (const TSqlToken& c : FCode.Comments()) {
      // PostgreSQL nests block comments; SQL Server does not: the rest would differ.
      const std::string_view text = FCode.Text(c);
      if (text.substr(0, 2) == "/*" && text.find("/*", 2) != std::string_view::npos)
        return Refuse(c, "a comment holding \"/*\"", error);
    }
    for (size_t k = 0; k < FCode.Size(); ++k) {
      if (!Token(k, error)) return false;
      k += FSkip;  // tokens a rewrite took in with the current one
      FSkip = 0;
    }
    FSent.append(FSql, FCopied, std::string::npos);
    out.Sent = std::move(FSent);
    out.CreatesTable = FCreatesTable;
    return true;
  }

 private:
  std::string_view Text(size_t k) const { return FCode.Text(k); }
  bool Word(size_t k, std::string_view word) const { return FCode.Word(k, word); }
  bool Punct(size_t k, char c) const { return FCode.Punct(k, c); }
  bool Name(size_t k) const {
    return k < FCode.Size() && (FCode[k].Kind == TSqlTokenKind::QuotedName ||
                                (FCode[k].Kind == TSqlTokenKind::Word && !IsKeyword(Text(k))));
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
    return Refuse(FCode[k], "\"" + std::string(Text(k)) + "\"", error);
  }

  // Replaces tokens first..last (and what stands between them) by text.
  void Emit(size_t first, size_t last, const std::string& text) {
    FSent.append(FSql, FCopied, FCode[first].Begin - FCopied);
    FSent += text;
    FCopied = FCode[last].End;
  }
  void Keep(size_t k) {
    FSent.append(FSql, FCopied, FCode[k].End - FCopied);
    FCopied = FCode[k].End;
  }

  // The position of the token within the column definition it belongs to, when it stands
  // directly inside a CREATE TABLE's parentheses.
  bool InColumnDefinition() const {
    return !FParens.empty() && FParens.back() == TParen::TableDefinition;
  }

  bool Token(size_t k, std::string& error) {
    const TSqlToken& t = FCode[k];
    const bool columnTop = InColumnDefinition();
    const size_t position = FColumnPosition;
    if (columnTop) ++FColumnPosition;
    switch (t.Kind) {
      case TSqlTokenKind::Comment:
        return true;
      case TSqlTokenKind::Literal:
        Keep(k);
        FStatementWords++;
        return true;
      case TSqlTokenKind::QuotedName: {
        if (FSql[t.Begin] == '`') return Refuse(k, error);
        const std::string name = UnquotedName(Text(k));
        FStatementWords++;
        if (columnTop && position == 0) FColumnIsNamed = true;
        if (columnTop && position == 1 && FColumnIsNamed) return Type(k, name, error);
        if (FStatementWords == 1) return Refuse(k, error);
        NoteName(name);
        Emit(k, k, QuotedName(name));
        return true;
      }
      case TSqlTokenKind::Punct:
        return Punctuation(k, error);
      case TSqlTokenKind::Word:
        break;
    }
    FStatementWords++;
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
    if (upper == "N" && k + 1 < FCode.Size() && FCode[k + 1].Kind == TSqlTokenKind::Literal &&
        FCode[k + 1].Begin == t.End) {
      Emit(k, k, "");
      return true;
    }
    if (columnTop && position == 1 && FColumnIsNamed) return Type(k, std::string(word), error);
    if (columnTop && position == 0) FColumnIsNamed = !IsKeyword(word);
    if (upper == "IF") return Guard(k, error);
    if (upper == "GETDATE") {
      if (!Punct(k + 1, '(') || !Punct(k + 2, ')')) return Refuse(k, error);
      Emit(k, k + 2, "clock_timestamp()::timestamp(3)");
      FSkip = 2;
      return true;
    }
    if (upper == "IDENTITY") return Identity(k, error);
    if (upper == "ALTER") return AddColumn(k, error);
    if (upper == "CAST") {
      if (!Punct(k + 1, '(')) return Refuse(k, error);
      Keep(k);
      FNextParen = TParen::Cast;
      return true;
    }
    if (upper == "AS" && !FParens.empty() && FParens.back() == TParen::Cast) {
      Keep(k);
      if (k + 1 >= FCode.Size()) return Refuse(k, error);
      if (!Type(k + 1, UnquotedName(Text(k + 1)), error)) return false;
      FSkip += 1;
      return true;
    }
    if (upper == "SELECT" || upper == "INSERT" || upper == "UPDATE" || upper == "DELETE") {
      if (FStatementWords == 1) FStatement = upper;
    }
    if (upper == "CREATE") {
      if (!Word(k + 1, "TABLE")) return Refuse(k + 1 < FCode.Size() ? k + 1 : k, error);
      FStatement = "CREATE TABLE";
      FCreatesTable = true;
    }
    if (upper == "TABLE" && FStatement == "CREATE TABLE") FNextParen = TParen::TableDefinition;
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
        if (!InWords(kFunctions, upper))
          return Refuse(FCode[k], "the function " + upper + "()", error);
        Keep(k);
        return true;
      }
    }
    // A schema qualifier SQL Server puts on names: PostgreSQL's tables stand in its own schema.
    if (upper == "DBO" && Punct(k + 1, '.') && Name(k + 2)) {
      Emit(k, k + 1, "");
      FSkip = 1;
      return true;
    }
    if (FStatementWords == 1) return Refuse(k, error);
    NoteName(std::string(word));
    Emit(k, k, QuotedName(std::string(word)));
    return true;
  }

  void NoteName(const std::string& name) {
    if (FStatement == "INSERT" && FInsertTable.empty()) FInsertTable = name;
  }

  bool Punctuation(size_t k, std::string& error) {
    const char c = FSql[FCode[k].Begin];
    switch (c) {
      case '(':
        FParens.push_back(FNextParen);
        if (FNextParen == TParen::TableDefinition) {
          FColumnPosition = 0;
          FColumnIsNamed = false;
        }
        FNextParen = TParen::Plain;
        break;
      case ')':
        if (FParens.empty()) return Refuse(FCode[k], "a \")\" that closes nothing", error);
        FParens.pop_back();
        if (InColumnDefinition()) ++FColumnPosition;
        break;
      case ',':
        if (InColumnDefinition()) {
          FColumnPosition = 0;
          FColumnIsNamed = false;
        }
        break;
      case ';':
        if (!FParens.empty()) return Refuse(FCode[k], "a \";\" inside parentheses", error);
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
        return Refuse(FCode[k], std::string("the character \"") + c + "\"", error);
    }
    Keep(k);
    return true;
  }

  void NewStatement() {
    FStatement.clear();
    FInsertTable.clear();
    FStatementWords = 0;
    FNextParen = TParen::Plain;
  }

  // ";" ends a statement; after an INSERT it may start the select of the new row's identity.
  bool EndOfStatement(size_t k, std::string& error) {
    size_t m = k + 1;
    if (FStatement == "INSERT" && Word(m, "SELECT")) {
      ++m;
      const bool cast = Word(m, "CAST") && Punct(m + 1, '(');
      if (cast) m += 2;
      if (Word(m, "SCOPE_IDENTITY") && Punct(m + 1, '(') && Punct(m + 2, ')')) {
        m += 3;
        if (cast) {
          if (!Word(m, "AS") || !(Word(m + 1, "INT") || Word(m + 1, "INTEGER")) ||
              !Punct(m + 2, ')'))
            return Refuse(m < FCode.Size() ? m : k, error);
          m += 3;
        }
        std::string alias;
        if (Word(m, "AS") && Name(m + 1)) {
          alias = UnquotedName(Text(m + 1));
          m += 2;
        }
        const size_t last = m - 1;
        if (m < FCode.Size() && !Punct(m, ';')) return Refuse(m, error);
        std::string column;
        if (FInsertTable.empty())
          return Refuse(FCode[k], "SCOPE_IDENTITY() after an INSERT of no table", error);
        if (!FFinder || !FFinder(FInsertTable, column, error)) {
          if (error.empty()) error = "the identity column of " + FInsertTable + " is unknown";
          return false;
        }
        std::string returning = " RETURNING ";
        returning += cast ? "CAST(" + QuotedName(column) + " AS integer)" : QuotedName(column);
        if (!alias.empty()) returning += " AS " + QuotedName(alias);
        // The select becomes part of the insert: the ";" before it goes.
        FSent.append(FSql, FCopied, FCode[k].Begin - FCopied);
        FSent += returning;
        FCopied = FCode[last].End;
        FSkip = last - k;
        NewStatement();
        FStatement = "RETURNING";
        FStatementWords = 1;
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
    if (!ReadTableGuard(FCode, i, guard)) return Refuse(FCode[i], kGuardForm, error);
    if (!guard.NamesTheTable) return Refuse(FCode[i], kGuardOtherObject, error);
    const size_t k = guard.Create;
    // Two statements run together in SQL Server's way get the separator PostgreSQL needs.
    const bool separate = FStatementWords > 1;
    Emit(i, k + 1, std::string(separate ? "; " : "") + "CREATE TABLE IF NOT EXISTS");
    NewStatement();
    FStatement = "CREATE TABLE";
    FStatementWords = 1;
    FCreatesTable = true;
    FNextParen = TParen::TableDefinition;
    FSkip = k + 1 - i;
    return true;
  }

  // ALTER TABLE name ADD column type ...: how a table of an older layout takes a new column. The
  // type is written as in CREATE TABLE; what follows it (NULL, NOT NULL) is kept.
  bool AddColumn(size_t i, std::string& error) {
    const std::string form = "ALTER other than \"ALTER TABLE T ADD C type\"";
    const bool typed = i + 5 < FCode.Size() && (FCode[i + 5].Kind == TSqlTokenKind::Word ||
                                                FCode[i + 5].Kind == TSqlTokenKind::QuotedName);
    if (FStatementWords != 1 || !Word(i + 1, "TABLE") || !Name(i + 2) || !Word(i + 3, "ADD") ||
        !Name(i + 4) || !typed)
      return Refuse(FCode[i], form, error);
    Emit(i, i + 4,
         "ALTER TABLE " + QuotedName(UnquotedName(Text(i + 2))) + " ADD COLUMN " +
             QuotedName(UnquotedName(Text(i + 4))));
    FStatement = "ALTER TABLE";
    if (!Type(i + 5, UnquotedName(Text(i + 5)), error)) return false;
    FSkip += 5;
    return true;
  }

  // IDENTITY[(seed, step)] of a column definition.
  bool Identity(size_t j, std::string& error) {
    if (!InColumnDefinition())
      return Refuse(FCode[j], "IDENTITY outside a column definition", error);
    std::string text = "GENERATED BY DEFAULT AS IDENTITY";
    size_t last = j;
    if (Punct(j + 1, '(')) {
      auto number = [&](size_t at) {
        if (at >= FCode.Size() || FCode[at].Kind != TSqlTokenKind::Word) return false;
        for (const char c : Text(at))
          if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        return true;
      };
      if (!number(j + 2) || !Punct(j + 3, ',') || !number(j + 4) || !Punct(j + 5, ')'))
        return Refuse(FCode[j], "IDENTITY other than IDENTITY(seed, step)", error);
      if (Text(j + 2) != "1" || Text(j + 4) != "1")
        text += " (START WITH " + std::string(Text(j + 2)) + " INCREMENT BY " +
                std::string(Text(j + 4)) + ")";
      last = j + 5;
    }
    Emit(j, last, text);
    FSkip = last - j;
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
        if (Punct(k + 1, '(')) return Refuse(FCode[k], upper + "(...)", error);
        Emit(k, k, s.To);
        return true;
      }
    if (upper == "FLOAT") {
      if (Punct(k + 1, '(')) return Refuse(FCode[k], "FLOAT(n)", error);
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
        if (!varying) return Refuse(FCode[k], upper + "(MAX)", error);
        Emit(k, k + 3, "text");
        FSkip = 3;
        return true;
      }
      Emit(k, k, varying ? "varchar" : "char");
      return true;
    }
    return Refuse(FCode[k], "the type " + name, error);
  }

  const std::string& FSql;
  const TSqlCode FCode;
  const TIdentityColumnFinder& FFinder;
  std::string FSent;
  size_t FCopied = 0;
  std::vector<TParen> FParens;
  TParen FNextParen = TParen::Plain;
  size_t FColumnPosition = 0;
  bool FColumnIsNamed = false;
  std::string FStatement, FInsertTable;
  size_t FStatementWords = 0;
  bool FCreatesTable = false;
  size_t FSkip = 0;  // tokens after the current one that its rewrite took in
};

}  // namespace

bool RewriteForPostgres(const std::string& sql, const TIdentityColumnFinder& identityColumn,
                        TPostgresText& out, std::string& error) {
  TRewriter rewriter(sql, identityColumn);
  return rewriter.Run(out, error);
}
