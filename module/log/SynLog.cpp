#include "SynLog.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "SynLZFile.h"

extern char** environ;

#ifndef DOVRA_MODULE_VERSION
#define DOVRA_MODULE_VERSION "0.0.0.0"
#endif

namespace {

constexpr std::string_view kTags[kSynLogInfoCount] = {
    "       ", " info  ", " debug ", " trace ", " warn  ", " ERROR ", "  +    ", "  -    ",
    " OSERR ", " EXC   ", " EXCOS ", " mem   ", " stack ", " fail  ", " SQL   ", " cache ",
    " res   ", " DB    ", " http  ", " clnt  ", " srvr  ", " call  ", " ret   ", " auth  ",
    " cust1 ", " cust2 ", " cust3 ", " cust4 ", " rotat "};

constexpr int kOpenRounds = 3;
constexpr int kOpenAttempts = 10;
constexpr auto kOpenRetryDelay = std::chrono::milliseconds(100);
constexpr uint64_t kBigRunBytes = 256 * 1024;
constexpr size_t kSmallBufferLimit = 48 * 1024;
constexpr size_t kBigBuffer = 64 * 1024;

// Set while a thread writes an entry: an exception raised inside the logger must not re-enter it.
thread_local bool tInsideEntry = false;

struct EntryGuard {
  EntryGuard() : outer(tInsideEntry) { tInsideEntry = true; }
  ~EntryGuard() { tInsideEntry = outer; }
  bool outer;
};

struct Listeners {
  std::mutex lock;
  std::vector<TSynLogFamily*> families;
};

// Built once in static storage and never destroyed: the exception hook may still report after
// the module's statics are gone at process exit.
Listeners& ExceptionListeners() {
  alignas(Listeners) static unsigned char storage[sizeof(Listeners)];
  static Listeners* const listeners = std::construct_at(reinterpret_cast<Listeners*>(storage));
  return *listeners;
}

std::string WithSeparator(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything before the last "." of the name part (the whole path when there is none).
std::string WithoutExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string ReadLink(const char* path) {
  char buf[4096];
  const ssize_t n = ::readlink(path, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string OwnLibraryPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&OwnLibraryPath), &info) && info.dli_fname)
    return info.dli_fname[0] == '/' ? std::string(info.dli_fname) : ReadLink("/proc/self/exe");
  return ReadLink("/proc/self/exe");
}

std::string HostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

std::string CurrentUserName() {
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[1024];
  if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && pw.pw_name)
    return pw.pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

void FormatDateTime(time_t t, const char* fmt, char* out, size_t cap) {
  struct tm tm {};
  ::localtime_r(&t, &tm);
  std::strftime(out, cap, fmt, &tm);
}

std::string LocalDateTime(time_t t, const char* fmt) {
  char buf[64] = {};
  FormatDateTime(t, fmt, buf, sizeof buf);
  return buf;
}

// Values of "key : value" lines of /proc/cpuinfo for the first processor.
int CpuInfoNumber(const std::string& cpuinfo, std::string_view key) {
  size_t pos = 0;
  while (pos < cpuinfo.size()) {
    size_t end = cpuinfo.find('\n', pos);
    if (end == std::string::npos) end = cpuinfo.size();
    std::string_view line(cpuinfo.data() + pos, end - pos);
    if (line.empty()) break;  // end of the first processor's block
    if (line.substr(0, key.size()) == key) {
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string value(line.substr(colon + 1));
        return static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
      }
    }
    pos = end + 1;
  }
  return 0;
}

std::string CpuText() {
  long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (count < 1) count = 1;
  struct utsname un {};
  ::uname(&un);
  const std::string machine = un.machine;
  std::string cpuinfo;
  {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
      cpuinfo += line;
      cpuinfo += '\n';
      if (line.empty()) break;
    }
  }
  int arch = 0xFFFF, level = 0, revision = 0;
  if (machine == "x86_64" || machine == "i386" || machine == "i686") {
    arch = machine == "x86_64" ? 9 : 0;
    level = CpuInfoNumber(cpuinfo, "cpu family");
    revision = (CpuInfoNumber(cpuinfo, "model\t") << 8) | CpuInfoNumber(cpuinfo, "stepping");
  } else if (machine == "aarch64" || machine.rfind("arm", 0) == 0) {
    arch = machine == "aarch64" ? 12 : 5;
    level = CpuInfoNumber(cpuinfo, "CPU architecture");
    revision =
        (CpuInfoNumber(cpuinfo, "CPU variant") << 8) | CpuInfoNumber(cpuinfo, "CPU revision");
  }
  return std::to_string(count) + "*" + std::to_string(arch) + "-" + std::to_string(level) + "-" +
         std::to_string(revision);
}

