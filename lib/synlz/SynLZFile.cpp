#include "lib/synlz/SynLZFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/synlz/SynLZ.h"

namespace fs = std::filesystem;

namespace {

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%08X", v);
  return buf;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

std::string ErrnoText(int err) { return std::strerror(err); }

uint32_t GetLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// True when a chunk's hash is the one its header gives; otherwise error says which one differs.
bool HashMatches(const char* which, uint32_t got, uint32_t header, const std::string& where,
                 std::string& error) {
  if (got == header) return true;
  error = where + which + " hash " + Hex32(got) + " does not match header " + Hex32(header);
  return false;
}

// Clamps a requested chunk size to what the format allows; 0 is refused by the callers.
size_t EffectiveChunk(size_t chunkSize) {
  return chunkSize > kSynLZMaxChunk ? kSynLZMaxChunk : chunkSize;
}

// Compresses one chunk into out (header then block), reusing out's storage.
void EncodeChunk(const uint8_t* data, size_t n, uint32_t magic, std::vector<uint8_t>& out) {
  out.resize(kSynLZChunkHeaderSize + SynLZ::CompressBound(n));
  uint8_t* block = out.data() + kSynLZChunkHeaderSize;
  const size_t packed = SynLZ::Compress(data, n, block);
  PutLE32(out.data(), magic);
  PutLE32(out.data() + 4, uint32_t(packed));
  PutLE32(out.data() + 8, SynLZ::Hash32(block, packed));
  PutLE32(out.data() + 12, uint32_t(n));
  PutLE32(out.data() + 16, SynLZ::Hash32(data, n));
  out.resize(kSynLZChunkHeaderSize + packed);
}

// Byte source for the chunk reader: a file or a block of memory, with the bytes left known up
// front so that no header can make the reader allocate more than the input holds. A chunk too
// large to hold is read twice (checked, then handed on), so a source can go back to an offset.
class TMemorySource {
 public:
  explicit TMemorySource(std::string_view bytes) : bytes_(bytes) {}
  uint64_t Remaining() const { return bytes_.size() - pos_; }
  uint64_t Offset() const { return pos_; }
  bool Seek(uint64_t offset, std::string&) {
    pos_ = size_t(offset);
    return true;
  }
  bool Read(uint8_t* buf, size_t n, std::string&) {
    std::memcpy(buf, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

class TFileSource {
 public:
  TFileSource(std::FILE* f, uint64_t size) : f_(f), size_(size) {}
  uint64_t Remaining() const { return size_ - pos_; }
  uint64_t Offset() const { return pos_; }
  bool Seek(uint64_t offset, std::string& error) {
    if (::fseeko(f_, off_t(offset), SEEK_SET) != 0) {
      error = "cannot go back to offset " + std::to_string(offset) + ": " + ErrnoText(errno);
      return false;
    }
    pos_ = offset;
    return true;
  }
  bool Read(uint8_t* buf, size_t n, std::string& error) {
    if (std::fread(buf, 1, n, f_) != n) {
      error = std::ferror(f_) ? "read error: " + ErrnoText(errno) : "file shrank while reading";
      return false;
    }
    pos_ += n;
    return true;
  }

 private:
  std::FILE* f_;
  uint64_t size_;
  uint64_t pos_ = 0;
};

// Chunks up to this size are read, decoded and handed on whole (the fast decoder); larger ones,
// up to the format's 128 MiB, are streamed, so that reading any archive, well-formed or crafted,
// takes a few MiB whatever its headers announce.
constexpr size_t kWholeChunk = size_t(4) << 20;

// Checks one streamed chunk whose header has been read (src stands at its block), then hands its
// bytes on in pieces: the block is decoded once for the checks, in the order of a whole chunk's,
// and once more for sink. False with error (without the chunk's place) on any failure.
template <class Source, class Sink>
bool StreamChunk(Source& src, uint32_t packedSize, uint32_t packedHash, uint32_t plainSize,
                 uint32_t plainHash, uint64_t offset, std::string& error, Sink& sink) {
  const uint64_t block = src.Offset();
  uint8_t prefix[4];
  const size_t prefixLen = packedSize < 4 ? packedSize : 4;
  size_t announced = 0;
  if (!src.Read(prefix, prefixLen, error) || !src.Seek(block, error)) return false;
  const bool prefixOk =
      SynLZ::DecompressedSize(prefix, prefixLen, announced) && announced == plainSize;

  std::string ioError;
  uint64_t read = 0;
  SynLZ::THash32Stream packedSum, plainSum;
  const SynLZ::TStreamRead readSummed = [&](uint8_t* buf, size_t n) {
    if (!src.Read(buf, n, ioError)) return false;
    packedSum.Add(buf, n);
    read += n;
    return true;
  };
  SynLZ::TStreamResult checked;
  if (prefixOk) {
    checked = SynLZ::DecompressStream(packedSize, readSummed, [&](const uint8_t* data, size_t n) {
      plainSum.Add(data, n);
      return true;
    });
  }
  // The rest of the block still counts for its hash, which is checked first.
  std::vector<uint8_t> rest;
  while (ioError.empty() && read < packedSize) {
    rest.resize(size_t(std::min<uint64_t>(packedSize - read, SynLZ::kStreamPiece)));
    readSummed(rest.data(), rest.size());
  }
  if (!ioError.empty()) {
    error = ioError;
    return false;
  }
  std::string where;
  if (!HashMatches("compressed", packedSum.Value(), packedHash, where, error)) return false;
  if (!prefixOk) {
    error = "block length prefix " + std::to_string(announced) +
            " does not match header uncompressed size " + std::to_string(plainSize);
    return false;
  }
  const SynLZ::TDecodeResult& r = checked.decode;
  if (!r.ok()) {
    error = "compressed data corrupt at block byte " + std::to_string(r.inputOffset) +
            " (file offset " + std::to_string(offset + kSynLZChunkHeaderSize + r.inputOffset) +
            "): " + SynLZ::StatusText(r.status);
    return false;
  }
  if (!HashMatches("uncompressed", plainSum.Value(), plainHash, where, error)) return false;

  if (!src.Seek(block, error)) return false;
  SynLZ::THash32Stream again;
  std::string sinkError;
  const SynLZ::TStreamResult handed = SynLZ::DecompressStream(
      packedSize, [&](uint8_t* buf, size_t n) { return src.Read(buf, n, ioError); },
      [&](const uint8_t* data, size_t n) {
        again.Add(data, n);
        return sink(data, n, sinkError);
      });
  if (handed.stopped) {
    error = !sinkError.empty() ? sinkError : !ioError.empty() ? ioError : "the reader stopped";
    return false;
  }
  if (!handed.decode.ok() || again.Value() != plainHash) {
    error = "the file changed while it was read";
    return false;
  }
  return true;
}

// Walks every chunk of an archive, checking it fully before handing its bytes to sink.
template <class Source, class Sink>
bool ReadChunks(Source& src, uint32_t magic, std::string& error, Sink&& sink,
                size_t* chunks = nullptr) {
  if (chunks) *chunks = 0;
  std::vector<uint8_t> packed;
  std::vector<uint8_t> plain;
  uint64_t offset = 0;
  for (unsigned index = 1; src.Remaining() > 0; ++index) {
    const std::string where =
        "chunk " + std::to_string(index) + " at offset " + std::to_string(offset) + ": ";
    const uint64_t left = src.Remaining();
    if (left < kSynLZChunkHeaderSize) {
      error = where + "header cut off (" + std::to_string(left) + " of " +
              std::to_string(kSynLZChunkHeaderSize) + " bytes)";
      return false;
    }
    uint8_t header[kSynLZChunkHeaderSize];
    if (!src.Read(header, sizeof(header), error)) {
      error = where + error;
      return false;
    }
    const uint32_t gotMagic = GetLE32(header);
    const uint32_t packedSize = GetLE32(header + 4);
    const uint32_t packedHash = GetLE32(header + 8);
    const uint32_t plainSize = GetLE32(header + 12);
    const uint32_t plainHash = GetLE32(header + 16);
    if (gotMagic != magic) {
      error = where + "magic " + Hex32(gotMagic) + " does not match " + Hex32(magic);
      return false;
    }
    if (plainSize > kSynLZMaxChunk) {
      error = where + "uncompressed size " + std::to_string(plainSize) + " exceeds the " +
              std::to_string(kSynLZMaxChunk) + "-byte chunk limit";
      return false;
    }
    if (packedSize < 2 || packedSize > SynLZ::CompressBound(plainSize)) {
      error = where + "compressed size " + std::to_string(packedSize) + " is impossible for " +
              std::to_string(plainSize) + " uncompressed bytes";
      return false;
    }
    if (packedSize > src.Remaining()) {
      error = where + "compressed size " + std::to_string(packedSize) +
              " runs past the end of the data (" + std::to_string(src.Remaining()) + " bytes left)";
      return false;
    }
    if (plainSize > kWholeChunk) {
      if (!StreamChunk(src, packedSize, packedHash, plainSize, plainHash, offset, error, sink)) {
        error = where + error;
        return false;
      }
      offset += kSynLZChunkHeaderSize + packedSize;
      if (chunks) ++*chunks;
      continue;
    }
    packed.resize(packedSize);
    if (!src.Read(packed.data(), packedSize, error)) {
      error = where + error;
      return false;
    }
    if (!HashMatches("compressed", SynLZ::Hash32(packed.data(), packedSize), packedHash, where,
                     error))
      return false;
    size_t announced = 0;
    if (!SynLZ::DecompressedSize(packed.data(), packedSize, announced) || announced != plainSize) {
      error = where + "block length prefix " + std::to_string(announced) +
              " does not match header uncompressed size " + std::to_string(plainSize);
      return false;
    }
    plain.resize(plainSize);
    const SynLZ::TDecodeResult r =
        SynLZ::Decompress(packed.data(), packedSize, plain.data(), plain.size());
    if (!r.ok()) {
      error = where + "compressed data corrupt at block byte " + std::to_string(r.inputOffset) +
              " (file offset " + std::to_string(offset + kSynLZChunkHeaderSize + r.inputOffset) +
              "): " + SynLZ::StatusText(r.status);
      return false;
    }
    if (!HashMatches("uncompressed", SynLZ::Hash32(plain.data(), plainSize), plainHash, where,
                     error))
      return false;
    if (!sink(plain.data(), plain.size(), error)) {
      error = where + error;
      return false;
    }
    offset += kSynLZChunkHeaderSize + packedSize;
    if (chunks) ++*chunks;
  }
  return true;
}

// What a conversion knows of its source once it is open.
struct TSourceFacts {
  uint64_t size = 0;
  mode_t mode = 0;
  timespec modified{};
};

enum class Links { Follow, Refuse };

// Opens a regular file for reading; error says which file and why not. With Links::Refuse a
// symbolic link is refused rather than followed: an archive is made of the file that stands
// under the name, never of one a link planted there points to.
TFilePtr OpenForReading(const std::string& path, Links links, TSourceFacts& facts,
                        std::string& error) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (links == Links::Refuse ? O_NOFOLLOW : 0);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT)
      error = "cannot open " + Quoted(path) + ": no such file";
    else if (err == ELOOP && links == Links::Refuse)
      error = "cannot open " + Quoted(path) + ": a symbolic link, not a regular file";
    else
      error = "cannot open " + Quoted(path) + ": " + ErrnoText(err);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "cannot open " + Quoted(path) + ": not a regular file";
    ::close(fd);
    return nullptr;
  }
  // Reading blocks as usual from here on: only the open had to be kept from waiting on a pipe.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  TFilePtr f(::fdopen(fd, "rb"));
  if (!f) {
    error = "cannot open " + Quoted(path) + ": " + ErrnoText(errno);
    ::close(fd);
    return nullptr;
  }
  facts.size = static_cast<uint64_t>(st.st_size);
  facts.mode = st.st_mode & 07777;
  facts.modified = st.st_mtim;
  return f;
}

// A file written under a temporary name of its own beside its destination and renamed into
// place by Commit(); dropped again if never committed, so a failure leaves the destination
// untouched. The temporary file is created afresh (mkstemp: exclusive, never through a link), so
// nothing planted beside the destination can make the writer overwrite another file.
class TPendingFile {
 public:
  // mode: the permission bits the finished file gets.
  TPendingFile(const std::string& dest, mode_t mode)
      : dest_(dest), temp_(dest + ".part" + std::to_string(::getpid()) + "-XXXXXX"), mode_(mode) {}
  // Also runs while a failure unwinds (no memory for the chunk buffers): nothing here may need
  // memory, or a second failure would end the process.
  ~TPendingFile() {
    file_.reset();
    if (created_ && !committed_) ::unlink(temp_.c_str());
  }
  TPendingFile(const TPendingFile&) = delete;
  TPendingFile& operator=(const TPendingFile&) = delete;

