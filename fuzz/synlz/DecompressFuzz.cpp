// Arbitrary bytes as a compressed block and as an archive file: the decoder must reject or
// decode them without touching memory outside its buffers, and the streamed decoder (used for
// chunks too large to hold) must come to the same verdict, offset and output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lib/synlz/SynLZ.h"
#include "lib/synlz/SynLZFile.h"

namespace {

void SameAsStreamed(const uint8_t* block, size_t size, const SynLZ::TDecodeResult& whole,
                    const std::vector<uint8_t>& out) {
  std::vector<uint8_t> streamed;
  size_t at = 0;
  const SynLZ::TStreamResult r = SynLZ::DecompressStream(
      size,
      [&](uint8_t* buf, size_t n) {
        std::memcpy(buf, block + at, n);
        at += n;
        return true;
      },
      [&](const uint8_t* piece, size_t n) {
        streamed.insert(streamed.end(), piece, piece + n);
        return true;
      });
  if (r.stopped || r.decode.status != whole.status) std::abort();
  if (!whole.ok() && r.decode.inputOffset != whole.inputOffset) std::abort();
  if (whole.ok() && streamed != out) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As a bare block, into a buffer of exactly the announced size (when it is modest), so any
  // write past the end lands on the sanitizer's red zone.
  size_t announced = 0;
  if (SynLZ::DecompressedSize(data, size, announced) && announced <= (1u << 20)) {
    std::vector<uint8_t> out(announced);
    const SynLZ::TDecodeResult r = SynLZ::Decompress(data, size, out.data(), out.size());
    if (r.ok() && r.outputOffset != announced) std::abort();
    if (!r.ok() && r.inputOffset > size) std::abort();
    SameAsStreamed(data, size, r, out);
  }
  // A too small buffer must be refused, not overrun.
  std::vector<uint8_t> small(16);
  const SynLZ::TDecodeResult s = SynLZ::Decompress(data, size, small.data(), small.size());
  if (s.ok() && s.outputOffset > small.size()) std::abort();

  // A valid block of the input with one byte changed: reaches deep into the decoder, where
  // random bytes rarely get (matches need a table built by earlier literals).
  if (size > 3) {
    const size_t at = size_t(data[0]) | size_t(data[1]) << 8;
    const uint8_t flip = data[2] == 0 ? 1 : data[2];
    std::vector<uint8_t> block(SynLZ::CompressBound(size - 3));
    block.resize(SynLZ::Compress(data + 3, size - 3, block.data()));
    block[at % block.size()] ^= flip;
    size_t n = 0;
    if (SynLZ::DecompressedSize(block.data(), block.size(), n) && n <= (1u << 20)) {
      std::vector<uint8_t> out(n);
      const SynLZ::TDecodeResult r = SynLZ::Decompress(block.data(), block.size(), out.data(), n);
      if (r.ok() && r.outputOffset != n) std::abort();
      SameAsStreamed(block.data(), block.size(), r, out);
    }
  }

  // As an archive file: full header and hash checks before any decoding.
  std::string text, error;
  const bool ok = SynLZDecompressToString(
      std::string_view(reinterpret_cast<const char*>(data), size), text, error);
  if (!ok && error.empty()) std::abort();
  return 0;
}