std::string OsText() {
  struct utsname un {};
  ::uname(&un);
  int parts[3] = {0, 0, 0};
  const char* p = un.release;
  for (int i = 0; i < 3 && *p; ++i) {
    char* end = nullptr;
    parts[i] = static_cast<int>(std::strtol(p, &end, 10));
    if (end == p || *end != '.') break;
    p = end + 1;
  }
  return "0.0=" + std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[2]);
}

// Header texts keep to one line each: control bytes become blanks.
std::string Blanked(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return text;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Index of the first byte below 32 in p[0, n), or n. Eight bytes at a time: texts are usually
// clean, and this scan is most of an entry's formatting cost.
size_t FirstControlByte(const char* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    // Flags bytes below 0x20; the lowest flag is always exact (borrows only run upwards).
    const uint64_t below = (word - 0x2020202020202020ull) & ~word & 0x8080808080808080ull;
    if (below) return i + static_cast<size_t>(std::countr_zero(below) >> 3);
  }
  for (; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) < 32) return i;
  return n;
}

// Two decimal digits of a value from 0 to 99.
void PutDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
}

// Creates folder and any missing parent; true when it is there afterwards.
bool MakeFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return std::filesystem::is_directory(folder, ec);
}

}  // namespace

std::string_view SynLogTag(TSynLogInfo level) {
  return level < kSynLogInfoCount ? kTags[level] : kTags[sllNone];
}

size_t TSynLogArg::Strlen(const char* s) { return std::strlen(s); }

bool SynLogIsSecretName(std::string_view name) {
  static constexpr std::string_view kWords[] = {"KEY",    "TOKEN",      "SECRET", "PASSWORD",
                                                "PASSWD", "CREDENTIAL", "AUTH"};
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (std::string_view word : kWords)
    if (upper.find(word) != std::string::npos) return true;
  return false;
}

std::string SynLogEnvironmentText(const char* const* env) {
  std::string text;
  for (; env && *env; ++env) {
    std::string_view entry(*env);
    if (entry.empty() || entry[0] == '=') continue;
    const size_t eq = entry.find('=');
    const std::string_view name = entry.substr(0, eq);
    if (eq != std::string_view::npos && SynLogIsSecretName(name)) {
      text += Blanked(std::string(name));
      text += "=***";
    } else {
      text += Blanked(std::string(entry));
    }
    text += '\t';
  }
  if (!text.empty()) text.pop_back();
  return text;
}

bool EventArchiveSynLZ(const std::string& file, const std::string& destFolder) {
  if (file.empty() || !FileExists(file)) return false;
  const std::string folder = WithSeparator(destFolder);
  if (!MakeFolder(folder)) return false;
  // An archive of the same name from an earlier pass is never overwritten.
  std::string dest = folder + NameOf(file) + ".synlz";
  for (int n = 1; FileExists(dest); ++n)
    dest = folder + NameOf(file) + "." + std::to_string(n) + ".synlz";
  if (!SynLZCompressFile(file, dest)) {
    ::unlink(dest.c_str());
    return false;
  }
  ::unlink(file.c_str());
  return true;
}

// ---------------------------------------------------------------------------------------------
// TSynLog

TSynLog::TSynLog(TSynLogFamily& family) : FFamily(family) {}

TSynLog::~TSynLog() { Close(); }

bool TSynLog::Discarding() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState == State::Discarding;
}

std::string TSynLog::FileName() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState == State::Open ? FFileName : std::string();
}

void TSynLog::Flush() {
  std::lock_guard<std::mutex> guard(FLock);
  WriteBuffer();
}

void TSynLog::Close() {
  std::lock_guard<std::mutex> guard(FLock);
  CloseFile();
  if (FState == State::Open) FState = State::NotOpened;
}

