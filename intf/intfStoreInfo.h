// Store identity service of the host: which store and till this is. User-interface thread.
#pragma once

#include "intf/intfPtr.h"

class IStoreInfo : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{B08B90E1-F67B-4465-B10F-91B2EF47C8A8}");
  virtual int32_t GetStoreID() = 0;                  // 1: identifier of the store
  virtual void GetStoreName(std::string& name) = 0;  // 2: display name of the store
  virtual int32_t GetTillID() = 0;                   // 3: number of this till in the store

 protected:
  ~IStoreInfo() = default;
};
