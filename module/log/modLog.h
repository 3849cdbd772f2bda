// The module's own log lines. Every line the module writes goes through these calls, at the info
// level, to the process-wide module logger (file beside the module, see SynLog.h). They never
// fail and never throw: a line that cannot be written (a log that cannot be opened, no memory)
// is dropped. A line's argument text is bounded (kMaxArgumentText), so no answer of the voucher
// service, however long, can fill the till's disk through the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TSynLogFamily;

// Where the module's lines can go instead of the log file: a test puts one in place to read back
// exactly what the module wrote. A plain abstract class, held by the log only while it is set.
// Its calls must not throw (a throw is swallowed, the line dropped, as in the file).
class TModuleLogSink {
 public:
  virtual ~TModuleLogSink() = default;
  // A plain text line.
  virtual void Text(const char* text) = 0;
  // A format line: the first "%" of format stands for arg (an integer comes as its decimal text),
  // arg whole, before the file's bound on argument text.
  virtual void Format(const char* format, const std::string& arg) = 0;
};

namespace ModLog {

// Bytes of argument text one line writes at most; the rest is left out and the line ends with
// "... (N bytes left out)".
inline constexpr size_t kMaxArgumentText = 64 * 1024;

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

// Sends every line to sink instead of the file until it is set back to nullptr; sink outlives
// that, and no line may still be on its way to it then. The file, when started, stays open and
// receives nothing meanwhile.
void SetSink(TModuleLogSink* sink);

// path := the file the module log writes, or the one it would write; false when it writes none,
// problem then saying why (the module's folder not writable, or no log set up at all).
bool LogFile(std::string& path, std::string& problem);

}  // namespace ModLog
