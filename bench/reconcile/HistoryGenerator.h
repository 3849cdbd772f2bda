// A till's module-log history as it builds up over a year of trading, for measuring reconcile:
// one process (one sarn-till command) per payment, each with its header and the lines the
// module writes for a paid voucher, a refusal now and then and a cancel now and then; the live
// log holds the last day, each earlier month lies archived under log/YYYYMM/ in the log's own
// archive format, as the module's logger leaves it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace HistoryBench {

struct THistoryShape {
  int Months = 12;
  size_t PaymentsPerDay = 650;  // about 30 MB of log text a month
  int DaysPerMonth = 30;
};

// The text the module log gets for one day of payments; day counts from the first day.
std::string DayOfLog(int day, size_t payments, const std::string& database);

// Writes the folder (made if missing): months of archives and the live log of one more day.
// False with error when a file cannot be written.
bool WriteHistory(const std::filesystem::path& folder, const THistoryShape& shape,
                  const std::string& database, std::string& error);

}  // namespace HistoryBench
