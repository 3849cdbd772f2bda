// The voucher payment method as the host's payment framework drives it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "module/core/modAssert.h"
#include "module/core/modRegistry.h"
#include "module/log/modLog.h"
#include "module/payment/implPaymentMethodDovraVouchers.h"
#include "tests/support/TestFolder.h"
#include "tests/support/TestRegistry.h"
#include "tests/unit/payment/PaymentTestSupport.h"

namespace {

struct TChangeLog {
  std::vector<IPaymentMethod*> Senders;
  std::vector<TCurrency> AmountsSeen;
};

void RecordChange(void* context, IPaymentMethod* sender) {
  auto* log = static_cast<TChangeLog*>(context);
  log->Senders.push_back(sender);
  log->AmountsSeen.push_back(sender->GetAmount());
}

struct TEntryCall {
  int32_t First, Second;
  std::string Code;
  int32_t V1, V2;
  double Amount;
  int32_t V3, V4;
};

void RecordEntry(void* context, int32_t first, int32_t second, const std::string& code, int32_t v1,
                 int32_t v2, double amount, int32_t v3, int32_t v4) {
  static_cast<std::vector<TEntryCall>*>(context)->push_back(
      {first, second, code, v1, v2, amount, v3, v4});
}

struct TCodeCall {
  int32_t First, Second;
  std::string Code;
};

void RecordCode(void* context, int32_t first, int32_t second, const std::string& code) {
  static_cast<std::vector<TCodeCall>*>(context)->push_back({first, second, code});
}

// Every test runs with a module registry that serves a store with identifier 4711.
class PaymentMethod : public ::testing::Test {
 protected:
  void SetUp() override {
    Registry = MakeObject<TTestRegistry>();
    ServeStore(MakeObject<TTestStore>(4711, &StoreDestroyed));
    ModuleRegistrySlot() = Registry;
    Object = MakeObject<TPaymentMethodDovraVoucher>();
    Method = Object.As<IPaymentMethod>();
    ASSERT_TRUE(Method);
  }
  void TearDown() override { ModuleRegistrySlot() = nullptr; }

  void Listen() { Method->SetOnChanged({&RecordChange, &Changes}); }
  void ServeStore(const TIntfPtr<TTestStore>& store) {
    Registry->RegisterInstance(IStoreInfo::IID, store.As<IInterface>().Get());
  }
  void DropStore() { Registry->UnregisterInstance(IStoreInfo::IID); }

  bool StoreDestroyed = false;
  TIntfPtr<TTestRegistry> Registry;
  TIntfPtr<TPaymentMethodDovraVoucher> Object;
  TIntfPtr<IPaymentMethod> Method;
  TChangeLog Changes;
};

}  // namespace

TEST_F(PaymentMethod, CreationFetchesTheStoreOnceAndKeepsNoReference) {
  EXPECT_EQ(Object->StoreID(), 4711);
  EXPECT_EQ(Registry->Resolves, 1);
  DropStore();
  EXPECT_TRUE(StoreDestroyed);  // the payment method did not keep the service
  EXPECT_EQ(Object->StoreID(), 4711);
}

TEST_F(PaymentMethod, CreationLogsTheStoreIdentifier) {
  namespace fs = std::filesystem;
  const TScratchFolder scratch("payment-log");
  const fs::path& folder = scratch.Dir();
  ModLog::StartModuleLog((folder / "DovraVoucherPayment.smd").string());
  ServeStore(MakeObject<TTestStore>(-42, nullptr));
  MakeObject<TPaymentMethodDovraVoucher>();
  ModLog::FinishModuleLog();
  std::string all;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() != ".log") continue;
    all += FileBytes(entry.path().string());
  }
  EXPECT_NE(all.find("[TPaymentMethodDovraVoucher.Create] Got StoreID : -42"), std::string::npos)
      << all;
}

TEST_F(PaymentMethod, CreationWithoutStoreServiceOrRegistryGivesStoreZero) {
  DropStore();
  EXPECT_EQ(MakeObject<TPaymentMethodDovraVoucher>()->StoreID(), 0);
  ModuleRegistrySlot() = nullptr;
  EXPECT_EQ(MakeObject<TPaymentMethodDovraVoucher>()->StoreID(), 0);
}

TEST_F(PaymentMethod, FreshObjectIsInItsResetState) {
  EXPECT_EQ(Method->GetAmount(), 0);
  EXPECT_EQ(Method->GetSecondAmount(), 0);
  EXPECT_FALSE(Method->GetOnChanged().Assigned());
  EXPECT_EQ(Object->TransactionID(), -1);
  EXPECT_EQ(Object->InvoiceNum(), -1);
  EXPECT_FALSE(Object->Redeemed());
  EXPECT_EQ(Object->VoucherReference(), "");
  TIntfPtr<IStringConfigList> details;
  Method->GetDetails(details);
  ASSERT_TRUE(details);
  EXPECT_EQ(details->Count(), 0);
}

