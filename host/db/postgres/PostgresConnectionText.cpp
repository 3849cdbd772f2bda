#include "host/db/postgres/PostgresConnectionText.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

std::string OneLine(const char* message) {
  std::string text;
  for (const char* p = message ? message : ""; *p; ++p) {
    const bool blank = std::isspace(static_cast<unsigned char>(*p));
    if (blank && (text.empty() || text.back() == ' ')) continue;
    text += blank ? ' ' : *p;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool IsPostgresConnectionText(const std::string& text) {
  if (StartsWith(text, "postgresql://") || StartsWith(text, "postgres://")) return true;
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  const size_t key = i;
  while (i < text.size() && (std::isalpha(static_cast<unsigned char>(text[i])) || text[i] == '_'))
    ++i;
  if (i == key) return false;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  return i < text.size() && text[i] == '=';
}

std::string MaskedPostgresConnection(const std::string& text) {
  return TConnectionSecrets(text).Shown();
}

std::string PostgresConnectFailure(const std::string& libpqMessage) {
  // The texts libpq and the server write for each case, and what a store's IT checks for it.
  static constexpr std::pair<const char*, const char*> kAdvice[] = {
      {"no pg_hba.conf entry",
       "the server lets no such user into that database from this machine: check the database "
       "and user names in --db, then the server's pg_hba.conf"},
      {"no password supplied",
       "the server asks for a password and none was found: check that PGPASSFILE (or ~/.pgpass "
       "of the till's user) exists, is mode 0600 and has a line for this host, port, database "
       "and user"},
      {"password authentication failed",
       "the server refused the password: check the line for this host, port, database and user "
       "in PGPASSFILE or ~/.pgpass"},
      {"authentication failed",
       "the server refused the user: check the user name in --db and the server's pg_hba.conf"},
      {"Connection refused",
       "nothing answers at that host and port: check the host and port in --db, and that "
       "PostgreSQL runs there (systemctl status postgresql, pg_lsclusters)"},
      {"No such file or directory",
       "no server socket in that folder: check host= in --db, and that PostgreSQL runs on this "
       "machine (systemctl status postgresql, pg_lsclusters)"},
      {"could not translate host name",
       "the host name is unknown: check the host in --db and this machine's name service (DNS, "
       "/etc/hosts)"},
      {"does not exist",
       "no such database or role on that server: check the names in --db (psql -l lists the "
       "databases), or create it as docs/operations.md says"},
      {"timeout expired",
       "the server did not answer within 5 s: check the host, the network and the firewall"},
  };
  std::string advice;
  for (const auto& [text, what] : kAdvice)
    if (libpqMessage.find(text) != std::string::npos) {
      advice = what;
      break;
    }
  std::vector<std::string> lines;
  for (size_t at = 0; at <= libpqMessage.size();) {
    size_t end = libpqMessage.find('\n', at);
    if (end == std::string::npos) end = libpqMessage.size();
    const std::string line = OneLine(libpqMessage.substr(at, end - at).c_str());
    if (!line.empty()) lines.push_back(line);
    at = end + 1;
  }
  std::string out = advice;
  for (size_t i = 0; i < lines.size(); ++i) out += (out.empty() ? "" : "\n  ") + lines[i];
  return out;
}

std::string MaskedParseError(const std::string& connection, const std::string& libpqMessage) {
  std::string text = libpqMessage;
  for (size_t open = text.find('"'); open != std::string::npos;) {
    const size_t close = text.find('"', open + 1);
    if (close == std::string::npos) break;
    const std::string quoted = text.substr(open + 1, close - open - 1);
    // A piece of the text, not the punctuation libpq misses ("="), nor the name of an option as
    // written before its "=" (a mistyped name is what the reader needs to see).
    const bool word = std::any_of(quoted.begin(), quoted.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c));
    });
    bool name = false;
    for (size_t at = connection.find(quoted + "="); at != std::string::npos && !name;
         at = connection.find(quoted + "=", at + 1))
      name = at == 0 || std::isspace(static_cast<unsigned char>(connection[at - 1])) ||
             connection[at - 1] == '?' || connection[at - 1] == '&';
    if (word && !name && connection.find(quoted) != std::string::npos) {
      text.replace(open + 1, quoted.size(), "***");
      open = text.find('"', open + 5);
    } else {
      open = text.find('"', close + 1);
    }
  }
  return TConnectionSecrets(connection).Masked(OneLine(text.c_str()));
}

