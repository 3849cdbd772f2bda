// The documents the sandbox answers with, and how the parts of a redemption it knows only
// partly are written in them.
#pragma once

#include <string>

#include "lib/json/clsJSONDocument.h"
#include "sandbox/SandboxRequest.h"
#include "sandbox/VoucherBook.h"

TSandboxReply JsonReply(int status, const TJSONValue& document);
// {"Success":false,"ErrorMessage":message} with status.
TSandboxReply Refusal(int status, const std::string& message);
// An evaluate or redeem answer (withReference: the redemption's reference and code too); a
// refused one carries its message only.
TJSONValue AnswerDocument(const TVoucherAnswer& answer, bool withReference);

// Unknown parts of an origin are written as null.
TJSONValue StoreReferenceValue(const TRedemptionOrigin& origin);
TJSONValue OrderDateValue(const TRedemptionOrigin& origin);
TJSONValue RequestDigestValue(const TRedemptionOrigin& origin);