void TSynLog::CloseFile() {
  WriteBuffer();
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

void TSynLog::Reserve(size_t n) {
  if (FBufferLen + n <= FBufferCap) return;
  WriteBuffer();
}

void TSynLog::WriteBuffer() {
  if (FBufferLen == 0) return;
  if (FFd >= 0 && WriteAll(FFd, FBuffer.get(), FBufferLen)) {
    FFileSize += FBufferLen;
    FRunWritten += FBufferLen;
  }
  FBufferLen = 0;
  if (FRunWritten > kBigRunBytes && FBufferCap < kSmallBufferLimit) {
    FBuffer = std::make_unique<char[]>(kBigBuffer);
    FBufferCap = kBigBuffer;
  }
}

void TSynLog::Append(const char* p, size_t n) {
  if (FBufferLen + n <= FBufferCap) {
    std::memcpy(FBuffer.get() + FBufferLen, p, n);
    FBufferLen += n;
    return;
  }
  while (n > 0) {
    if (FBufferLen == FBufferCap) WriteBuffer();
    const size_t k = std::min(n, FBufferCap - FBufferLen);
    std::memcpy(FBuffer.get() + FBufferLen, p, k);
    FBufferLen += k;
    p += k;
    n -= k;
  }
}

void TSynLog::AppendText(const char* p, size_t n) {
  while (n > 0) {
    const size_t clean = FirstControlByte(p, n);
    Append(p, clean);
    if (clean == n || p[clean] == 0) return;  // a text ends at its first zero byte
    Append(" ", 1);
    p += clean + 1;
    n -= clean + 1;
  }
}

void TSynLog::AppendArg(const TSynLogArg& arg) {
  if (arg.IsText()) {
    const std::string_view text = arg.Text();
    AppendText(text.data(), text.size());
  } else {
    char digits[24];
    const auto res = std::to_chars(digits, digits + sizeof digits, arg.Value());
    Append(digits, static_cast<size_t>(res.ptr - digits));
  }
}

void TSynLog::Stamp(TSynLogInfo level) {
  timespec tick{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &tick);
  const int64_t ms = static_cast<int64_t>(tick.tv_sec) * 1000 + tick.tv_nsec / 1000000;
  if (ms != FStampTick) {
    FStampTick = ms;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm {};
    ::localtime_r(&now.tv_sec, &tm);
    const int cc = static_cast<int>(now.tv_nsec / 1000000) / 16;
    char* out = FStampText;
    const int year = (tm.tm_year + 1900) % 10000;
    PutDigits(out, year / 100);
    PutDigits(out + 2, year % 100);
    PutDigits(out + 4, tm.tm_mon + 1);
    PutDigits(out + 6, tm.tm_mday);
    out[8] = ' ';
    PutDigits(out + 9, tm.tm_hour);
    PutDigits(out + 11, tm.tm_min);
    PutDigits(out + 13, tm.tm_sec);
    PutDigits(out + 15, cc);
  }
  Reserve(sizeof FStampText + 7);
  Append(FStampText, sizeof FStampText);
  const std::string_view tag = SynLogTag(level);
  Append(tag.data(), tag.size());
}

bool TSynLog::OpenFile() {
  const std::string base = FFamily.BuildFileName();
  const std::string stem = WithoutExtension(base);
  const std::string ext = base.substr(stem.size());
  for (int round = 0; round < kOpenRounds; ++round) {
    const std::string name = round == 0 ? base : stem + std::string(round, '-') + ext;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kOpenRetryDelay);
      const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) continue;
      // Others may read the file but not write it while this run owns it.
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        continue;
      }
      if (FFamily.FileExistsAction == acOverwrite && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        continue;
      }
      struct stat st {};
      ::fstat(fd, &st);
      ::lseek(fd, 0, SEEK_END);
      FFd = fd;
      FFileName = name;
      FFileSize = static_cast<uint64_t>(st.st_size);
      FRunWritten = 0;
      const uint64_t limit = static_cast<uint64_t>(FFamily.RotateFileSizeKB) * 1024;
      FRotateAt = limit;
      if (!FBuffer) {
        FBufferCap = static_cast<size_t>(std::max(FFamily.BufferSize, 256));
        FBuffer = std::make_unique<char[]>(FBufferCap);
      }
      FState = State::Open;
      if (FFileSize == 0)
        WriteHeader(true);
      else if (FFamily.FileExistsAction == acAppendWithHeader)
        WriteHeader(false);
      return true;
    }
  }
  FState = State::Discarding;
  return false;
}

void TSynLog::WriteHeader(bool fresh) {
  const std::vector<std::string> lines = FFamily.HeaderLines();
  if (fresh) {
    for (const std::string& line : lines) {
      Append(line.data(), line.size());
      Append("\r", 1);
    }
    Append("\r", 1);
  } else {
    const std::string rule(50, '=');
    Stamp(sllNewRun);
    Append(rule.data(), rule.size());
    for (const std::string& line : lines) {
      Append("\r\n", 2);
      Stamp(sllNewRun);
      Append(line.data(), line.size());
    }
    Append("\r\n", 2);
  }
  if (!FFamily.BufferedWrites) WriteBuffer();
}

