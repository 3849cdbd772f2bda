// Rotation by size into numbered archives, and archiving of old log files when the family ends.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

#include "lib/common/LocalTime.h"
#include "lib/common/PathParts.h"
#include "lib/synlz/SynLZFile.h"
#include "module/log/SynLog.h"
#include "module/log/SynLogInternal.h"

namespace {

struct TFolderCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool EventArchiveSynLZ(const std::string& file, const std::string& destFolder) {
  using namespace SynLogInternal;
  if (file.empty() || !IsRegularFile(file)) return false;
  const std::string folder = WithSeparator(destFolder);
  // The month's folder and the log/ above it are the log's own; a link at either is not
  // followed: the old log then stays where it is, unarchived.
  if (!MakeOwnFolder(FolderOf(folder.substr(0, folder.size() - 1))) || !MakeOwnFolder(folder))
    return false;
  // An archive of the same name from an earlier pass is never overwritten, nor is anything else
  // standing under that name (a link included).
  std::string dest = folder + NameOf(file) + ".synlz";
  for (int n = 1; NameTaken(dest); ++n)
    dest = folder + NameOf(file) + "." + std::to_string(n) + ".synlz";
  if (!SynLZCompressFile(file, dest)) {
    ::unlink(dest.c_str());
    return false;
  }
  ::unlink(file.c_str());
  return true;
}

void TSynLog::Rotate() {
  using SynLogInternal::FileExists;
  // The names first: once the file is closed, a failure must not leave the logger pointing at a
  // closed descriptor.
  const std::string live = FFileName;
  const std::string stem = WithoutExtension(live);
  const uint32_t kept = FFamily.RotateFileCount > 1 ? FFamily.RotateFileCount - 1 : 0;
  std::vector<std::string> archive(kept + 1);  // archive[n]: stem.n.synlz
  for (uint32_t n = 1; n <= kept; ++n) archive[n] = stem + "." + std::to_string(n) + ".synlz";

  CloseFile();
  FState = State::NotOpened;
  bool archived = false;
  if (kept > 0) {
    ::unlink(archive[kept].c_str());
    for (uint32_t n = kept - 1; n >= 1; --n)
      if (FileExists(archive[n])) ::rename(archive[n].c_str(), archive[n + 1].c_str());
    try {
      archived = SynLZCompressFile(live, archive[1]);
    } catch (...) {
      // Not archived (no memory for the chunk buffers): kept and continued like any failure.
    }
    if (!archived) ::unlink(archive[1].c_str());
  }
  const uint64_t oldSize = FFileSize;
  // A file that could not be archived is kept and continued: deleting it would lose entries.
  if (archived || kept == 0) ::unlink(live.c_str());
  if (OpenFile() && !archived && kept > 0)
    FRotateAt = oldSize + static_cast<uint64_t>(FFamily.RotateFileSizeKB) * 1024;
}

void TSynLogFamily::ArchiveOldFiles() {
  if (ArchiveAfterDays < 0 || !OnArchive || FDestinationPath.empty()) return;
  const std::unique_ptr<DIR, TFolderCloser> dir(::opendir(FDestinationPath.c_str()));
  if (!dir) return;
  const time_t limit = std::time(nullptr) - static_cast<time_t>(ArchiveAfterDays) * 86400;
  struct Old {
    std::string name;
    time_t written;
  };
  std::vector<Old> old;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.' || name.size() <= DefaultExtension.size() ||
        name.compare(name.size() - DefaultExtension.size(), std::string::npos, DefaultExtension) !=
            0)
      continue;
    // Regular files only: a link named like a log would have the archive copy whatever it
    // points to into a file others may read.
    struct stat st {};
    if (::lstat((FDestinationPath + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_mtime <= limit) old.push_back({name, st.st_mtime});
  }
  if (old.empty()) return;
  std::sort(old.begin(), old.end(), [](const Old& a, const Old& b) { return a.name < b.name; });
  const std::string logFolder = FArchivePath + "log/";
  if (!SynLogInternal::MakeOwnFolder(logFolder)) return;
  const std::string dest =
      logFolder + FormatLocalTime("%Y%m", LocalTimeAt(old.front().written)) + "/";
  for (const Old& file : old) OnArchive(FDestinationPath + file.name, dest);
  OnArchive(std::string(), dest);
}
