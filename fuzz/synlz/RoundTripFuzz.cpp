// Arbitrary input through compression and back must give the same bytes, as a bare block and
// as an archive cut into small chunks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lib/synlz/SynLZ.h"
#include "lib/synlz/SynLZFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> packed(SynLZ::CompressBound(size));
  const size_t n = SynLZ::Compress(data, size, packed.data());
  if (n > packed.size()) std::abort();
  packed.resize(n);  // shrink so reads past the block are caught
  std::vector<uint8_t> back(size);
  const SynLZ::TDecodeResult r = SynLZ::Decompress(packed.data(), n, back.data(), back.size());
  if (!r.ok() || r.outputOffset != size) std::abort();
  if (size != 0 && std::memcmp(back.data(), data, size) != 0) std::abort();

  // The first byte picks a chunk size so that chunk edges fall everywhere. Every chunk costs a
  // fresh match table, so a long input is cut into at most 64 chunks: its edges still move with
  // the first byte and the length, and the fuzzer keeps its pace on the inputs it grows.
  const size_t fewest = (size + 63) / 64;
  const size_t chunk = size == 0 ? 1 : std::max<size_t>(1 + data[0] % 64, fewest + data[0] % 8);
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string archive = SynLZCompressToString(in, kSynLZMagic, chunk);
  std::string text, error;
  if (!SynLZDecompressToString(archive, text, error) || text != in) std::abort();
  return 0;
}
