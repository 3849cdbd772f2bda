// Action (rights) codes of the host (host unit intfActCodes): codes users can be granted. Modules
// declare theirs during the database upgrade, from IDatabaseChanges::CollectChanges.
// User-interface thread.
#pragma once

#include <string>

#include "intf/intfPtr.h"

class IActionCodes : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{7336DF82-6458-4675-A561-03F09D1B3B6E}");
  // 1: declare a code with its description; level and group are the host's (modules pass 1, 1).
  virtual void AddActionCode(const std::string& code, const std::string& description, int32_t level,
                             int32_t group) = 0;
  // 2: forget a code.
  virtual void RemoveActionCode(const std::string& code) = 0;
  // 3: link a code to a rights key (the key of the menu or function it guards).
  virtual void LinkActionCode(const std::string& code, const std::string& key) = 0;

 protected:
  ~IActionCodes() = default;
};
