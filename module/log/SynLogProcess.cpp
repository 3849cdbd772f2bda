// Process facts and the header built from them (how each fact is obtained: SynLog.h).
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "lib/common/AsciiCase.h"
#include "lib/common/LocalTime.h"
#include "lib/common/PathParts.h"
#include "module/log/SynLog.h"
#include "module/log/SynLogInternal.h"

extern char** environ;

#ifndef DOVRA_MODULE_VERSION
#define DOVRA_MODULE_VERSION "0.0.0.0"
#endif

namespace {

// Values of "key : value" lines of /proc/cpuinfo for the first processor.
int CpuInfoNumber(const std::string& cpuinfo, std::string_view key) {
  size_t pos = 0;
  while (pos < cpuinfo.size()) {
    size_t end = cpuinfo.find('\n', pos);
    if (end == std::string::npos) end = cpuinfo.size();
    std::string_view line(cpuinfo.data() + pos, end - pos);
    if (line.empty()) break;  // end of the first processor's block
    if (line.substr(0, key.size()) == key) {
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string value(line.substr(colon + 1));
        return static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
      }
    }
    pos = end + 1;
  }
  return 0;
}

std::string CpuText() {
  long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (count < 1) count = 1;
  struct utsname un {};
  ::uname(&un);
  const std::string machine = un.machine;
  std::string cpuinfo;
  {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
      cpuinfo += line;
      cpuinfo += '\n';
      if (line.empty()) break;
    }
  }
  int arch = 0xFFFF, level = 0, revision = 0;
  if (machine == "x86_64" || machine == "i386" || machine == "i686") {
    arch = machine == "x86_64" ? 9 : 0;
    level = CpuInfoNumber(cpuinfo, "cpu family");
    revision = (CpuInfoNumber(cpuinfo, "model\t") << 8) | CpuInfoNumber(cpuinfo, "stepping");
  } else if (machine == "aarch64" || machine.rfind("arm", 0) == 0) {
    arch = machine == "aarch64" ? 12 : 5;
    level = CpuInfoNumber(cpuinfo, "CPU architecture");
    revision =
        (CpuInfoNumber(cpuinfo, "CPU variant") << 8) | CpuInfoNumber(cpuinfo, "CPU revision");
  }
  return std::to_string(count) + "*" + std::to_string(arch) + "-" + std::to_string(level) + "-" +
         std::to_string(revision);
}

std::string OsText() {
  struct utsname un {};
  ::uname(&un);
  int parts[3] = {0, 0, 0};
  const char* p = un.release;
  for (int i = 0; i < 3 && *p; ++i) {
    char* end = nullptr;
    parts[i] = static_cast<int>(std::strtol(p, &end, 10));
    if (end == p || *end != '.') break;
    p = end + 1;
  }
  return "0.0=" + std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[2]);
}

// Header texts keep to one line each: control bytes become blanks.
std::string Blanked(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return text;
}

}  // namespace

namespace SynLogInternal {

std::string ModuleVersion() { return DOVRA_MODULE_VERSION; }

std::string OwnLibraryPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&OwnLibraryPath), &info) && info.dli_fname)
    return info.dli_fname[0] == '/' ? std::string(info.dli_fname) : ExecutablePath();
  return ExecutablePath();
}

std::string HostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

std::string CurrentUserName() {
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[1024];
  if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && pw.pw_name)
    return pw.pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

}  // namespace SynLogInternal

// A name is taken apart at its "_" (and "-"): a word that holds a secret marker gives the secret
// away whatever it is joined to (PGPASSWORD, MYSQL_PWD, SESSION_COOKIE, GITHUB_WEBHOOK_URL); the
// short markers only as a word of their own, or PATH, SHIPPING and FOOTPRINT would hide too.
bool SynLogIsSecretName(std::string_view name) {
  static constexpr std::string_view kMarkers[] = {
      "PASS",    "PWD",     "KEY",    "TOKEN",   "SECRET", "CRED",      "AUTH",
      "COOKIE",  "SESSION", "BEARER", "PRIVATE", "JWT",    "SIGNING",   "SIGNATURE",
      "WEBHOOK", "HMAC",    "NONCE",  "SALT",    "CERT",   "PASSPHRASE"};
  static constexpr std::string_view kWords[] = {"PAT", "OTP", "TOTP", "PIN", "SK",
                                                "SIG", "MFA", "DSN",  "HOOK"};
  const std::string upper = UpperAscii(name);
  std::string_view rest(upper);
  for (;;) {
    const size_t cut = rest.find_first_of("_-");
    const std::string_view part = rest.substr(0, cut);
    for (std::string_view word : kWords)
      if (part == word) return true;
    for (std::string_view marker : kMarkers)
      if (part.find(marker) != std::string_view::npos) return true;
    if (cut == std::string_view::npos) return false;
    rest.remove_prefix(cut + 1);
  }
}

namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

// Letters and digits mixed, long enough to be a key rather than a word: what a webhook's secret
// path part or a query's token looks like.
bool LooksLikeToken(std::string_view part) {
  if (part.size() < 16) return false;
  bool letter = false, digit = false;
  for (char c : part) {
    if (c >= '0' && c <= '9')
      digit = true;
    else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
      letter = true;
    else if (c != '_' && c != '-')
      return false;
  }
  return letter && digit;
}