namespace {

constexpr const char* kMask = "***";

bool IsSecretKey(std::string_view key) { return key == "password" || key == "sslpassword"; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A URI part with its %XX tokens decoded; false when a token is malformed.
bool PercentDecoded(std::string_view raw, std::string& out) {
  out.clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      out += raw[i];
      continue;
    }
    const int high = i + 2 < raw.size() ? HexDigit(raw[i + 1]) : -1;
    const int low = i + 2 < raw.size() ? HexDigit(raw[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

}  // namespace

TConnectionSecrets::TConnectionSecrets(const std::string& text) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(text.c_str(), &message);
  const bool parsed = options != nullptr;
  for (PQconninfoOption* o = options; o && o->keyword; ++o)
    if (IsSecretKey(o->keyword) && o->val && *o->val) FSecrets.emplace_back(o->val);
  if (options) PQconninfoFree(options);
  if (message) PQfreemem(message);

  auto secret = [this](std::string_view raw) {
    if (raw.empty()) return;
    FSecrets.emplace_back(raw);
    std::string decoded;
    if (PercentDecoded(raw, decoded) && !decoded.empty()) FSecrets.push_back(decoded);
  };
  const size_t scheme = text.find("://");
  if (scheme != std::string::npos &&
      (StartsWith(text, "postgresql://") || StartsWith(text, "postgres://"))) {
    // As libpq reads a URI: user[:password]@ before the first '/', parameters after the first
    // '?' that follows. A text libpq cannot read hides its whole user part and every parameter.
    const size_t from = scheme + 3;
    size_t at = parsed ? text.find_first_of("@/", from) : text.rfind('@');
    if (at != std::string::npos && (at < from || text[at] != '@')) at = std::string::npos;
    size_t query = text.find('?', at == std::string::npos ? from : at + 1);
    FShown = text.substr(0, from);
    if (at != std::string::npos) {
      const std::string_view user = std::string_view(text).substr(from, at - from);
      const size_t colon = user.find(':');
      if (!parsed) {
        secret(user);
        FShown += kMask;
      } else {
        FShown += user.substr(0, colon);
        if (colon != std::string_view::npos) FShown += std::string(":") + kMask;
      }
      if (colon != std::string_view::npos) secret(user.substr(colon + 1));
      FShown += '@';
    }
    const size_t hostFrom = at == std::string::npos ? from : at + 1;
    FShown.append(text, hostFrom, (query == std::string::npos ? text.size() : query) - hostFrom);
    while (query != std::string::npos) {
      const size_t next = text.find('&', query + 1);
      const std::string_view pair = std::string_view(text).substr(
          query + 1, (next == std::string::npos ? text.size() : next) - query - 1);
      const size_t eq = pair.find('=');
      std::string key;
      const bool plain = PercentDecoded(pair.substr(0, eq), key);
      FShown += text[query];
      if (eq == std::string_view::npos) {
        FShown += pair;
      } else if (!parsed || !plain || IsSecretKey(key)) {
        FShown += std::string(pair.substr(0, eq + 1)) + kMask;
        secret(pair.substr(eq + 1));
      } else {
        FShown += pair;
      }
      query = next;
    }
  } else {
    // key = value pairs as libpq reads them: a value in single quotes or up to the next blank,
    // a backslash taking the character after it as it is.
    size_t i = 0;
    while (i < text.size()) {
      if (std::isspace(static_cast<unsigned char>(text[i]))) {
        FShown += text[i++];
        continue;
      }
      const size_t key = i;
      while (i < text.size() && text[i] != '=' &&
             !std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
      const std::string name = text.substr(key, i - key);
      size_t eq = i;
      while (eq < text.size() && std::isspace(static_cast<unsigned char>(text[eq]))) ++eq;
      if (eq >= text.size() || text[eq] != '=') {
        // A word without "=" in a text libpq cannot read may be a value whose key is missing or
        // mistyped ("password s3cret"): hidden like every value of such a text.
        if (parsed) {
          FShown += text.substr(key, eq - key);
        } else {
          FShown += kMask + text.substr(i, eq - i);
          FSecrets.push_back(text.substr(key, i - key));
        }
        i = eq;
        continue;
      }
      size_t value = eq + 1;
      while (value < text.size() && std::isspace(static_cast<unsigned char>(text[value]))) ++value;
      size_t end = value;
      const bool quoted = end < text.size() && text[end] == '\'';
      if (quoted) ++end;
      for (; end < text.size(); ++end) {
        if (text[end] == '\\') {
          ++end;
          continue;
        }
        if (quoted ? text[end] == '\'' : std::isspace(static_cast<unsigned char>(text[end]))) break;
      }
      if (quoted && end < text.size()) ++end;
      end = std::min(end, text.size());
      FShown += text.substr(key, value - key);
      if (IsSecretKey(name) || !parsed) {
        FShown += IsSecretKey(name) ? kMask : text.substr(value, end - value);
        if (IsSecretKey(name)) FSecrets.push_back(text.substr(value, end - value));
      } else {
        FShown += text.substr(value, end - value);
      }
      i = end;
    }
  }
  // Longest first, so that a secret holding another is hidden whole.
  std::sort(FSecrets.begin(), FSecrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  FSecrets.erase(std::unique(FSecrets.begin(), FSecrets.end()), FSecrets.end());
}

std::string TConnectionSecrets::Masked(std::string text) const {
  for (const std::string& secret : FSecrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + strlen(kMask))) {
      text.replace(at, secret.size(), kMask);
    }
  }
  return text;
}
