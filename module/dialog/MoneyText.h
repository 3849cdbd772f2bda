// Money amounts as the cashier reads them: the user's locale money format (currency symbol and
// its place, negative pattern, separators, currency decimals).
#pragma once

#include <string>

// Formats amount with the monetary settings of the user's environment (LC_ALL, LC_MONETARY,
// LANG), without touching the process's global locale; when those name a locale that is not
// installed, the neutral C conventions are used. Raises std::runtime_error when the amount
// cannot be formatted at all.
std::string FormatMoney(double amount);
