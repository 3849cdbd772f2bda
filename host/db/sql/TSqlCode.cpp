#include "host/db/sql/TSqlCode.h"

TSqlCode::TSqlCode(const std::string& sql) : FSql(sql) {
  for (const TSqlToken& t : SqlTokens(sql))
    (t.Kind == TSqlTokenKind::Comment ? FComments : FCode).push_back(t);
}

std::string_view TSqlCode::Text(const TSqlToken& t) const {
  return std::string_view(FSql).substr(t.Begin, t.End - t.Begin);
}

bool TSqlCode::Word(size_t k, std::string_view word) const {
  return k < FCode.size() && FCode[k].Kind == TSqlTokenKind::Word && SameWord(Text(k), word);
}

bool TSqlCode::Punct(size_t k, char c) const {
  return k < FCode.size() && FCode[k].Kind == TSqlTokenKind::Punct && FSql[FCode[k].Begin] == c;
}

bool TSqlCode::NamePart(size_t k) const {
  return k < FCode.size() &&
         (FCode[k].Kind == TSqlTokenKind::Word || FCode[k].Kind == TSqlTokenKind::QuotedName);
}

bool TSqlCode::Literal(size_t k, std::string& value) const {
  return k < FCode.size() && FCode[k].Kind == TSqlTokenKind::Literal && FCode[k].Closed &&
         LiteralValue(Text(k), value);
}

const TSqlToken* TSqlCode::Unclosed(std::string& what) const {
  // Only the last token of a text can run off its end: the one that ends furthest.
  const TSqlToken* last = nullptr;
  for (const std::vector<TSqlToken>* tokens : {&FCode, &FComments})
    if (!tokens->empty() && (!last || tokens->back().End > last->End)) last = &tokens->back();
  if (!last || last->Closed) return nullptr;
  switch (last->Kind) {
    case TSqlTokenKind::Literal:
      what = "a text literal that is never closed";
      break;
    case TSqlTokenKind::QuotedName:
      what = "a quoted name that is never closed";
      break;
    default:
      what = "a comment that is never closed";
  }
  return last;
}

bool BeginsTableGuard(const TSqlCode& code, size_t k) {
  return code.Word(k, "IF") && (code.Word(k + 1, "OBJECT_ID") ||
                                (code.Punct(k + 1, '(') && code.Word(k + 2, "OBJECT_ID")));
}

bool ReadTableGuard(const TSqlCode& code, size_t k, TTableGuard& guard) {
  if (!code.Word(k++, "IF")) return false;
  const bool outer = code.Punct(k, '(');
  if (outer) ++k;
  TTableGuard read;
  if (!code.Word(k, "OBJECT_ID") || !code.Punct(k + 1, '(') || !code.Literal(k + 2, read.Guarded))
    return false;
  k += 3;
  if (code.Punct(k, ',')) {
    if (!code.Literal(k + 1, read.Type)) return false;
    k += 2;
  }
  if (!code.Punct(k, ')') || !code.Word(k + 1, "IS") || !code.Word(k + 2, "NULL")) return false;
  k += 3;
  if (outer && !code.Punct(k++, ')')) return false;
  if (!code.Word(k, "CREATE") || !code.Word(k + 1, "TABLE") || !code.NamePart(k + 2)) return false;
  read.Create = k;
  read.Table = k + 1;
  read.LastName = k + 2;
  while (code.Punct(read.LastName + 1, '.') && code.NamePart(read.LastName + 2)) read.LastName += 2;
  read.NamesTheTable = (read.Type.empty() || SameWord(ObjectPart(read.Type), "U")) &&
                       SameWord(ObjectPart(read.Guarded), UnquotedName(code.Text(read.LastName)));
  guard = std::move(read);
  return true;
}

std::string Untranslatable(std::string_view engine, const std::string& what, size_t offset) {
  const std::string name(engine);
  return "cannot be sent to " + name + ": " + what + " at offset " + std::to_string(offset) +
         " has no " + name + " form here";
}
