// The module's contribution to the host's database upgrade: its two tables (created when missing)
// and its two access-right codes.
#pragma once

#include <string>

#include "intf/clsInterfacedObject.h"
#include "intf/intfDatabaseChanges.h"

// The two scripts, each one batch with CR LF between its fixed-width lines.
const std::string& DovraTransactionTableScript();
const std::string& DovraLogTableScript();

// Hands the host the two scripts and, when the host has an action-codes service, registers the
// rights SM005 and SM006. Keeps no state.
class TDatabaseChangesDovra final : public TImplements<TInterfacedObject, IDatabaseChanges> {
 public:
  void CollectChanges(IInterface* context, IScriptCollector* collector) override;
};

using TDatabaseChangesDovraFactory = TObjectFactory<TDatabaseChangesDovra>;
