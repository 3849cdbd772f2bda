// Arbitrary bytes as a compressed block and as an archive file: the decoder must reject or
// decode them without touching memory outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "SynLZ.h"
#include "SynLZFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As a bare block, into a buffer of exactly the announced size (when it is modest), so any
  // write past the end lands on the sanitizer's red zone.
  size_t announced = 0;
  if (SynLZ::DecompressedSize(data, size, announced) && announced <= (1u << 20)) {
    std::vector<uint8_t> out(announced);
    const SynLZ::DecodeResult r = SynLZ::Decompress(data, size, out.data(), out.size());
    if (r.ok() && r.outputOffset != announced) std::abort();
    if (!r.ok() && r.inputOffset > size) std::abort();
  }
  // A too small buffer must be refused, not overrun.
  std::vector<uint8_t> small(16);
  const SynLZ::DecodeResult s = SynLZ::Decompress(data, size, small.data(), small.size());
  if (s.ok() && s.outputOffset > small.size()) std::abort();

  // As an archive file: full header and hash checks before any decoding.
  std::string text, error;
  const bool ok = SynLZDecompressToString(
      std::string_view(reinterpret_cast<const char*>(data), size), text, error);
  if (!ok && error.empty()) std::abort();
  return 0;
}
