#include "host/contract/StoreInfo.h"

#include "intf/clsInterfacedObject.h"
#include "intf/intfStoreInfo.h"

namespace {

class TStoreInfo final : public TImplements<TInterfacedObject, IStoreInfo> {
 public:
  TStoreInfo(int32_t storeID, std::string storeName, int32_t tillID)
      : FStoreID(storeID), FStoreName(std::move(storeName)), FTillID(tillID) {}
  int32_t GetStoreID() override { return FStoreID; }
  void GetStoreName(std::string& name) override { name = FStoreName; }
  int32_t GetTillID() override { return FTillID; }

 private:
  int32_t FStoreID;
  std::string FStoreName;
  int32_t FTillID;
};

}  // namespace

void RegisterStoreInfo(IServiceRegistry* registry, int32_t storeID, const std::string& storeName,
                       int32_t tillID) {
  auto info = MakeObject<TStoreInfo>(storeID, storeName, tillID);
  registry->RegisterInstance(IStoreInfo::IID, info.As<IInterface>().Get());
}
