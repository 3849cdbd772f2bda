// The state every payment method shares: its details list, the two amounts, the change
// notification the host installs, and the order document the host hands in.
#pragma once

#include <string>

#include "intf/clsInterfacedObject.h"
#include "intf/intfPaymentMethod.h"
#include "intf/intfStringConfigList.h"

class TPaymentMethodBase : public TInterfacedObject {
 public:
  // Tells the host that an amount changed.
  virtual void Changed() = 0;
  // Back to the state of a fresh payment: amounts 0 (without notification), no detail lines.
  virtual void Reset();

 protected:
  TPaymentMethodBase();
  ~TPaymentMethodBase() override = default;

  // Stores `value` in `field`; calls Changed only when the value really changes.
  void SetAmountField(TCurrency& field, TCurrency value);

  TIntfPtr<IStringConfigList> FDetails;  // created once, never replaced
  TCurrency FAmount = 0;
  TPaymentChangedEvent FOnChanged;
  TCurrency FSecondAmount = 0;  // kept for the host; the module's own logic never reads it
  std::string FOrderDocument;
};
