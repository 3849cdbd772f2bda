// Shared pieces of the log tests: a scratch folder removed afterwards, whole-file reads and a
// family set up as the module sets its own, with the process facts fixed.
#pragma once

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "lib/common/PathParts.h"
#include "lib/synlz/SynLZFile.h"
#include "module/log/SynLog.h"
#include "module/log/modLog.h"
#include "tests/support/TestFolder.h"

namespace logtest {

// A scratch folder; Path() ends with a separator, so file names are appended directly.
using TempFolder = TScratchFolder;

inline std::string ReadFile(const std::string& path) { return FileBytes(path); }

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Sets both times of a file to t (seconds since the epoch).
inline void SetFileTime(const std::string& path, time_t t) {
  timeval times[2] = {{t, 0}, {t, 0}};
  if (::utimes(path.c_str(), times) != 0) throw std::runtime_error("utimes failed for " + path);
}

inline std::string Decompress(const std::string& archive) {
  std::string out, error;
  if (!SynLZDecompressToString(ReadFile(archive), out, error))
    throw std::runtime_error("cannot decompress " + archive + ": " + error);
  return out;
}

// The module's settings, with the till's executable, computer, user and module fixed.
inline void ConfigureLikeModule(TSynLogFamily& family, const std::string& folder) {
  // The module's own settings; only the names the file is built from and the archive folder are
  // the test's.
  family.ExeFileName = "/opt/till/Till.exe";
  family.ComputerName = "POS1";
  family.UserName = "cashier";
  ModLog::ApplyModuleSettings(family, folder + "DovraVoucherPayment.smd");
  family.SetArchivePath(folder + "till");
}

inline std::string ModuleLogName(const std::string& folder) {
  return folder + "Till (POS1) DovraVoucherPayment.smd.log";
}

// This test program's path, as the module's header names the host executable.
inline std::string ThisExecutable() { return ExecutablePath(); }

// The log the module's own entry points write in folder while this program is their host (dash:
// the dashes of a fallback name).
inline std::string ThisProgramsModuleLogName(const std::string& folder,
                                             const std::string& dash = "") {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string name = WithoutExtension(NameOf(ThisExecutable()));
  return folder + name + " (" + host + ") DovraVoucherPayment.smd" + dash + ".log";
}

}  // namespace logtest
