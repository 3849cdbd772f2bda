// The module's own log lines. Every line the module writes goes through these calls, at the info
// level, to the process-wide module logger (file beside the module, see SynLog.h). They never
// fail and never throw; a log that cannot be written discards the line.
#pragma once

#include <cstdint>
#include <string>

class TSynLogFamily;

namespace ModLog {

// A plain text entry (used for the start-up line).
void Info(const char* text);
// A format entry: the first "%" of format is filled with arg (text as is, integer in decimal).
void Info(const char* format, const std::string& arg);
void Info(const char* format, int32_t arg);

// Library load: applies the module's log settings in their fixed order, with the log folder and
// file name derived from moduleFile (the module's own library path), then writes
// "Starting DovraVoucherPayment".
void StartModuleLog(const std::string& moduleFile);
// The module's settings, applied to family in their fixed order, with the log folder being the
// folder of moduleFile. StartModuleLog uses it on the module's own family.
void ApplyModuleSettings(TSynLogFamily& family, const std::string& moduleFile);
// Library unload: flushes and closes the log file, then archives old log files.
void FinishModuleLog();

}  // namespace ModLog