// Where a value given inside a text ends: at a blank, a separator of a list or a query, a quote.
size_t ValueEnd(std::string_view text, size_t from) {
  while (from < text.size() && static_cast<unsigned char>(text[from]) > ' ' &&
         std::string_view("&;,'\"").find(text[from]) == std::string_view::npos)
    ++from;
  return from;
}

}  // namespace

// "NAME=value" inside a value (a connection string's password=..., a query's token=...) with a
// secret NAME, and the parts of an address's path and query that look like tokens: masked.
std::string SynLogMaskSecretValues(std::string_view text) {
  std::string out;
  size_t done = 0;
  const auto mask = [&](size_t from, size_t end) {
    out.append(text.substr(done, from - done));
    out += "***";
    done = end;
  };
  for (size_t eq = text.find('='); eq != std::string_view::npos; eq = text.find('=', eq + 1)) {
    size_t start = eq;
    while (start > done && IsNameChar(text[start - 1])) --start;
    if (start == eq || !SynLogIsSecretName(text.substr(start, eq - start))) continue;
    // A quoted value (a connection string's password='a b') is masked up to its closing quote.
    const char quote = eq + 1 < text.size() ? text[eq + 1] : '\0';
    const size_t closing =
        quote == '\'' || quote == '"' ? text.find(quote, eq + 2) : std::string_view::npos;
    const size_t from = closing != std::string_view::npos ? eq + 2 : eq + 1;
    const size_t end = closing != std::string_view::npos ? closing : ValueEnd(text, eq + 1);
    if (end > from) mask(from, end);
  }
  out.append(text.substr(done));
  // Path parts and query values of addresses.
  std::string result;
  done = 0;
  const std::string_view masked(out);
  for (size_t mark = masked.find("://"); mark != std::string_view::npos;
       mark = masked.find("://", mark + 3)) {
    size_t at = mark + 3;
    size_t end = at;
    while (end < masked.size() && static_cast<unsigned char>(masked[end]) > ' ' &&
           masked[end] != '"' && masked[end] != '\'')
      ++end;
    while (at < end) {
      size_t next = at;
      while (next < end && std::string_view("/?&=#").find(masked[next]) == std::string_view::npos)
        ++next;
      if (next > at && at > mark + 3 && LooksLikeToken(masked.substr(at, next - at))) {
        result.append(masked.substr(done, at - done));
        result += "***";
        done = next;
      }
      at = next + 1;
    }
  }
  result.append(masked.substr(done));
  return result;
}

// Any "://" counts, whatever stands before it: masking a text that only looks like an address
// costs nothing, missing a real one leaks its password.
std::string SynLogMaskURLUserInfo(std::string_view text) {
  std::string out;
  size_t done = 0;
  size_t from = 0;
  for (size_t mark; (mark = text.find("://", from)) != std::string_view::npos;) {
    // The authority ends at the path, query or fragment, or at a blank between list items; its
    // user info is everything before the last "@" (a password may hold an "@" of its own).
    const size_t start = mark + 3;
    size_t end = start;
    while (end < text.size() && text[end] != '/' && text[end] != '?' && text[end] != '#' &&
           static_cast<unsigned char>(text[end]) > ' ')
      ++end;
    from = start;
    const size_t at = text.substr(start, end - start).rfind('@');
    if (at == std::string_view::npos) continue;
    const std::string_view info = text.substr(start, at);
    out.append(text.substr(done, start - done));
    // A user info without a password is often a token standing alone: it goes too.
    if (const size_t colon = info.find(':'); colon != std::string_view::npos)
      out.append(info.substr(0, colon + 1));
    out += "***";
    done = from = start + at;  // from the "@" on
  }
  out.append(text.substr(done));
  return out;
}

std::string SynLogEnvironmentText(const char* const* env) {
  std::string text;
  for (; env && *env; ++env) {
    std::string_view entry(*env);
    if (entry.empty() || entry[0] == '=') continue;
    const size_t eq = entry.find('=');
    if (eq == std::string_view::npos) {
      text += Blanked(std::string(entry));
    } else {
      const std::string_view name = entry.substr(0, eq);
      text += Blanked(std::string(name));
      text += '=';
      text += SynLogIsSecretName(name)
                  ? std::string("***")
                  : Blanked(SynLogMaskSecretValues(SynLogMaskURLUserInfo(entry.substr(eq + 1))));
    }
    text += '\t';
  }
  if (!text.empty()) text.pop_back();
  return text;
}

std::vector<std::string> TSynLogFamily::HeaderLines() const {
  struct stat st {};
  time_t built = 0;
  if (::stat(ModuleFileName.c_str(), &st) == 0)
    built = st.st_mtime;
  else if (::stat(ExeFileName.c_str(), &st) == 0)
    built = st.st_mtime;
  std::vector<std::string> lines;
  lines.push_back(Blanked(ExeFileName + " " + ModuleVersion + " (" +
                          FormatLocalTime("%Y-%m-%d %H:%M:%S", LocalTimeAt(built)) + ")"));
  lines.push_back(Blanked("Host=" + ComputerName + " User=" + UserName + " CPU=" + CpuText() +
                          " OS=" + OsText() +
                          " Wow64=0 Freq=1000000000 Instance=" + ModuleFileName));
  // Already one line: the text blanks control bytes inside values and keeps its TAB separators.
  lines.push_back("Environment variables=" + SynLogEnvironmentText(environ));
  lines.push_back("TSynLog 1.18.743 FTS3 " + LocalTimestamp("%Y-%m-%dT%H:%M:%S"));
  return lines;
}
