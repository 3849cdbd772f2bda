// The shared state of payment methods.
#include "module/payment/clsPaymentMethodBase.h"

#include "module/payment/clsStringConfigList.h"

// A constructor cannot reach a derived override, so the base clears its own part here and each
// derived class starts its own fields in their reset state.
TPaymentMethodBase::TPaymentMethodBase() : FDetails(NewStringConfigList()) {
  TPaymentMethodBase::Reset();
}

void TPaymentMethodBase::Reset() {
  FAmount = 0;
  FSecondAmount = 0;
  FDetails->Clear();
}

void TPaymentMethodBase::SetAmountField(TCurrency& field, TCurrency value) {
  if (field == value) return;
  field = value;
  Changed();
}
