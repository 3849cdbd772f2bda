// For tests only (no module code includes it): the number forms the writer uses, reachable one
// value at a time so that they can be checked against their rules without a document around.
#pragma once

#include <string>

#include "intf/intfBase.h"

// The float text form of serialisation (15 significant digits, see TJSONValue::WriteJSON),
// appended to out.
void AppendJSONFloat(std::string& out, double value);
// The money text form (four decimals, trailing zeros and point removed), appended to out.
void AppendJSONMoney(std::string& out, TCurrency value);
