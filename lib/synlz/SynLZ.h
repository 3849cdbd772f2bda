// The archive chunk codec: one-pass compression of a block of bytes, the checked decompressor
// for untrusted blocks, and the 32-bit hash stored in archive chunk headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace SynLZ {

// Largest block the length prefix can describe (and the decoder accepts).
inline constexpr size_t kMaxBlockSize = 0x7FFFFFFFu;

// Outcome of decoding one compressed block. Every value other than Ok means the block is
// corrupt or does not fit the caller's buffer; nothing outside the buffers was touched.
enum class Status {
  Ok,
  TruncatedPrefix,   // fewer bytes than the length prefix needs
  OutputTooSmall,    // the prefix announces more bytes than the output buffer holds
  TruncatedControl,  // a control word is cut off
  TruncatedLiteral,  // literal bytes run past the end of the input
  TruncatedMatch,    // a match code is cut off
  BadMatchSource,    // a match names a table entry that is unset or too close
  BadMatchPlace,     // a match where the compressor never puts one (block tail)
  BadMatchLength,    // a match longer than the bytes left in the block
  TrailingBytes,     // input left over after the last item
  StrayControlBits,  // control bits set for items that do not exist
};

// Short English text for a status, e.g. "literal bytes run past the end of the input".
const char* StatusText(Status status);

// Where a decode stopped: the status, the input offset of the item or word that failed and how
// many output bytes were produced before it.
struct TDecodeResult {
  Status status = Status::Ok;
  size_t inputOffset = 0;
  size_t outputOffset = 0;
  bool ok() const { return status == Status::Ok; }
};

// Upper bound of the compressed size of n input bytes (every byte a literal).
constexpr size_t CompressBound(size_t n) { return 4 + n + 4 * (n / 32 + 1); }

// Compresses n bytes (n <= kMaxBlockSize) from src into dst, which must hold CompressBound(n)
// bytes. Returns the number of bytes written. Deterministic: equal input gives equal output.
size_t Compress(const void* src, size_t n, void* dst);

// Reads the uncompressed length announced by a block's prefix. False when the prefix is cut off.
bool DecompressedSize(const void* src, size_t srcLen, size_t& size, size_t* prefixLen = nullptr);

// Decodes a whole block of srcLen bytes into dst (capacity dstCap). On success the result's
// outputOffset is the number of bytes written, which equals DecompressedSize.
TDecodeResult Decompress(const void* src, size_t srcLen, void* dst, size_t dstCap);

// The 32-bit hash of n bytes written into archive chunk headers (0 for no data).
uint32_t Hash32(const void* data, size_t n);

// The same hash over data that arrives in pieces of any length: equal to Hash32 of the pieces
// put together.
class THash32Stream {
 public:
  void Add(const void* data, size_t n);
  uint32_t Value() const;

 private:
  uint32_t s1_ = 0;
  uint32_t s2_ = 0;
  uint8_t carry_[4] = {};  // the bytes of a word not yet complete
  size_t carried_ = 0;
};

// Decoding a block too large to hold whole, output and input alike. The block's srcLen bytes
// are asked for through read (exactly the count given, in order) and the output is handed to
// emit in pieces of at most kStreamPiece bytes; only a window of recent output is kept, and for
// each table entry that points before it the bytes a match can still copy from there (a match
// copies at most 273 bytes from one entry), so memory stays a few MiB whatever the block holds.
// The checks are those of Decompress, in the same order, with the same offsets; only
// OutputTooSmall cannot happen, as nothing is sized from the announced length.
inline constexpr size_t kStreamPiece = size_t(1) << 20;
struct TStreamResult {
  TDecodeResult decode;
  bool stopped = false;  // read or emit returned false: decoding ended there, decode says nothing
};
using TStreamRead = std::function<bool(uint8_t* buf, size_t n)>;
using TStreamEmit = std::function<bool(const uint8_t* data, size_t n)>;
TStreamResult DecompressStream(size_t srcLen, const TStreamRead& read, const TStreamEmit& emit);

}  // namespace SynLZ
