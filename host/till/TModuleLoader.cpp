#include "host/till/TModuleLoader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "lib/common/OwnedFile.h"

namespace {

constexpr off_t kLargestModule = off_t(512) << 20;

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
using TElfHeader = Elf64_Ehdr;
using TElfSegment = Elf64_Phdr;
constexpr unsigned char kElfClass = ELFCLASS64;
#else
using TElfHeader = Elf32_Ehdr;
using TElfSegment = Elf32_Phdr;
constexpr unsigned char kElfClass = ELFCLASS32;
#endif

bool ReadAt(int fd, void* into, size_t n, off_t at) {
  return ::pread(fd, into, n, at) == static_cast<ssize_t>(n);
}

std::string ElfRefusal(int fd, off_t size) {
  TElfHeader header{};
  if (size < static_cast<off_t>(sizeof header) || !ReadAt(fd, &header, sizeof header, 0) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return "it is not a shared library (no ELF header)";
  if (header.e_ident[EI_CLASS] != kElfClass || header.e_type != ET_DYN)
    return "it is not a shared library of this machine's kind";
  if (header.e_phentsize != sizeof(TElfSegment) || header.e_phnum == 0 ||
      header.e_phoff + uint64_t(header.e_phnum) * sizeof(TElfSegment) > uint64_t(size))
    return "its ELF header is damaged (the segment table lies outside the file)";
  std::vector<TElfSegment> segments(header.e_phnum);
  if (!ReadAt(fd, segments.data(), segments.size() * sizeof(TElfSegment),
              static_cast<off_t>(header.e_phoff)))
    return "its segment table cannot be read";
  for (const TElfSegment& s : segments)
    if (s.p_type == PT_LOAD && uint64_t(s.p_offset) + s.p_filesz > uint64_t(size))
      return "it is cut off: a segment ends at byte " + std::to_string(s.p_offset + s.p_filesz) +
             " of a file of " + std::to_string(size) + " bytes (an interrupted copy?)";
  return {};
}

// What lets another user put other code under path: the file or a folder above it writable by
// group or others, or owned by someone other than root and this user.
std::string OthersCanReplace(const std::filesystem::path& file) {
  std::vector<std::filesystem::path> checked{file, file.parent_path()};
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(file, ec);
  if (!ec && real != file) {
    checked.push_back(real);
    checked.push_back(real.parent_path());
  }
  std::string found;
  for (const std::filesystem::path& p : checked) {
    struct stat st {};
    if (p.empty() || ::lstat(p.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
    const bool writable = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool stranger = st.st_uid != 0 && st.st_uid != ::geteuid();
    if (!writable && !stranger) continue;
    if (!found.empty()) found += "; ";
    found += "'" + p.string() + "' is " +
             (writable ? "writable by others (mode " + ModeText(st.st_mode) + ")" : "") +
             (writable && stranger ? " and " : "") +
             (stranger ? "owned by user " + std::to_string(st.st_uid) : "");
  }
  if (found.empty()) return {};
  return "the module " + file.string() + " could be replaced by another user: " + found +
         "; install it owned by root or this user, mode 0755 or tighter";
}

}  // namespace

std::string ModuleFileRefusal(const std::string& path, std::string& warning) {
  warning.clear();
  const TFileHandle fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::strerror(errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  if (st.st_size > kLargestModule)
    return "it is " + std::to_string(st.st_size) + " bytes, more than a module can be";
  std::string refusal = ElfRefusal(fd.Get(), st.st_size);
  if (refusal.empty()) warning = OthersCanReplace(std::filesystem::absolute(path));
  return refusal;
}

TModuleLoader::~TModuleLoader() { Unload(); }

bool TModuleLoader::Load(const std::string& path, std::string& error) {
  Unload();
  const std::string refusal = ModuleFileRefusal(path, FWarning);
  if (!refusal.empty()) {
    error = "cannot load module '" + path + "': " + refusal;
    return false;
  }
  // RTLD_LOCAL: the module's symbols stay its own; it exports only its two entry points anyway.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = "cannot load module '" + path + "': " + (why ? why : "unknown reason");
    return false;
  }
  auto init = reinterpret_cast<void (*)(IServiceRegistry*)>(dlsym(handle, "InitModule"));
  auto final = reinterpret_cast<void (*)()>(dlsym(handle, "FinalModule"));
  if (!init || !final) {
    error = "'" + path + "' is not a Sarn module: it does not export " +
            (!init ? "InitModule" : "FinalModule");
    dlclose(handle);
    return false;
  }
  FHandle = handle;
  FPath = path;
  FInit = init;
  FFinal = final;
  return true;
}

void TModuleLoader::Init(IServiceRegistry* registry) {
  if (!FInit) return;
  FInit(registry);
  FInitialised = true;
}

void TModuleLoader::Unload() {
  if (FInitialised && FFinal) FFinal();
  FInitialised = false;
  if (FHandle) dlclose(FHandle);
  FHandle = nullptr;
  FInit = nullptr;
  FFinal = nullptr;
}