void TSynLog::Rotate() {
  CloseFile();
  const std::string live = FFileName;
  const std::string stem = WithoutExtension(live);
  auto archive = [&stem](uint32_t n) { return stem + "." + std::to_string(n) + ".synlz"; };
  const uint32_t kept = FFamily.RotateFileCount > 1 ? FFamily.RotateFileCount - 1 : 0;
  bool archived = false;
  if (kept > 0) {
    ::unlink(archive(kept).c_str());
    for (uint32_t n = kept - 1; n >= 1; --n)
      if (FileExists(archive(n))) ::rename(archive(n).c_str(), archive(n + 1).c_str());
    archived = SynLZCompressFile(live, archive(1));
    if (!archived) ::unlink(archive(1).c_str());
  }
  const uint64_t oldSize = FFileSize;
  // A file that could not be archived is kept and continued: deleting it would lose entries.
  if (archived || kept == 0) ::unlink(live.c_str());
  FState = State::NotOpened;
  if (OpenFile() && !archived && kept > 0)
    FRotateAt = oldSize + static_cast<uint64_t>(FFamily.RotateFileSizeKB) * 1024;
}

bool TSynLog::Begin(TSynLogInfo level) {
  if (!FFamily.Level().Has(level)) return false;
  if (FState == State::NotOpened) OpenFile();
  if (FState != State::Open) return false;
  Stamp(level);
  return true;
}

void TSynLog::End() {
  if (FFamily.EndOfLineCRLF)
    Append("\r\n", 2);
  else
    Append("\r", 1);
  if (!FFamily.BufferedWrites) WriteBuffer();
  if (FRotateAt > 0 && FFileSize + FBufferLen > FRotateAt) Rotate();
}

void TSynLog::Log(TSynLogInfo level, std::string_view text) {
  EntryGuard inside;
  std::lock_guard<std::mutex> guard(FLock);
  if (!Begin(level)) return;
  AppendText(text.data(), text.size());
  End();
}

void TSynLog::Log(TSynLogInfo level, const char* format, std::initializer_list<TSynLogArg> args) {
  EntryGuard inside;
  std::lock_guard<std::mutex> guard(FLock);
  if (!Begin(level)) return;
  const TSynLogArg* next = args.begin();
  const char* p = format ? format : "";
  for (;;) {
    const char* start = p;
    p = ::strchrnul(p, '%');
    AppendText(start, static_cast<size_t>(p - start));
    if (!*p) break;
    ++p;  // the "%"
    if (next != args.end()) AppendArg(*next++);
  }
  End();
}

void TSynLog::LogException(TSynLogInfo level, std::string_view className, std::string_view message,
                           const void* address, const void* const* trace, size_t traceCount) {
  EntryGuard inside;
  std::lock_guard<std::mutex> guard(FLock);
  if (!Begin(level)) return;
  AppendText(className.data(), className.size());
  if (level == sllException) {
    Append(" (\"", 3);
    AppendText(message.data(), message.size());
    Append("\")", 2);
  } else {
    Append(" (", 2);
    AppendText(message.data(), message.size());
    Append(")", 1);
  }
  char hex[24];
  const int n = std::snprintf(hex, sizeof hex, " at %012jX",
                              static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(address)));
  Append(hex, static_cast<size_t>(n));
  const size_t depth = std::min<size_t>(traceCount, FFamily.StackTraceLevel);
  if (depth > 0) Append(" stack trace", 12);
  for (size_t i = 0; i < depth; ++i) {
    const int k = std::snprintf(hex, sizeof hex, " %012jX",
                                static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(trace[i])));
    Append(hex, static_cast<size_t>(k));
  }
  if (FFamily.EndOfLineCRLF)
    Append("\r\n", 2);
  else
    Append("\r", 1);
  WriteBuffer();
  if (FRotateAt > 0 && FFileSize > FRotateAt) Rotate();
}

// ---------------------------------------------------------------------------------------------
// TSynLogFamily

TSynLogFamily::TSynLogFamily() {
  ExeFileName = ReadLink("/proc/self/exe");
  ComputerName = HostName();
  UserName = CurrentUserName();
  ModuleFileName = OwnLibraryPath();
  ModuleVersion = DOVRA_MODULE_VERSION;
  FDestinationPath = FolderOf(ExeFileName);
  FArchivePath = FDestinationPath;
}

TSynLogFamily::~TSynLogFamily() { Finish(); }

void TSynLogFamily::SetLevel(TSynLogInfos level) {
  if (level.Has(sllEnter)) level.Include(sllLeave);
  if (level.Has(sllLeave)) level.Include(sllEnter);
  FLevel = level;
  if ((level.Has(sllException) || level.Has(sllExceptionOS)) && !FListening) {
    Add();
    Listeners& listeners = ExceptionListeners();
    std::lock_guard<std::mutex> guard(listeners.lock);
    listeners.families.push_back(this);
    FListening = true;
  }
}