TEST_F(PaymentMethod, AmountChangesNotifyOncePerChangedValue) {
  Listen();
  Method->SetAmount(125000);
  Method->SetAmount(125000);
  Method->SetSecondAmount(0);  // unchanged: no call
  Method->SetSecondAmount(-5);
  Method->SetSecondAmount(-5);
  Method->SetAmount(-1);
  ASSERT_EQ(Changes.Senders.size(), 3u);
  // The handler runs after the value is stored and receives the object's own IPaymentMethod.
  EXPECT_EQ(Changes.AmountsSeen, (std::vector<TCurrency>{125000, 125000, -1}));
  for (IPaymentMethod* sender : Changes.Senders) EXPECT_EQ(sender, Method.Get());
  EXPECT_EQ(Method->GetAmount(), -1);
  EXPECT_EQ(Method->GetSecondAmount(), -5);
}

TEST_F(PaymentMethod, ResetClearsSilentlyAndKeepsHandlerAndDocument) {
  Listen();
  Method->SetAmount(10000);
  Method->SetSecondAmount(20000);
  Method->SetOrderDocument("{\"AfterDisc\":1}");
  TIntfPtr<IStringConfigList> details;
  Method->GetDetails(details);
  details->AddValue("VoucherCode", "ABC");
  Changes = {};
  Method->Reset();
  EXPECT_TRUE(Changes.Senders.empty());
  EXPECT_EQ(Method->GetAmount(), 0);
  EXPECT_EQ(Method->GetSecondAmount(), 0);
  EXPECT_EQ(details->Count(), 0);
  EXPECT_EQ(Object->OrderDocument(), "{\"AfterDisc\":1}");
  EXPECT_EQ(Method->GetOnChanged().Context, &Changes);
  EXPECT_EQ(Object->StoreID(), 4711);
  // After a reset the object is usable again and still notifies.
  Method->SetAmount(1);
  EXPECT_EQ(Changes.Senders.size(), 1u);
}

TEST_F(PaymentMethod, SettersStoreWithoutAHandler) {
  Method->SetAmount(7);
  Method->SetSecondAmount(8);
  EXPECT_EQ(Method->GetAmount(), 7);
  EXPECT_EQ(Method->GetSecondAmount(), 8);
  Listen();
  Method->SetOnChanged({});
  Method->SetAmount(9);
  EXPECT_TRUE(Changes.Senders.empty());
}

TEST_F(PaymentMethod, DetailsAreOneListSharedWithTheHost) {
  TIntfPtr<IStringConfigList> first, second;
  Method->GetDetails(first);
  Method->GetDetails(second);
  EXPECT_EQ(first.Get(), second.Get());
  second->AddValue("VoucherReference", "R1");
  std::string value;
  first->Value("voucherreference", value);
  EXPECT_EQ(value, "R1");
  // The host may keep the list after dropping the payment method.
  Method = nullptr;
  Object = nullptr;
  EXPECT_EQ(first->Count(), 1);
}

TEST_F(PaymentMethod, EntryReportPassesContextSwappedAndAmountInUnits) {
  std::vector<TEntryCall> calls;
  Method->SetAmount(125000);
  Method->ReportPaymentEntry(11, 22, {&RecordEntry, &calls});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].First, 22);
  EXPECT_EQ(calls[0].Second, 11);
  EXPECT_EQ(calls[0].Code, "PAYMENT:DovraVoucher");
  EXPECT_EQ(calls[0].Amount, 12.5);
  EXPECT_EQ(calls[0].V1, 0);
  EXPECT_EQ(calls[0].V2, 0);
  EXPECT_EQ(calls[0].V3, 0);
  EXPECT_EQ(calls[0].V4, 0);
  Method->SetAmount(1);
  Method->ReportPaymentEntry(1, 2, {&RecordEntry, &calls});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_DOUBLE_EQ(calls[1].Amount, 0.0001);

  Method->SetAmount(0);
  Method->ReportPaymentEntry(1, 2, {&RecordEntry, &calls});
  Method->SetAmount(-125000);
  Method->ReportPaymentEntry(1, 2, {&RecordEntry, &calls});
  Method->SetAmount(5);
  Method->ReportPaymentEntry(1, 2, {nullptr, &calls});
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(PaymentMethod, CodeReportIncludesNegativeAmountsButNotZero) {
  std::vector<TCodeCall> calls;
  Method->ReportPaymentCode(1, 2, {&RecordCode, &calls});
  EXPECT_TRUE(calls.empty());
  Method->SetAmount(-30000);
  Method->ReportPaymentCode(3, 4, {&RecordCode, &calls});
  Method->SetAmount(30000);
  Method->ReportPaymentCode(5, 6, {&RecordCode, &calls});
  Method->ReportPaymentCode(5, 6, {});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].First, 4);
  EXPECT_EQ(calls[0].Second, 3);
  EXPECT_EQ(calls[0].Code, "PAYMENT:DovraVoucher");
  EXPECT_EQ(calls[1].First, 6);
  EXPECT_EQ(calls[1].Second, 5);
}