  bool Open(std::string& error) {
    const int fd = ::mkostemp(temp_.data(), O_CLOEXEC);
    if (fd < 0) {
      error = "cannot create " + Quoted(temp_) + ": " + ErrnoText(errno);
      return false;
    }
    created_ = true;
    if (::fchmod(fd, mode_) != 0) {
      error = "cannot set the permissions of " + Quoted(temp_) + ": " + ErrnoText(errno);
      ::close(fd);
      return false;
    }
    file_.reset(::fdopen(fd, "wb"));
    if (!file_) {
      error = "cannot create " + Quoted(temp_) + ": " + ErrnoText(errno);
      ::close(fd);
    }
    return file_ != nullptr;
  }
  bool Write(const void* data, size_t n, std::string& error) {
    if (n != 0 && std::fwrite(data, 1, n, file_.get()) != n) {
      error = "cannot write " + Quoted(temp_) + ": " + ErrnoText(errno);
      return false;
    }
    return true;
  }
  // Flushes, optionally stamps the modification time, closes; renames over dest.
  bool Commit(const timespec* mtime, std::string& error) {
    std::FILE* f = file_.release();
    if (std::fflush(f) != 0 || std::ferror(f)) {
      error = "cannot write " + Quoted(temp_) + ": " + ErrnoText(errno);
      std::fclose(f);
      return false;
    }
    if (mtime) {
      const timespec times[2] = {{0, UTIME_OMIT}, *mtime};
      if (::futimens(::fileno(f), times) != 0) {
        error = "cannot set the modification time of " + Quoted(dest_) + ": " + ErrnoText(errno);
        std::fclose(f);
        return false;
      }
    }
    if (std::fclose(f) != 0) {
      error = "cannot close " + Quoted(temp_) + ": " + ErrnoText(errno);
      return false;
    }
    if (::rename(temp_.c_str(), dest_.c_str()) != 0) {
      error = "cannot rename " + Quoted(temp_) + " to " + Quoted(dest_) + ": " + ErrnoText(errno);
      return false;
    }
    committed_ = true;
    return true;
  }

