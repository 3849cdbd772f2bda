#include "host/cli/cliCommon.h"

#include <libpq-fe.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <utility>

#include "host/contract/DatabaseConnection.h"
#include "host/db/postgres/PostgresConnectionText.h"
#include "host/till/TillStartup.h"
#include "lib/common/AsciiCase.h"
#include "lib/common/FileText.h"
#include "lib/json/clsJSONDocument.h"

const char* const kExitCodeTable =
    "Exit codes (every command):\n"
    "  0  done (pay --popup: a voucher paid; voucher ...: the service answered \"Success\": "
    "true)\n"
    "  1  the till or the voucher service failed; the message says what\n"
    "  2  usage: an option, an argument or a file named on the command line is wrong, or no "
    "display for a person to work the dialog; nothing was done\n"
    "  3  not paid or not given back (pay: the popup ended without a voucher payment; voucher "
    "...: the service answered \"Success\": false)";

CLI::RuntimeError CommandEnd(TExitCode code) { return CLI::RuntimeError(ExitStatus(code)); }

CLI::RuntimeError CommandEnd(const std::string& message, TExitCode code) {
  return CLI::RuntimeError(message, ExitStatus(code));
}

void StartModule(TTill& till, const std::string& command) {
  std::string error;
  const bool started = till.Start(error);
  if (!till.ModuleWarning().empty())
    std::cerr << "sarn-till: warning: " << till.ModuleWarning() << '\n';
  if (!started) throw CommandEnd("sarn-till " + command + ": " + error, TExitCode::Failed);
  const TModuleStartup module = AskModuleStartup(till.Registry());
  // The module runs without its log when it cannot write one, and says nothing of it.
  if (!module.LogProblem.empty())
    std::cerr << "sarn-till: warning: the module cannot write its log " << module.LogFile << ": "
              << module.LogProblem << "; it runs without a log\n";
  if (!module.LogNote.empty())
    std::cerr << "sarn-till: warning: the module log: " << module.LogNote << '\n';
  if (!module.NoService.empty()) {
    // Only DOVRA_BASE_URL gets here (--base-url is checked on the command line). The module then
    // calls no service at all; a payment could only fail, so none is begun.
    if (command == "pay")
      throw CommandEnd("sarn-till pay: " + module.NoService + "; nothing was paid",
                       TExitCode::Failed);
    std::cerr << "sarn-till: warning: " << module.NoService << '\n';
  }
  std::cout << "voucher service: "
            << (!module.Told                ? "unknown (the module does not say)"
                : module.ServiceURL.empty() ? "none"
                                            : module.ServiceURL.c_str())
            << std::endl;
}

TDurationReading ReadDuration(const std::string& text, long long plainUnitMs, long long& ms) {
  long long n = 0;
  size_t used = 0;
  if (text.empty() ||
      !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+'))
    return TDurationReading::NotADuration;
  try {
    n = std::stoll(text, &used, 10);
  } catch (const std::out_of_range&) {
    return TDurationReading::TooLarge;
  } catch (const std::exception&) {
    return TDurationReading::NotADuration;
  }
  static constexpr std::pair<const char*, long long> units[] = {
      {"", 0},        {"ms", 1},      {"s", 1000},    {"m", 60000},
      {"min", 60000}, {"h", 3600000}, {"d", 86400000}};
  const std::string unit = text.substr(used);
  for (const auto& [name, factor] : units) {
    if (unit != name) continue;
    const long long f = factor ? factor : plainUnitMs;
    if (n > std::numeric_limits<long long>::max() / f ||
        n < std::numeric_limits<long long>::min() / f)
      return TDurationReading::TooLarge;
    ms = n * f;
    // A unit finer than the option's own must come out whole ("1500ms" for seconds is not).
    if (ms % plainUnitMs != 0) return TDurationReading::NotWhole;
    return TDurationReading::Read;
  }
  return TDurationReading::NotADuration;
}

CLI::Validator Milliseconds(int32_t minimum) {
  const std::string range = "a whole number of milliseconds from " + std::to_string(minimum) +
                            " to 2147483647 (about 24 days)";
  return CLI::Validator(
      [range, minimum](std::string& value) -> std::string {
        long long ms = 0;
        switch (ReadDuration(value, 1, ms)) {
          case TDurationReading::TooLarge:
            return "'" + value + "' is too large: give " + range;
          case TDurationReading::NotADuration:
          case TDurationReading::NotWhole:
            return "'" + value + "' is not " + range;
          case TDurationReading::Read:
            break;
        }
        if (ms < minimum || ms > std::numeric_limits<int32_t>::max())
          return "'" + value + "' is out of range: give " + range;
        value = std::to_string(ms);
        return {};
      },
      "MILLISECONDS");
}

CLI::Validator Seconds(long long minimum, long long maximum) {
  const std::string range = "whole seconds from " + std::to_string(minimum) + " to " +
                            std::to_string(maximum) +
                            ", as a number or with a unit: 90s, 5m, 2h, 1d";
  return CLI::Validator(
      [range, minimum, maximum](std::string& value) -> std::string {
        long long ms = 0;
        switch (ReadDuration(value, 1000, ms)) {
          case TDurationReading::TooLarge:
            return "'" + value + "' is too large: give " + range;
          case TDurationReading::NotWhole:
            return "'" + value + "' is not a whole number of seconds: give " + range;
          case TDurationReading::NotADuration:
            return "'" + value + "' is not a duration: give " + range;
          case TDurationReading::Read:
            break;
        }
        const long long seconds = ms / 1000;
        if (seconds < minimum || seconds > maximum)
          return "'" + value + "' is out of range: give " + range;
        value = std::to_string(seconds);
        return {};
      },
      "SECONDS");
}

CLI::Validator TrustedCertificates() {
  return CLI::Validator(
      [](const std::string& path) -> std::string {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0)
          return "the CA file " + path + " cannot be used: " + std::strerror(errno);
        if (!S_ISREG(info.st_mode)) return "the CA file " + path + " is not a regular file";
        std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(path.c_str(), "rb"), &std::fclose);
        if (!in) return "the CA file " + path + " cannot be read: " + std::strerror(errno);
        std::unique_ptr<X509, void (*)(X509*)> certificate(
            PEM_read_X509(in.get(), nullptr, nullptr, nullptr), &X509_free);
        if (!certificate)
          return "the CA file " + path +
                 " holds no PEM certificate (\"-----BEGIN CERTIFICATE-----\")";
        return {};
      },
      "PEM");
}

