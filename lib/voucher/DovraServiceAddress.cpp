#include "lib/voucher/DovraServiceAddress.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "lib/common/AsciiCase.h"

namespace {

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
bool IsAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool IsHostName(std::string_view host) {
  if (host.empty() || host.front() == '.' || host.find("..") != std::string_view::npos)
    return false;
  for (char c : host)
    if (!IsAlnum(c) && c != '-' && c != '.') return false;
  return true;
}

bool IsIPv6(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host)
    if (!IsHex(c) && c != ':' && c != '.') return false;
  return true;
}

bool IsPort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (char c : port) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

// host, host:port, [v6] or [v6]:port.
bool IsHostAndPort(std::string_view authority) {
  std::string_view host = authority;
  std::string_view port;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || !IsIPv6(authority.substr(1, close - 1))) return false;
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return false;
    hasPort = !after.empty();
    port = hasPort ? after.substr(1) : after;
    return !hasPort || IsPort(port);
  }
  if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    hasPort = true;
  }
  return IsHostName(host) && (!hasPort || IsPort(port));
}

// A base path only: the operation paths are appended to it, so a query or a fragment would
// swallow them.
bool IsBasePath(std::string_view path) {
  static constexpr std::string_view kAllowed = "-._~!$&'()*+,;=:@/";
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '%') {
      if (i + 2 >= path.size() || !IsHex(path[i + 1]) || !IsHex(path[i + 2])) return false;
      i += 2;
    } else if (!IsAlnum(c) && kAllowed.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string_view VoucherServiceAddressRefusal(std::string_view value) {
  const size_t mark = value.find("://");
  if (mark == std::string_view::npos) return "is not a valid address";
  if (!SameTextAscii(value.substr(0, mark), "https")) return "is not an https:// address";
  const std::string_view rest = value.substr(mark + 3);
  const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string_view authority = rest.substr(0, authorityEnd);
  if (authority.find('@') != std::string_view::npos) return "carries user info";
  if (!IsHostAndPort(authority) || !IsBasePath(rest.substr(authorityEnd)))
    return "is not a valid address";
  return {};
}