 private:
  std::string dest_;
  std::string temp_;
  mode_t mode_;
  TFilePtr file_;
  bool created_ = false;
  bool committed_ = false;
};

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::exists(b, ec) && fs::equivalent(a, b, ec) && !ec;
}

// The source of a conversion, refused when it is the target itself (writing the target would
// destroy what is being read).
TFilePtr OpenSourceFor(const std::string& source, const std::string& dest, Links links,
                       TSourceFacts& facts, std::string& error) {
  TFilePtr in = OpenForReading(source, links, facts, error);
  if (in && SameFile(source, dest)) {
    error = "source and target " + Quoted(dest) + " are the same file";
    in.reset();
  }
  return in;
}

// Logs and archives hold what the till did and the service answered: readable by the owner's
// group at most, and never by more than the file they were made from.
mode_t OutputMode(const TSourceFacts& source) { return source.mode & 0640; }

}  // namespace

bool SynLZCompressFile(const std::string& source, const std::string& dest, std::string& error,
                       uint32_t magic, size_t chunkSize) {
  if (chunkSize == 0) {
    error = "chunk size 0 is not allowed";
    return false;
  }
  TSourceFacts facts;
  TFilePtr in = OpenSourceFor(source, dest, Links::Refuse, facts, error);
  if (!in) return false;
  const uint64_t size = facts.size;
  TPendingFile out(dest, OutputMode(facts));
  if (!out.Open(error)) return false;

  const size_t chunk = EffectiveChunk(chunkSize);
  std::vector<uint8_t> plain(size < chunk ? size_t(size) : chunk);
  std::vector<uint8_t> packed;
  for (;;) {
    const size_t got = std::fread(plain.data(), 1, plain.size(), in.get());
    if (got < plain.size() && std::ferror(in.get())) {
      error = "cannot read " + Quoted(source) + ": " + ErrnoText(errno);
      return false;
    }
    if (got == 0) break;
    EncodeChunk(plain.data(), got, magic, packed);
    if (!out.Write(packed.data(), packed.size(), error)) return false;
    if (got < plain.size()) break;
  }
  // A log still being appended to may have grown; the archive holds what was read.
  return out.Commit(&facts.modified, error);
}

