// The module's contribution to the host's database upgrade: its two tables (created when missing)
// and its two access-right codes.
#pragma once

#include <string>

#include "intfDI.h"

// The two scripts, each one batch with CR LF between its fixed-width lines.
const std::string& DovraTransactionTableScript();
const std::string& DovraLogTableScript();

// A new TDatabaseChangesDovraFactory (counted reference, owned by the caller).
TIntfPtr<IServiceFactory> NewDatabaseChangesDovraFactory();
