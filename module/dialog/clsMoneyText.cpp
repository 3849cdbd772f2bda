#include "clsMoneyText.h"

#include <locale.h>
#include <monetary.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace {

struct TLocaleFree {
  void operator()(std::remove_pointer_t<locale_t>* loc) const { freelocale(loc); }
};
using TLocalePtr = std::unique_ptr<std::remove_pointer_t<locale_t>, TLocaleFree>;

TLocalePtr UserMonetaryLocale() {
  // Read afresh each time: the host may be told about a different user locale while it runs.
  TLocalePtr loc(newlocale(LC_MONETARY_MASK, "", static_cast<locale_t>(nullptr)));
  if (!loc) loc.reset(newlocale(LC_MONETARY_MASK, "C", static_cast<locale_t>(nullptr)));
  if (!loc)
    throw std::runtime_error(std::string("Could not load a monetary locale: ") +
                             std::strerror(errno));
  return loc;
}

}  // namespace

std::string FormatMoney(double amount) {
  const TLocalePtr loc = UserMonetaryLocale();
  // "%n" is the national money form: the locale's own symbol, placement and negative pattern.
  std::vector<char> buffer(64);
  int error = 0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    errno = 0;
    const ssize_t written = strfmon_l(buffer.data(), buffer.size(), loc.get(), "%n", amount);
    if (written >= 0) return std::string(buffer.data(), static_cast<size_t>(written));
    error = errno;
    if (error != E2BIG) break;
    buffer.resize(buffer.size() * 4);
  }
  throw std::runtime_error("Could not format the amount " + std::to_string(amount) +
                           " as money: " + std::strerror(error));
}
