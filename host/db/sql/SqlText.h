// The reader of the SQL Server text modules write: enough to tell code from string literals,
// quoted names and comments, so that each engine's rewrite touches code only and keeps every
// other byte as it stands. TSqlCode walks the tokens the way every reader of a text does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class TSqlTokenKind { Comment, Word, Literal, QuotedName, Punct };

// A word is a run of letters, digits, '_', '@', '#', '$' and bytes >= 0x80 (so numbers are
// words too); a literal is '...' (a doubled quote inside); a quoted name [..], ".." or `..`.
// A literal, name or block comment never closed runs to the end of the text.
struct TSqlToken {
  TSqlTokenKind Kind;
  size_t Begin;
  size_t End;
  bool Closed = true;  // false: a literal, quoted name or block comment that runs off the end
};

// A line comment runs from "--" to the next CR or LF (PostgreSQL ends it at either).
// The tokens of the text, blanks left out (comments kept: a rewrite must not move code into one).
std::vector<TSqlToken> SqlTokens(const std::string& sql);

// Whether every statement of the text begins as the module's and the till's own statements do:
// SELECT, INSERT, UPDATE, DELETE, CREATE TABLE, the guard IF [(] OBJECT_ID( 'T'[, 'U'] ) IS
// NULL [)] CREATE TABLE, or ALTER TABLE T ADD (a column). A statement begins at the start of the
// text and after every ";" (comments do not count). Anything else (END, COMMIT, SET, BEGIN, PRAGMA,
// ...) could end the call's one transaction or change its session: false with the start found,
// named, and where.
bool SqlStatementStarts(const std::string& sql, std::string& error);

// The statements of the text, each as it stands between its ";"s (every byte kept, the ";" left
// out), for an engine that sends them one by one. A statement of nothing but blanks and comments
// is left out, as a server running the whole text skips it, so statement numbers stay the same.
std::vector<std::string> SqlStatements(const std::string& sql);

// ASCII letters compared without regard to case.
bool SameWord(std::string_view a, std::string_view b);
// Whether what occurs in text, without regard to case.
bool ContainsWord(std::string_view text, std::string_view what);

// A name without its quoting: [x], "x" and `x` give x (a doubled closing character stands for
// itself); anything else as it stands.
std::string UnquotedName(std::string_view name);
// The object name of a possibly schema-qualified name: 'dbo.[DovraLog]' gives DovraLog.
std::string ObjectPart(std::string_view name);
// The value of a closed literal token ('O''Brien' gives O'Brien); false when it is not closed.
bool LiteralValue(std::string_view token, std::string& value);

// The text as an SQL string literal: in single quotes, every single quote doubled.
std::string SqlStringLiteral(const std::string& text);
// The name as a standard SQL quoted name, as the engines read it: in double quotes, every double
// quote doubled.
std::string SqlQuotedName(const std::string& name);

// The till's local time, 'YYYY-MM-DD HH:MM:SS.mmm' (sorts as it reads).
std::string LocalTimestampText();
