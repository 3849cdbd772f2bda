#include "host/db/sql/SqlText.h"

#include "host/db/sql/TSqlCode.h"

#include "lib/common/AsciiCase.h"
#include "lib/common/LocalTime.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace {

bool IsWordByte(unsigned char c) {
  return std::isalnum(c) || c == '_' || c == '@' || c == '#' || c == '$' || c >= 0x80;
}

// Index of the byte after a section closed by `close`, where a doubled `close` stands for itself;
// the end of the text (closed false) when the section is never closed.
size_t SkipQuoted(const std::string& s, size_t i, char close, bool& closed) {
  for (++i; i < s.size(); ++i) {
    if (s[i] != close) continue;
    if (i + 1 < s.size() && s[i + 1] == close) {
      ++i;
      continue;
    }
    return i + 1;
  }
  closed = false;
  return s.size();
}

}  // namespace

std::vector<TSqlToken> SqlTokens(const std::string& s) {
  std::vector<TSqlToken> tokens;
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t end = i + 1;
    TSqlTokenKind kind = TSqlTokenKind::Punct;
    bool closed = true;
    if (std::isspace(c)) {
      while (end < s.size() && std::isspace(static_cast<unsigned char>(s[end]))) ++end;
      i = end;
      continue;
    }
    if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      // PostgreSQL ends a line comment at CR as well as LF: so does this reader, or a lone CR
      // would hide the rest of the line from every check made on the code.
      end = s.find_first_of("\r\n", i);
      end = end == std::string::npos ? s.size() : end;
      kind = TSqlTokenKind::Comment;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      end = s.find("*/", i + 2);
      closed = end != std::string::npos;
      end = closed ? end + 2 : s.size();
      kind = TSqlTokenKind::Comment;
    } else if (c == '\'') {
      end = SkipQuoted(s, i, '\'', closed);
      kind = TSqlTokenKind::Literal;
    } else if (c == '"' || c == '`') {
      end = SkipQuoted(s, i, static_cast<char>(c), closed);
      kind = TSqlTokenKind::QuotedName;
    } else if (c == '[') {
      end = SkipQuoted(s, i, ']', closed);
      kind = TSqlTokenKind::QuotedName;
    } else if (IsWordByte(c)) {
      while (end < s.size() && IsWordByte(static_cast<unsigned char>(s[end]))) ++end;
      kind = TSqlTokenKind::Word;
    }
    tokens.push_back(TSqlToken{kind, i, end, closed});
    i = end;
  }
  return tokens;
}

bool SameWord(std::string_view a, std::string_view b) { return SameTextAscii(a, b); }

bool ContainsWord(std::string_view s, std::string_view what) { return ContainsAscii(s, what); }

std::string UnquotedName(std::string_view name) {
  if (name.size() < 2) return std::string(name);
  const char open = name.front();
  const char close = open == '[' ? ']' : open;
  if ((open != '[' && open != '"' && open != '`') || name.back() != close) return std::string(name);
  std::string out;
  for (size_t i = 1; i + 1 < name.size(); ++i) {
    out += name[i];
    if (name[i] == close && i + 2 < name.size() && name[i + 1] == close) ++i;
  }
  return out;
}

std::string ObjectPart(std::string_view name) {
  while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
    name.remove_suffix(1);
  while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front())))
    name.remove_prefix(1);
  size_t start = 0;
  if (!name.empty() && (name.back() == ']' || name.back() == '"' || name.back() == '`')) {
    const char close = name.back();
    const char open = close == ']' ? '[' : close;
    const size_t at = name.size() >= 2 ? name.rfind(open, name.size() - 2) : std::string_view::npos;
    start = at == std::string_view::npos ? 0 : at;
  } else {
    const size_t dot = name.rfind('.');
    start = dot == std::string_view::npos ? 0 : dot + 1;
  }
  return UnquotedName(name.substr(start));
}

bool LiteralValue(std::string_view text, std::string& value) {
  if (text.size() < 2 || text.front() != '\'' || text.back() != '\'') return false;
  value.clear();
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    value += text[i];
    if (text[i] == '\'') ++i;
  }
  return true;
}

std::string SqlStringLiteral(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

std::string SqlQuotedName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string LocalTimestampText() { return LocalTimestamp("%Y-%m-%d %H:%M:%S.%L"); }

namespace {

// Whether code token k begins a statement the way the module's and the till's do.
bool AllowedStart(const TSqlCode& code, size_t k) {
  TTableGuard guard;
  // ALTER TABLE T ADD: the till's upgrade adding a column to a table of an older layout.
  return code.Word(k, "SELECT") || code.Word(k, "INSERT") || code.Word(k, "UPDATE") ||
         code.Word(k, "DELETE") || (code.Word(k, "CREATE") && code.Word(k + 1, "TABLE")) ||
         ReadTableGuard(code, k, guard) ||
         (code.Word(k, "ALTER") && code.Word(k + 1, "TABLE") && code.Word(k + 3, "ADD"));
}

}  // namespace

bool SqlStatementStarts(const std::string& sql, std::string& error) {
  const TSqlCode code(sql);
  bool starts = true;
  for (size_t k = 0; k < code.Size(); ++k) {
    if (code.Semicolon(k)) {
      starts = true;
      continue;
    }
    if (!starts) continue;
    starts = false;
    if (AllowedStart(code, k)) continue;
    error = "a statement begins with \"" + std::string(code.Text(k).substr(0, 40)) +
            "\" at offset " + std::to_string(code[k].Begin) +
            "; a call's statements may begin only with SELECT, INSERT, UPDATE, DELETE, CREATE "
            "TABLE, IF OBJECT_ID(...) IS NULL CREATE TABLE or ALTER TABLE T ADD";
    return false;
  }
  return true;
}

std::vector<std::string> SqlStatements(const std::string& sql) {
  std::vector<std::string> statements;
  size_t from = 0;
  bool code = false;
  auto close = [&](size_t end) {
    if (code) statements.push_back(sql.substr(from, end - from));
    code = false;
  };
  for (const TSqlToken& t : SqlTokens(sql)) {
    if (t.Kind == TSqlTokenKind::Punct && sql[t.Begin] == ';') {
      close(t.Begin);
      from = t.End;
    } else if (t.Kind != TSqlTokenKind::Comment) {
      code = true;
    }
  }
  close(sql.size());
  return statements;
}
