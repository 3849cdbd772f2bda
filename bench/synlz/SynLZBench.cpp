// Archive codec speed on real log text beside LZ4 (default) and zstd (level 1): 2 MiB blocks
// as rotation makes them, and one 64 MiB input. The codecs run in turn; the table at the end
// gives the median ratio of the pairs and its spread.
#include <benchmark/benchmark.h>

#include <lz4.h>
#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/PairedComparison.h"
#include "lib/common/FileText.h"
#include "lib/synlz/SynLZ.h"
#include "module/log/SynLog.h"

namespace fs = std::filesystem;

namespace {

// The rotation block and the large input; a smoke run takes small ones.
size_t gBlock = 2u << 20;
size_t gLarge = 64u << 20;

// Log text written by the module's own logger: voucher requests and responses as the client
// logs them, with changing codes, amounts and references.
std::string MakeLogText(size_t size) {
  const fs::path dir = fs::temp_directory_path() / ("synlz-bench-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string file;
  {
    TSynLogFamily family;
    family.SetDestinationPath(dir.string());
    family.SetArchivePath(dir.string());
    family.CustomFileName = "bench";
    family.EndOfLineCRLF = true;
    family.BufferedWrites = true;
    family.BufferSize = 1 << 20;
    family.SetLevel({TSynLogInfo::sllInfo});
    TSynLog& log = family.Add();
    std::mt19937 rng(42);
    size_t written = 0;
    for (unsigned i = 0; written < size + 4096; ++i) {
      const std::string code = "DV" + std::to_string(100000000 + rng() % 900000000);
      const std::string phone = "0" + std::to_string(700000000 + rng() % 99999999);
      const std::string amount = std::to_string(rng() % 50000) + "." + std::to_string(rng() % 100);
      std::string json;
      const char* label = nullptr;
      switch (i % 4) {
        case 0:
          label = "[TDovraVoucherAPI.Evaluate] Request : %";
          json = "{\"StoreId\":\"ST" + std::to_string(1000 + rng() % 50) + "\",\"VoucherCode\":\"" +
                 code + "\",\"Mobile\":\"" + phone + "\",\"OrderAmount\":" + amount +
                 ",\"LineItems\":[{\"Sku\":\"" + std::to_string(rng() % 100000) +
                 "\",\"Qty\":" + std::to_string(1 + rng() % 5) + "}]}";
          break;
        case 1:
          label = "[TDovraVoucherAPI.Evaluate] Response : %";
          json = "{\"Success\":true,\"VoucherCode\":\"" + code + "\",\"DiscountAmount\":" + amount +
                 ",\"Message\":\"Voucher is valid\"}";
          break;
        case 2:
          label = "[TDovraVoucherAPI.Redeem] Response : %";
          json = "{\"Success\":true,\"RedemptionReference\":\"R" + std::to_string(rng()) +
                 "\",\"DiscountAmount\":" + amount + "}";
          break;
        default:
          label = "[TPaymentMethodDovraVoucher.LinkInvoice] Invoice : %";
          json = "INV" + std::to_string(rng() % 10000000);
          break;
      }
      log.Log(TSynLogInfo::sllInfo, label, {json});
      written += 17 + 7 + std::strlen(label) + json.size();
    }
    log.Flush();
    file = log.FileName();
  }
  std::string text, error;
  if (!ReadWholeFile(file, text, error, "the log")) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  fs::remove_all(dir);
  if (text.size() < size) {
    std::fprintf(stderr, "log text came out short: %zu of %zu bytes\n", text.size(), size);
    std::exit(1);
  }
  text.resize(size);
  return text;
}

const std::string& Text() {
  static const std::string text = MakeLogText(gLarge);
  return text;
}

struct Ours {
  static size_t Bound(size_t n) { return SynLZ::CompressBound(n); }
  static size_t Pack(const char* s, size_t n, char* d, size_t) { return SynLZ::Compress(s, n, d); }
  static bool Unpack(const char* s, size_t n, char* d, size_t cap) {
    return SynLZ::Decompress(s, n, d, cap).ok();
  }
};
struct Lz4 {
  static size_t Bound(size_t n) { return size_t(LZ4_compressBound(int(n))); }
  static size_t Pack(const char* s, size_t n, char* d, size_t cap) {
    return size_t(LZ4_compress_default(s, d, int(n), int(cap)));
  }
  static bool Unpack(const char* s, size_t n, char* d, size_t cap) {
    return LZ4_decompress_safe(s, d, int(n), int(cap)) == int(cap);
  }
};
struct Zstd1 {
  static size_t Bound(size_t n) { return ZSTD_compressBound(n); }
  static size_t Pack(const char* s, size_t n, char* d, size_t cap) {
    static ZSTD_CCtx* ctx = ZSTD_createCCtx();
    const size_t r = ZSTD_compressCCtx(ctx, d, cap, s, n, 1);
    return ZSTD_isError(r) ? 0 : r;
  }
  static bool Unpack(const char* s, size_t n, char* d, size_t cap) {
    static ZSTD_DCtx* ctx = ZSTD_createDCtx();
    return ZSTD_decompressDCtx(ctx, d, cap, s, n) == cap;
  }
};

// Compresses the input in blocks of `block` bytes, one block per iteration, cycling through it.
template <class Codec>
void Compress(benchmark::State& state, size_t block) {
  const std::string& text = Text();
  std::vector<char> out(Codec::Bound(block));
  size_t at = 0, in = 0, packed = 0;
  for (auto _ : state) {
    const size_t n = Codec::Pack(text.data() + at, block, out.data(), out.size());
    if (n == 0) state.SkipWithError("compression failed");
    benchmark::DoNotOptimize(out.data());
    in += block;
    packed += n;
    at = (at + block) % text.size();
  }
  state.SetBytesProcessed(int64_t(in));
  state.counters["ratio"] = in ? double(packed) / double(in) : 0;
}

template <class Codec>
void Decompress(benchmark::State& state, size_t block) {
  const std::string& text = Text();
  std::vector<std::vector<char>> packed;
  for (size_t at = 0; at < text.size() && packed.size() < 8; at += block) {
    std::vector<char> p(Codec::Bound(block));
    p.resize(Codec::Pack(text.data() + at, block, p.data(), p.size()));
    packed.push_back(std::move(p));
  }
  std::vector<char> out(block);
  size_t i = 0, in = 0;
  for (auto _ : state) {
    const std::vector<char>& p = packed[i];
    if (!Codec::Unpack(p.data(), p.size(), out.data(), block)) {
      state.SkipWithError("decompression failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    in += block;
    i = (i + 1) % packed.size();
  }
  if (std::memcmp(out.data(), text.data() + ((i + packed.size() - 1) % packed.size()) * block,
                  block) != 0) {
    state.SkipWithError("decompressed bytes differ");
  }
  state.SetBytesProcessed(int64_t(in));
}

}  // namespace

int main(int argc, char** argv) {
  if (BenchSmoke::Requested(argc, argv)) {
    gBlock = 64u << 10;
    gLarge = 256u << 10;
  }
  TPairedComparison comparison(
      "The archive codec on log text written by the module's logger beside LZ4 (default) and\n"
      "zstd (level 1), in 2 MiB blocks as rotation makes them and as one 64 MiB input.");
  const auto milliseconds = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond);
  };
  for (const size_t size : {gBlock, gLarge}) {
    const std::string suffix = "/" + std::to_string(size >> 10) + "KiB";
    comparison.Add("compress" + suffix,
                   {"synlz", [size](benchmark::State& s) { Compress<Ours>(s, size); }},
                   {{"lz4", [size](benchmark::State& s) { Compress<Lz4>(s, size); }},
                    {"zstd1", [size](benchmark::State& s) { Compress<Zstd1>(s, size); }}},
                   milliseconds);
    comparison.Add("decompress" + suffix,
                   {"synlz", [size](benchmark::State& s) { Decompress<Ours>(s, size); }},
                   {{"lz4", [size](benchmark::State& s) { Decompress<Lz4>(s, size); }},
                    {"zstd1", [size](benchmark::State& s) { Decompress<Zstd1>(s, size); }}},
                   milliseconds);
  }
  return comparison.Main(argc, argv);
}