CLI::Validator VoucherServiceAddress() {
  return CLI::Validator(
      [](const std::string& url) -> std::string {
        const std::string refusal = VoucherServiceRefusal(url);
        return refusal.empty() ? std::string()
                               : "the address " + refusal +
                                     " (the module takes https:// addresses without user info)";
      },
      "URL");
}

namespace {

// The text before the first "/", a password in it masked: how a connection written without its
// scheme may be shown.
std::string ShownUserAndHost(const std::string& text) {
  std::string head = text.substr(0, text.find('/'));
  const size_t at = head.rfind('@');
  const size_t colon = head.find(':');
  if (at != std::string::npos && colon != std::string::npos && colon < at)
    head.replace(colon + 1, at - colon - 1, "***");
  return head;
}

std::string ConnectionMistake(const std::string& text) {
  if (IsServerConnection(text)) {
    char* message = nullptr;
    if (PQconninfoOption* options = PQconninfoParse(text.c_str(), &message)) {
      PQconninfoFree(options);
      return {};
    }
    const std::string why =
        message ? MaskedParseError(text, message) : "libpq has no memory to read it";
    if (message) PQfreemem(message);
    return "the PostgreSQL connection " + ShownConnection(text) + " cannot be read: " + why;
  }
  std::error_code ec;
  if (text.empty() || std::filesystem::exists(text, ec)) return {};
  const std::string lower = LowerAscii(text);
  const size_t colon = text.find(':');
  const bool schemeLike =
      colon != std::string::npos && colon > 1 &&
      std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                  [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
  const std::string uri = "postgresql://USER@HOST:PORT/DATABASE";
  if (schemeLike && (lower.rfind("postgres", 0) == 0 || lower.rfind("pg", 0) == 0))
    return "'" + text.substr(0, text.find_first_not_of('/', colon + 1)) +
           "' is not the start of a PostgreSQL connection: write " + uri;
  if (schemeLike && text.compare(colon, 3, "://") == 0)
    return "the scheme '" + text.substr(0, colon + 3) +
           "' is not one the till knows (a PostgreSQL server: " + uri + ")";
  if (text.substr(0, text.find('/')).find('@') != std::string::npos)
    return "'" + ShownUserAndHost(text) +
           "' looks like USER@HOST without postgresql:// before it: write " + uri;
  return {};
}

// Where a text that is no JSON document goes wrong, in words: cut short (an object, array or
// text left open at the end) or something else.
bool EndsOpen(const std::string& text) {
  int depth = 0;
  bool inText = false, escaped = false;
  for (const char c : text) {
    if (inText) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inText = false;
    } else if (c == '"') {
      inText = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth < 0) {
      return false;
    }
  }
  return inText || depth > 0;
}

const char* KindInWords(const TJSONValue& value) {
  switch (value.Kind()) {
    case TJSONKind::Null:
      return "null";
    case TJSONKind::Boolean:
      return "a boolean";
    case TJSONKind::Text:
      return "a text";
    case TJSONKind::Document:
      return value.Document()->IsArray() ? "an array" : "an object";
    default:
      return "a number";
  }
}

}  // namespace