void TSynLogFamily::SetDestinationPath(const std::string& folder) {
  FDestinationPath = WithSeparator(folder);
}

void TSynLogFamily::SetArchivePath(const std::string& folder) {
  FArchivePath = WithSeparator(folder);
}

TSynLog& TSynLogFamily::Add() {
  if (!FLog) FLog = std::make_unique<TSynLog>(*this);
  return *FLog;
}

std::string TSynLogFamily::BuildFileName() const {
  std::string name;
  if (!CustomFileName.empty()) {
    name = CustomFileName;
  } else {
    name = WithoutExtension(NameOf(ExeFileName));
    if (IncludeComputerNameInFileName) name += " (" + ComputerName + ")";
  }
  if (!ModuleFileName.empty()) name += " " + NameOf(ModuleFileName);
  return FDestinationPath + name + DefaultExtension;
}

std::vector<std::string> TSynLogFamily::HeaderLines() const {
  struct stat st {};
  time_t built = 0;
  if (::stat(ModuleFileName.c_str(), &st) == 0)
    built = st.st_mtime;
  else if (::stat(ExeFileName.c_str(), &st) == 0)
    built = st.st_mtime;
  std::vector<std::string> lines;
  lines.push_back(Blanked(ExeFileName + " " + ModuleVersion + " (" +
                          LocalDateTime(built, "%Y-%m-%d %H:%M:%S") + ")"));
  lines.push_back(Blanked("Host=" + ComputerName + " User=" + UserName + " CPU=" + CpuText() +
                          " OS=" + OsText() +
                          " Wow64=0 Freq=1000000000 Instance=" + ModuleFileName));
  // Already one line: the text blanks control bytes inside values and keeps its TAB separators.
  lines.push_back("Environment variables=" + SynLogEnvironmentText(environ));
  lines.push_back("TSynLog 1.18.743 FTS3 " +
                  LocalDateTime(std::time(nullptr), "%Y-%m-%dT%H:%M:%S"));
  return lines;
}

void TSynLogFamily::Finish() {
  if (FFinished) return;
  FFinished = true;
  if (FListening) {
    Listeners& listeners = ExceptionListeners();
    std::lock_guard<std::mutex> guard(listeners.lock);
    std::erase(listeners.families, this);
    // The list lives in never-destroyed storage: give its memory back once nobody listens, or
    // unloading the module would strand it.
    if (listeners.families.empty()) std::vector<TSynLogFamily*>().swap(listeners.families);
    FListening = false;
  }
  FLog.reset();
  ArchiveOldFiles();
}

void TSynLogFamily::ArchiveOldFiles() {
  if (ArchiveAfterDays < 0 || !OnArchive || FDestinationPath.empty()) return;
  DIR* dir = ::opendir(FDestinationPath.c_str());
  if (!dir) return;
  const time_t limit = std::time(nullptr) - static_cast<time_t>(ArchiveAfterDays) * 86400;
  struct Old {
    std::string name;
    time_t written;
  };
  std::vector<Old> old;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.' || name.size() <= DefaultExtension.size() ||
        name.compare(name.size() - DefaultExtension.size(), std::string::npos, DefaultExtension) !=
            0)
      continue;
    struct stat st {};
    if (::stat((FDestinationPath + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_mtime <= limit) old.push_back({name, st.st_mtime});
  }
  ::closedir(dir);
  if (old.empty()) return;
  std::sort(old.begin(), old.end(), [](const Old& a, const Old& b) { return a.name < b.name; });
  const std::string logFolder = FArchivePath + "log/";
  if (!MakeFolder(logFolder)) return;
  const std::string dest = logFolder + LocalDateTime(old.front().written, "%Y%m") + "/";
  for (const Old& file : old) OnArchive(FDestinationPath + file.name, dest);
  OnArchive(std::string(), dest);
}

// ---------------------------------------------------------------------------------------------

void SynLogNotifyException(TSynLogInfo level, std::string_view className, std::string_view message,
                           const void* address, const void* const* trace, size_t traceCount) {
  if (tInsideEntry) return;
  Listeners& listeners = ExceptionListeners();
  std::lock_guard<std::mutex> guard(listeners.lock);
  for (TSynLogFamily* family : listeners.families)
    if (family->Level().Has(level))
      family->Add().LogException(level, className, message, address, trace, traceCount);
}
