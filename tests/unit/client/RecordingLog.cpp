// The module log entry points, recording every line in memory instead of writing a file, so the
// client's lines can be checked exactly.
#include "tests/unit/client/RecordingLog.h"

#include "module/log/modLog.h"

std::vector<TLoggedLine>& LoggedLines() {
  static std::vector<TLoggedLine> lines;
  return lines;
}

namespace ModLog {

void Info(const char* text) { LoggedLines().push_back({text, "", text}); }

void Info(const char* format, const std::string& arg) {
  std::string line = format;
  if (const size_t at = line.find('%'); at != std::string::npos) line.replace(at, 1, arg);
  LoggedLines().push_back({format, arg, line});
}

void Info(const char* format, int32_t arg) { Info(format, std::to_string(arg)); }

void StartModuleLog(const std::string&) {}
void FinishModuleLog() {}

// No file: the lines stay in memory.
bool LogFile(std::string& path, std::string& problem) {
  path.clear();
  problem = "the module log is kept in memory";
  return false;
}

}  // namespace ModLog
