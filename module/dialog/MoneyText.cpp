#include "module/dialog/MoneyText.h"

#include <locale.h>
#include <monetary.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace {

struct TLocaleFree {
  void operator()(std::remove_pointer_t<locale_t>* loc) const { freelocale(loc); }
};
using TLocalePtr = std::unique_ptr<std::remove_pointer_t<locale_t>, TLocaleFree>;

// The environment values that decide which locale newlocale(..., "", ...) loads.
std::string LocaleEnvironmentKey() {
  std::string key;
  for (const char* name : {"LC_ALL", "LC_MONETARY", "LANG", "LOCPATH"}) {
    const char* value = std::getenv(name);
    key += value ? value : "";
    key += '\n';
  }
  return key;
}

// Loaded once per distinct environment rather than per amount: loading reads locale files, and
// the host may still change its environment while it runs.
locale_t UserMonetaryLocale() {
  static std::mutex guard;
  static std::string cachedKey;
  static TLocalePtr cached;
  const std::lock_guard<std::mutex> lock(guard);
  std::string key = LocaleEnvironmentKey();
  if (cached && key == cachedKey) return cached.get();
  TLocalePtr loc(newlocale(LC_MONETARY_MASK, "", static_cast<locale_t>(nullptr)));
  if (!loc) loc.reset(newlocale(LC_MONETARY_MASK, "C", static_cast<locale_t>(nullptr)));
  if (!loc)
    throw std::runtime_error(std::string("Could not load a monetary locale: ") +
                             std::strerror(errno));
  cached = std::move(loc);
  cachedKey = std::move(key);
  return cached.get();
}

}  // namespace

std::string FormatMoney(double amount) {
  const locale_t loc = UserMonetaryLocale();
  // "%n" is the national money form: the locale's own symbol, placement and negative pattern.
  std::vector<char> buffer(64);
  int error = 0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    errno = 0;
    const ssize_t written = strfmon_l(buffer.data(), buffer.size(), loc, "%n", amount);
    if (written >= 0) return std::string(buffer.data(), static_cast<size_t>(written));
    error = errno;
    if (error != E2BIG) break;
    buffer.resize(buffer.size() * 4);
  }
  throw std::runtime_error("Could not format the amount " + std::to_string(amount) +
                           " as money: " + std::strerror(error));
}