CLI::Validator DatabaseConnection() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        const std::string mistake = ConnectionMistake(text);
        return mistake.empty() ? std::string() : mistake + "; nothing was done";
      },
      "FILE|CONNECTION");
}

std::string MissingDatabase(const std::string& connection) {
  std::error_code ec;
  if (IsServerConnection(connection) || std::filesystem::exists(connection, ec)) return {};
  return "no database at " + connection + "; create it with sarn-till upgrade";
}

std::string NewDatabaseFileRefusal(const std::string& path, bool asked) {
  const std::filesystem::path file(path);
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec))
    return "no database at " + path + ": the folder " + folder.string() +
           " does not exist; a new database file is made only in an existing folder";
  const std::string extension = file.extension().string();
  if (asked || extension == ".db" || extension == ".sqlite") return {};
  return "no database at " + path +
         ": a new SQLite database is made only for a name ending in .db or .sqlite (or with "
         "upgrade --create); for a PostgreSQL server give postgresql://USER@HOST:PORT/DATABASE";
}

void RequireDatabase(TTill& till, const std::string& command) {
  if (const std::string missing = MissingDatabase(till.Options().DatabasePath); !missing.empty())
    throw CommandEnd("sarn-till " + command + ": " + missing, TExitCode::Failed);
}

void RequireModuleTables(TTill& till, const std::string& command) {
  // One read of the table list answers for both tables.
  std::vector<std::string> tables;
  if (!till.Database().Tables(tables))  // the service has said why on stderr
    throw CommandEnd("sarn-till " + command + ": the database cannot be used", TExitCode::Failed);
  for (const char* table : {"DovraTransactions", "DovraLog"}) {
    if (std::any_of(tables.begin(), tables.end(),
                    [table](const std::string& name) { return SameTextAscii(name, table); }))
      continue;
    throw CommandEnd(
        "sarn-till " + command + ": the module's tables are missing: run sarn-till upgrade first",
        TExitCode::Failed);
  }
}

bool ReadOrderDocument(const std::string& path, std::string& text, std::string& error) {
  const std::string name = "the order document " + path;
  if (!ReadWholeFile(path, text, error, "order document")) return false;
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    error = name + " is empty";
    return false;
  }
  const TJSONValue order = ParseJSONDocument(text);
  if (order.IsEmpty()) {
    error = name + (EndsOpen(text) ? " is cut short: its JSON ends before it is complete"
                                   : " is not JSON");
    return false;
  }
  if (!order.Document() || !order.Document()->IsObject()) {
    error = name + " is " + KindInWords(order) + ", not a JSON object";
    return false;
  }
  struct TMember {
    const char* Name;
    const char* Meaning;
    bool (*Fits)(const TJSONValue&);
    const char* Wanted;
  };
  static const TMember members[] = {
      {"AfterDisc", "the order total",
       [](const TJSONValue& v) {
         return v.Kind() == TJSONKind::Integer || v.Kind() == TJSONKind::LargeInteger ||
                v.Kind() == TJSONKind::Money || v.Kind() == TJSONKind::Float;
       },
       "a number"},
      {"LineItems", "the order lines",
       [](const TJSONValue& v) { return v.Document() && v.Document()->IsArray(); }, "an array"},
  };
  for (const TMember& member : members) {
    const TJSONValue* value = order.Find(member.Name);
    if (!value) {
      error = name + " has no \"" + member.Name + "\" member (" + member.Meaning + ")";
      return false;
    }
    if (!member.Fits(*value)) {
      error =
          name + ": \"" + member.Name + "\" is " + KindInWords(*value) + ", not " + member.Wanted;
      return false;
    }
  }
  return true;
}

std::string AmountProblem(const std::string& text) {
  size_t i = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
  const size_t digits = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  const bool whole = i > digits;
  size_t decimals = 0;
  if (i < text.size() && text[i] == '.')
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) ++decimals;
  if (i == text.size() && (whole || decimals > 0) && decimals <= 4)
    return "'" + text + "' is too large for an amount (at most 922337203685469.9999)";
  return "'" + text + "' is not an amount (digits, at most four decimals)";
}

std::string ServiceFailureLine(const std::string& reason) {
  constexpr size_t kMost = 300;
  std::string line;
  for (const char ch : reason) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool blank = c < 0x20 || c == 0x7F || c == ' ';
    if (blank) {
      if (!line.empty() && line.back() != ' ') line += ' ';
      continue;
    }
    // Cut between characters, never inside a UTF-8 sequence.
    if (line.size() >= kMost && (c & 0xC0) != 0x80) return line + "...";
    line += ch;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}