bool SynLZCompressFile(const std::string& source, const std::string& dest, uint32_t magic,
                       size_t chunkSize) {
  std::string error;
  return SynLZCompressFile(source, dest, error, magic, chunkSize);
}

std::string SynLZCompressToString(std::string_view data, uint32_t magic, size_t chunkSize) {
  const size_t chunk = EffectiveChunk(chunkSize == 0 ? kSynLZMaxChunk : chunkSize);
  std::string out;
  std::vector<uint8_t> packed;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t done = 0; done < data.size();) {
    const size_t n = data.size() - done < chunk ? data.size() - done : chunk;
    EncodeChunk(p + done, n, magic, packed);
    out.append(reinterpret_cast<const char*>(packed.data()), packed.size());
    done += n;
  }
  return out;
}

bool SynLZDecompressToString(std::string_view bytes, std::string& out, std::string& error,
                             uint32_t magic) {
  out.clear();
  TMemorySource src(bytes);
  return ReadChunks(src, magic, error, [&](const uint8_t* data, size_t n, std::string&) {
    out.append(reinterpret_cast<const char*>(data), n);
    return true;
  });
}

bool SynLZDecompressFile(const std::string& source, const std::string& dest, std::string& error,
                         uint32_t magic) {
  TSourceFacts facts;
  TFilePtr in = OpenSourceFor(source, dest, Links::Follow, facts, error);
  if (!in) return false;
  TPendingFile out(dest, OutputMode(facts));
  if (!out.Open(error)) return false;
  TFileSource src(in.get(), facts.size);
  const bool ok = ReadChunks(src, magic, error, [&](const uint8_t* data, size_t n, std::string& e) {
    return out.Write(data, n, e);
  });
  if (!ok) {
    error = Quoted(source) + ": " + error;
    return false;
  }
  return out.Commit(nullptr, error);
}

