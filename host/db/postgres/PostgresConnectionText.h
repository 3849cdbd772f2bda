// The text that names the till's PostgreSQL server, and everything said about it: whether a text
// is one, the text as it may be shown (its secrets masked), and libpq's reasons for not reading
// or not reaching it, made readable for a person.
#pragma once

#include <string>
#include <vector>

// Whether the text is a PostgreSQL connection (URI or key=value pairs) rather than a file name.
bool IsPostgresConnectionText(const std::string& text);

// The secrets of a connection text: whatever libpq reads from it as password or sslpassword, and
// the text as written for them (percent-encoded, quoted, escaped). Every text that can carry the
// connection, libpq's own messages included, is shown through Masked. A text libpq cannot read
// hides its whole user part and every parameter value of a URI.
class TConnectionSecrets {
 public:
  explicit TConnectionSecrets(const std::string& connection);
  // The connection with the value of each secret key shown as *** (by where it stands: a short
  // password elsewhere in the text is not hunted for, so the text stays readable).
  const std::string& Shown() const { return FShown; }
  // The text with every secret value, wherever it stands, replaced by ***.
  std::string Masked(std::string text) const;

 private:
  std::string FShown;
  std::vector<std::string> FSecrets;
};

// TConnectionSecrets(text).Shown().
std::string MaskedPostgresConnection(const std::string& text);

// Why a connection failed, for a person: one line saying what to check, for the failures a store
// meets (no pg_hba.conf entry, no password, authentication failed, refused, unknown host, no such
// database), then each line of libpq's message (already masked) on a line of its own, indented.
// A message of no known kind keeps its lines apart with no advice before them.
std::string PostgresConnectFailure(const std::string& libpqMessage);

// libpq's reason for not reading a connection text, with every piece of the text it quotes back
// ("...") shown as ***, but for the name of an option written before its "=", and the text's
// secrets masked: a mistyped password is quoted otherwise.
std::string MaskedParseError(const std::string& connection, const std::string& libpqMessage);

// libpq's message on one line: line breaks and tabs run together into one blank.
std::string OneLine(const char* message);
