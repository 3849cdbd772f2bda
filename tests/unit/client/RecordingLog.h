// The module log's lines kept in memory, for tests that check the exact lines written: set as the
// log's sink for the object's life.
#pragma once

#include <string>
#include <vector>

#include "module/log/modLog.h"

struct TLoggedLine {
  std::string Format;
  std::string Arg;
  std::string Text;  // the format with its "%" filled
};

class TRecordingLog final : public TModuleLogSink {
 public:
  TRecordingLog() { ModLog::SetSink(this); }
  ~TRecordingLog() override { ModLog::SetSink(nullptr); }
  TRecordingLog(const TRecordingLog&) = delete;
  TRecordingLog& operator=(const TRecordingLog&) = delete;

  void Text(const char* text) override { FLines.push_back({text, "", text}); }
  void Format(const char* format, const std::string& arg) override {
    std::string line = format;
    if (const size_t at = line.find('%'); at != std::string::npos) line.replace(at, 1, arg);
    FLines.push_back({format, arg, line});
  }

  std::vector<TLoggedLine>& Lines() { return FLines; }

 private:
  std::vector<TLoggedLine> FLines;
};
