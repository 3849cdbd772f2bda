// The times the sandbox writes and decides by.
#pragma once

#include <string>

// Now in UTC as ISO 8601 with milliseconds, as the record and the state carry it.
std::string UtcNow();
// The local date ("YYYY-MM-DD") a voucher's expiry is weighed against.
std::string Today();