bool SynLZVerifyFile(const std::string& path, std::string& error, uint32_t magic, size_t* chunks) {
  TSourceFacts facts;
  TFilePtr in = OpenForReading(path, Links::Follow, facts, error);
  if (!in) return false;
  TFileSource src(in.get(), facts.size);
  const bool ok = ReadChunks(
      src, magic, error, [](const uint8_t*, size_t, std::string&) { return true; }, chunks);
  if (!ok) error = Quoted(path) + ": " + error;
  return ok;
}

bool SynLZReadDescriptor(int fd, const std::string& path, const TSynLZSink& sink,
                         std::string& error, uint32_t magic) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "cannot open " + Quoted(path) + ": not a regular file";
    return false;
  }
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) {
    error = "cannot open " + Quoted(path) + ": " + ErrnoText(errno);
    return false;
  }
  TFilePtr in(::fdopen(own, "rb"));
  if (!in) {
    error = "cannot open " + Quoted(path) + ": " + ErrnoText(errno);
    ::close(own);
    return false;
  }
  TFileSource src(in.get(), static_cast<uint64_t>(st.st_size));
  const bool ok = ReadChunks(src, magic, error, sink);
  if (!ok) error = Quoted(path) + ": " + error;
  return ok;
}

bool SynLZReadFile(const std::string& path, const TSynLZSink& sink, std::string& error,
                   uint32_t magic) {
  TSourceFacts facts;
  TFilePtr in = OpenForReading(path, Links::Follow, facts, error);
  if (!in) return false;
  TFileSource src(in.get(), facts.size);
  const bool ok = ReadChunks(src, magic, error, sink);
  if (!ok) error = Quoted(path) + ": " + error;
  return ok;
}
