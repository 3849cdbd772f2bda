// The ".synlz" archive file: a sequence of chunks, each a 20-byte header (magic, compressed size
// and hash, uncompressed size and hash) followed by one compressed block. Writing, reading back
// and verification with messages that name the failing chunk, its offset and what did not match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

inline constexpr uint32_t kSynLZMagic = 0xABA51051u;
// Largest chunk the writer makes and the reader accepts (128 MiB).
inline constexpr size_t kSynLZMaxChunk = 134217728;
inline constexpr size_t kSynLZChunkHeaderSize = 20;

// Compresses the file source into dest as chunks of at most chunkSize bytes and gives dest the
// source's modification time. The source must be a regular file standing under its name: a
// symbolic link is refused, not followed. False when the source is missing or on any error; dest
// is then left as it was (the archive is written to a temporary file of its own beside it,
// created exclusively, and renamed into place when complete).
//
// The files both conversions write get the permission bits rw-r----- at most, and none the
// source lacks.
bool SynLZCompressFile(const std::string& source, const std::string& dest,
                       uint32_t magic = kSynLZMagic, size_t chunkSize = kSynLZMaxChunk);
// The same, with a message saying what failed.
bool SynLZCompressFile(const std::string& source, const std::string& dest, std::string& error,
                       uint32_t magic = kSynLZMagic, size_t chunkSize = kSynLZMaxChunk);

// Decompresses the archive source into dest after checking every chunk. On failure dest is left
// as it was and error names the chunk, its offset and what did not match.
bool SynLZDecompressFile(const std::string& source, const std::string& dest, std::string& error,
                         uint32_t magic = kSynLZMagic);

// Reads the whole archive and checks sizes, both hashes and the compressed data of every chunk;
// chunks, when given, gets how many there are (0 for an empty file, which the format allows).
bool SynLZVerifyFile(const std::string& path, std::string& error, uint32_t magic = kSynLZMagic,
                     size_t* chunks = nullptr);

// Reads the archive at path and hands its bytes to sink in order, each chunk only once all of it
// has been checked, in pieces of at most 4 MiB. Memory stays a few MiB whatever the size of the
// archive or what its headers announce. False when the file cannot be read, when a chunk is
// corrupt (error names the file, the chunk, its offset and what did not match; the chunks before
// it were handed on) or when sink returns false (its error, after the file and the chunk).
using TSynLZSink = std::function<bool(const uint8_t* data, size_t n, std::string& error)>;
bool SynLZReadFile(const std::string& path, const TSynLZSink& sink, std::string& error,
                   uint32_t magic = kSynLZMagic);

// The same for an archive already open as fd (read from its start; path names it in messages):
// for callers that opened it without following links.
bool SynLZReadDescriptor(int fd, const std::string& path, const TSynLZSink& sink,
                         std::string& error, uint32_t magic = kSynLZMagic);

// In-memory forms of the same format (tests, fuzzing).
bool SynLZDecompressToString(std::string_view bytes, std::string& out, std::string& error,
                             uint32_t magic = kSynLZMagic);
std::string SynLZCompressToString(std::string_view data, uint32_t magic = kSynLZMagic,
                                  size_t chunkSize = kSynLZMaxChunk);
