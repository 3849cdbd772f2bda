// The code of an SQL Server text as every reader of it walks it: its tokens with the comments
// set apart (a rewrite keeps their bytes and never reads code inside them), and the forms the
// module's and the till's statements are made of. Both engines' dialects and the check of a
// call's statement starts read a text through this one cursor, so they cannot disagree on where
// a guard, a literal or a statement begins.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/db/sql/SqlText.h"

class TSqlCode {
 public:
  // sql must outlive the cursor: tokens are offsets into it.
  explicit TSqlCode(const std::string& sql);
  explicit TSqlCode(std::string&&) = delete;

  const std::string& Sql() const { return FSql; }
  // The code tokens, comments left out.
  size_t Size() const { return FCode.size(); }
  const TSqlToken& operator[](size_t k) const { return FCode[k]; }
  const std::vector<TSqlToken>& Comments() const { return FComments; }

  std::string_view Text(const TSqlToken& t) const;
  std::string_view Text(size_t k) const { return Text(FCode[k]); }
  // Each false past the end, so a form can be read without counting what is left.
  bool Word(size_t k, std::string_view word) const;  // the word, without regard to case
  bool Punct(size_t k, char c) const;
  bool NamePart(size_t k) const;  // a word or a quoted name
  // A literal that is closed, with its value.
  bool Literal(size_t k, std::string& value) const;
  bool Semicolon(size_t k) const { return Punct(k, ';'); }

  // The first literal, quoted name or comment that runs off the end of the text (what it is in
  // words, for a refusal), or null when every one is closed.
  const TSqlToken* Unclosed(std::string& what) const;

 private:
  const std::string& FSql;
  std::vector<TSqlToken> FCode;
  std::vector<TSqlToken> FComments;
};

// IF [(] OBJECT_ID( 'name' [, 'type'] ) IS NULL [)] CREATE TABLE name, read at the IF.
struct TTableGuard {
  size_t Create = 0;    // the code token of CREATE
  size_t Table = 0;     // of TABLE
  size_t LastName = 0;  // of the last part of the created table's (possibly qualified) name
  std::string Guarded;  // the name OBJECT_ID is given
  std::string Type;     // the type it is given, "" when none
  // Whether the guard asks about the very table it creates ('U' or no type): only then does it
  // mean CREATE TABLE IF NOT EXISTS.
  bool NamesTheTable = false;
};

// Whether the form at code token k (an IF) reads as a table guard; guard is filled when it does.
bool ReadTableGuard(const TSqlCode& code, size_t k, TTableGuard& guard);
// Whether code token k is IF [(] OBJECT_ID, the beginning of what can only be meant as a guard.
bool BeginsTableGuard(const TSqlCode& code, size_t k);

// The refusal of a construct an engine has no form for: "cannot be sent to <engine>: <what> at
// offset N has no <engine> form here". One sentence for both engines, so a module's author
// reads the same words whichever database answers.
std::string Untranslatable(std::string_view engine, const std::string& what, size_t offset);
// The guard refusals both engines share: a guard not of the one form, and one of the form that
// asks about another object than the table it creates.
inline constexpr const char* kGuardForm =
    "IF other than \"IF OBJECT_ID( 'T', 'U' ) IS NULL CREATE TABLE T\"";
inline constexpr const char* kGuardOtherObject =
    "a guard naming another object than the table created";