TEST_F(PaymentMethod, EveryOperationRunsFromItsVtablePosition) {
  IPaymentMethod* m = Method.Get();
  TSlot<void(TPaymentChangedEvent)>::Call(m, 2, TPaymentChangedEvent{&RecordChange, &Changes});
  EXPECT_EQ(Method->GetOnChanged().Context, &Changes);
  TSlot<void(TCurrency)>::Call(m, 1, 250000);
  EXPECT_EQ(Method->GetAmount(), 250000);
  EXPECT_EQ(Changes.Senders.size(), 1u);
  TSlot<void(TCurrency)>::Call(m, 3, 17);
  EXPECT_EQ(Method->GetSecondAmount(), 17);
  EXPECT_EQ(TSlot<TCurrency()>::Call(m, 4), 250000);
  const TPaymentChangedEvent handler = TSlot<TPaymentChangedEvent()>::Call(m, 5);
  EXPECT_EQ(handler.Code, &RecordChange);
  EXPECT_EQ(handler.Context, &Changes);
  EXPECT_EQ(TSlot<TCurrency()>::Call(m, 6), 17);
  TIntfPtr<IStringConfigList> details;
  TSlot<void(TIntfPtr<IStringConfigList>&)>::Call(m, 7, details);
  ASSERT_TRUE(details);
  TIntfPtr<IStringConfigList> again;
  Method->GetDetails(again);
  EXPECT_EQ(details.Get(), again.Get());
  TSlot<void(const std::string&)>::Call(m, 8, "{\"LineItems\":[]}");
  EXPECT_EQ(Object->OrderDocument(), "{\"LineItems\":[]}");
  for (int position : {9, 10, 11}) {
    std::string name;
    TSlot<void(std::string&)>::Call(m, position, name);
    EXPECT_EQ(name, "DovraVouchers") << "position " << position;
  }
  // The popup's first step needs the host's DB script service, which this registry lacks.
  EXPECT_THROW(TSlot<bool()>::Call(m, 12), EAssertionFailed);
  std::vector<TEntryCall> entries;
  TSlot<void(int32_t, int32_t, TPaymentEntryCallback)>::Call(
      m, 14, 1, 2, TPaymentEntryCallback{&RecordEntry, &entries});
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Amount, 25.0);
  std::vector<TCodeCall> codes;
  TSlot<void(int32_t, int32_t, TPaymentCodeCallback)>::Call(
      m, 15, 3, 4, TPaymentCodeCallback{&RecordCode, &codes});
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(codes[0].First, 4);
  // Without a transaction row, a redemption or an invoice's rows these change nothing.
  TSlot<void(int32_t)>::Call(m, 16, 1001);
  TSlot<void()>::Call(m, 17);
  TSlot<void(int32_t)>::Call(m, 19, 1001);
  EXPECT_EQ(Object->InvoiceNum(), -1);
  EXPECT_EQ(Method->GetAmount(), 250000);
  EXPECT_EQ(TSlot<void*()>::Call(m, 18), static_cast<void*>(Object.Get()));
  details->Add("line");
  const size_t changes = Changes.Senders.size();
  TSlot<void()>::Call(m, 13);
  EXPECT_EQ(Method->GetAmount(), 0);
  EXPECT_EQ(details->Count(), 0);
  EXPECT_EQ(Changes.Senders.size(), changes);
}

TEST_F(PaymentMethod, FactoryMakesAFreshObjectBehindItsBaseInterface) {
  TIntfPtr<IServiceFactory> factory = MakeObject<TPaymentMethodDovraVoucherFactory>();
  ASSERT_TRUE(factory);
  EXPECT_TRUE(factory.As<IServiceFactory>());
  TIntfPtr<IInterface> first, second;
  TSlot<void(TIntfPtr<IInterface>&)>::Call(factory.Get(), 1, first);
  factory->CreateInstance(second);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_NE(first.Get(), second.Get());

  TIntfPtr<IPaymentMethod> method = first.As<IPaymentMethod>();
  ASSERT_TRUE(method);
  TIntfPtr<IInterface> base = method.As<IInterface>();
  EXPECT_EQ(base.Get(), first.Get());  // handed out as the base interface ...
  EXPECT_NE(static_cast<void*>(first.Get()), static_cast<void*>(method.Get()));  // ... not this
  EXPECT_FALSE(first.As<IServiceFactory>());
  EXPECT_FALSE(first.As<IStringConfigList>());
  auto* object = static_cast<TPaymentMethodDovraVoucher*>(method->GetImplementingObject());
  EXPECT_EQ(object->StoreID(), 4711);

  // Objects are independent of each other.
  method->SetAmount(5);
  EXPECT_EQ(second.As<IPaymentMethod>()->GetAmount(), 0);
}
