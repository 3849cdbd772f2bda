// Implements and queries a contract interface with nothing but the installed SDK headers.
#include <cstdio>

#include "intf/clsInterfacedObject.h"
#include "intf/intfStoreInfo.h"

class TStore final : public TImplements<TInterfacedObject, IStoreInfo> {
 public:
  int32_t GetStoreID() override { return 42; }
  void GetStoreName(std::string& name) override { name = "consumer"; }
  int32_t GetTillID() override { return 1; }
};

int main() {
  TIntfPtr<IInterface> base = MakeObject<TStore>().As<IInterface>();
  TIntfPtr<IStoreInfo> store = base.As<IStoreInfo>();
  if (!store || store->GetStoreID() != 42) return 1;
  std::puts(IStoreInfo::IID.ToString().c_str());
  return 0;
}
