// The block codec: exact bytes for small hand-worked inputs, every length class, the hash, and
// the decoder's handling of damaged or hostile blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/synlz/SynLZ.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pack(const std::string& s) {
  Bytes out(SynLZ::CompressBound(s.size()));
  out.resize(SynLZ::Compress(s.data(), s.size(), out.data()));
  return out;
}

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(uint8_t(x));
  return b;
}

Bytes Cat(Bytes a, const std::string& s) {
  a.insert(a.end(), s.begin(), s.end());
  return a;
}

SynLZ::TDecodeResult Unpack(const Bytes& block, std::string& out, size_t cap) {
  out.assign(cap, '\0');
  SynLZ::TDecodeResult r = SynLZ::Decompress(block.data(), block.size(), out.data(), cap);
  if (r.ok()) out.resize(r.outputOffset);
  return r;
}

void ExpectRoundTrip(const std::string& s) {
  const Bytes block = Pack(s);
  ASSERT_LE(block.size(), SynLZ::CompressBound(s.size()));
  size_t announced = 0;
  ASSERT_TRUE(SynLZ::DecompressedSize(block.data(), block.size(), announced));
  EXPECT_EQ(announced, s.size());
  std::string back;
  const SynLZ::TDecodeResult r = Unpack(block, back, s.size());
  ASSERT_TRUE(r.ok()) << SynLZ::StatusText(r.status) << " at " << r.inputOffset << " for "
                      << s.size() << " bytes";
  EXPECT_TRUE(back == s) << "round trip differs for " << s.size() << " bytes";
}

// Log-like text: repeated structure with changing numbers, as rotation sees it.
std::string LogText(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += "20261209 1030" + std::to_string(10 + rng() % 89) + " info  [TDovraVoucherAPI.Evaluate]";
    s += " Response : {\"VoucherCode\":\"" + std::to_string(rng()) +
         "\",\"Amount\":" + std::to_string(rng() % 10000) + "}\r\n";
  }
  s.resize(n);
  return s;
}

std::string Noise(size_t n, unsigned seed, int alphabet) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng() % alphabet);
  return s;
}

// Table hash of the three bytes at p, as the block format defines it.
uint32_t TableHash(const std::string& s, size_t p) {
  const uint32_t v = uint32_t(uint8_t(s[p])) | uint32_t(uint8_t(s[p + 1])) << 8 |
                     uint32_t(uint8_t(s[p + 2])) << 16;
  return (v ^ (v >> 12)) & 0xFFF;
}

// A hand-made item: a literal byte, or a match of i + 2 bytes naming a table hash.
struct Item {
  bool match;
  uint32_t value;  // the byte, or the hash
  uint32_t i = 0;
};

// Encodes items as a block announcing n bytes: prefix, control words and codes.
Bytes Build(size_t n, const std::vector<Item>& items) {
  Bytes b =
      n < 32768
          ? B({int(n & 0xFF), int(n >> 8)})
          : B({int(n & 0xFF), int(((n >> 8) & 0x7F) | 0x80), int((n >> 15) & 0xFF), int(n >> 23)});
  size_t ctrlAt = b.size();
  b.resize(b.size() + 4);
  uint32_t ctrl = 0;
  unsigned k = 0;
  auto storeCtrl = [&] {
    for (int j = 0; j < 4; ++j) b[ctrlAt + j] = uint8_t(ctrl >> (8 * j));
  };
  for (const Item& it : items) {
    if (it.match) {
      ctrl |= 1u << k;
      const uint32_t w = it.value << 4 | (it.i <= 15 ? it.i : 0);
      b.push_back(uint8_t(w));
      b.push_back(uint8_t(w >> 8));
      if (it.i > 15) b.push_back(uint8_t(it.i - 16));
    } else {
      b.push_back(uint8_t(it.value));
    }
    if (++k == 32) {
      storeCtrl();
      ctrlAt = b.size();
      b.resize(b.size() + 4);
      ctrl = 0;
      k = 0;
    }
  }
  storeCtrl();
  return b;
}

// Literal bytes whose three-byte hashes are all different, so a test knows what each names.
std::string DistinctLiterals(size_t count) {
  std::string s;
  uint32_t x = 12345;
  while (s.size() < count + 2) {
    x = x * 1103515245u + 12345u;
    s.push_back(char(x >> 16));
    if (s.size() < 3) continue;
    const uint32_t h = TableHash(s, s.size() - 3);
    for (size_t q = 0; q + 3 < s.size(); ++q) {
      if (TableHash(s, q) == h) {
        s.pop_back();
        break;
      }
    }
  }
  s.resize(count);
  return s;
}

TEST(SynLZBlock, EmptyInputIsJustAZeroPrefix) {
  EXPECT_EQ(Pack(""), B({0x00, 0x00}));
  std::string out;
  EXPECT_TRUE(Unpack(B({0x00, 0x00}), out, 0).ok());
  EXPECT_TRUE(out.empty());
}

TEST(SynLZBlock, ShortInputsAreLiteralsBehindOneZeroControlWord) {
  EXPECT_EQ(Pack("a"), B({0x01, 0x00, 0, 0, 0, 0, 'a'}));
  EXPECT_EQ(Pack("abcde"), B({0x05, 0x00, 0, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}));
  // Ten bytes with a repeat still stay literals: no match may start within the last 11 bytes.
  EXPECT_EQ(Pack("abcabcabca"), Cat(B({0x0A, 0x00, 0, 0, 0, 0}), "abcabcabca"));
}

TEST(SynLZBlock, FullGroupOf32ItemsGetsATrailingZeroControlWord) {
  std::string s;
  for (int i = 0; i < 32; ++i) s.push_back(char('A' + i));  // no repeats: 32 literals
  Bytes expected = Cat(B({32, 0, 0, 0, 0, 0}), s);
  for (int i = 0; i < 4; ++i) expected.push_back(0);
  EXPECT_EQ(Pack(s), expected);
  EXPECT_EQ(Pack(s.substr(0, 31)).size(), 2u + 4 + 31);
  std::string back;
  ASSERT_TRUE(Unpack(expected, back, 32).ok());
  EXPECT_EQ(back, s);
  // Without that last word the block is cut off.
  expected.resize(expected.size() - 4);
  EXPECT_EQ(Unpack(expected, back, 32).status, SynLZ::Status::TruncatedControl);
}

TEST(SynLZBlock, ShortMatchIsOneWordOfHashAndLength) {
  // "abc" hashes to (0x636261 ^ 0x636) & 0xFFF = 0x457; at position 7 it repeats position 0
  // for 7 bytes (i = 5), and position 14 is past n - 11, so the rest are literals.
  const Bytes expected = Cat(Cat(B({0x18, 0x00, 0x80, 0, 0, 0}), "abcdefg"),
                             "\x75\x45"
                             "0123456789");
  EXPECT_EQ(Pack("abcdefgabcdefg0123456789"), expected);
}

TEST(SynLZBlock, LongMatchCarriesAnExtraLengthByte) {
  // "abcd" x 10: four literals, then a 35-byte match (i = 33: word 0x4570, byte 33 - 16), then
  // the last 'd' as a tail literal.
  std::string s;
  for (int i = 0; i < 10; ++i) s += "abcd";
  EXPECT_EQ(Pack(s), B({0x28, 0x00, 0x10, 0, 0, 0, 'a', 'b', 'c', 'd', 0x70, 0x45, 0x11, 'd'}));
}

TEST(SynLZBlock, PositionsInsideAMatchAreNotEntered) {
  // "cde" at 12 must be matched against position 2 (4 bytes, i = 2, hash 0x235); entering the
  // interior position 8 of the first match would give a 5-byte match instead.
  const std::string s = "abcdefabcdefcdefcX0123456789!";
  const Bytes expected = Cat(Cat(B({0x1D, 0x00, 0xC0, 0, 0, 0}), "abcdef"),
                             "\x74\x45\x52\x23"
                             "cX0123456789!");
  EXPECT_EQ(Pack(s), expected);
  ExpectRoundTrip(s);
}

TEST(SynLZBlock, CandidatesCloserThanThreeBytesGiveLiterals) {
  // One repeated byte, or a period of two, always finds its previous position 1 or 2 back.
  const std::string run(100, 'x');
  EXPECT_EQ(Pack(run).size(), 2u + 100 + 4 * (100 / 32 + 1));
  std::string pairs;
  for (int i = 0; i < 20; ++i) pairs += "ab";
  EXPECT_EQ(Pack(pairs).size(), 2u + 40 + 4 * 2);
  ExpectRoundTrip(run);
  ExpectRoundTrip(pairs);
}

TEST(SynLZBlock, LengthPrefixSwitchesToFourBytesAt32768) {
  const std::string below(32767, 'q');
  const Bytes a = Pack(below);
  EXPECT_EQ(a[0], 0xFF);
  EXPECT_EQ(a[1], 0x7F);
  const Bytes b = Pack(std::string(32768, 'q'));
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), B({0x00, 0x80, 0x01, 0x00}));
  const Bytes c = Pack(LogText(100000, 3));
  EXPECT_EQ(Bytes(c.begin(), c.begin() + 4), B({0xA0, 0x86, 0x03, 0x00}));
  size_t n = 0, prefix = 0;
  ASSERT_TRUE(SynLZ::DecompressedSize(c.data(), c.size(), n, &prefix));
  EXPECT_EQ(n, 100000u);
  EXPECT_EQ(prefix, 4u);
}

TEST(SynLZBlock, RoundTripsEveryLengthClass) {
  for (size_t n : {0,  1,   2,   10,  11,  12,   31,    32,    33,    63,   64,
                   65, 100, 273, 274, 275, 1000, 32767, 32768, 32769, 70000}) {
    SCOPED_TRACE(n);
    ExpectRoundTrip(LogText(n, unsigned(n)));
    ExpectRoundTrip(Noise(n, unsigned(n), 3));    // many short matches
    ExpectRoundTrip(Noise(n, unsigned(n), 256));  // nearly incompressible
    ExpectRoundTrip(std::string(n, '\0'));
  }
  // Periods of 3..20 make overlapping copies with every distance the decoder treats apart.
  for (size_t period = 3; period <= 20; ++period) {
    std::string s;
    for (size_t i = 0; i < 2000; ++i) s.push_back(char('a' + i % period));
    SCOPED_TRACE(period);
    ExpectRoundTrip(s);
  }
}

TEST(SynLZBlock, LogTextShrinksAndMatchesAreCappedAt273Bytes) {
  const std::string s = LogText(1 << 20, 7);
  const Bytes block = Pack(s);
  EXPECT_LT(block.size(), s.size() / 3);
  ExpectRoundTrip(s);
  // 4000 equal-period bytes: every match is at most 273 bytes, so there are at least 14 of them,
  // each 3 bytes, and hardly anything else.
  std::string period;
  for (int i = 0; i < 1000; ++i) period += "wxyz";
  const Bytes p = Pack(period);
  EXPECT_GE(p.size(), 2u + 4 + 4 + 14 * 3);
  EXPECT_LE(p.size(), 2u + 4 + 4 + 16 * 3 + 11);
}

TEST(SynLZHash, KnownValues) {
  EXPECT_EQ(SynLZ::Hash32(nullptr, 0), 0u);
  EXPECT_EQ(SynLZ::Hash32("a", 1), 0x00610061u);
  EXPECT_EQ(SynLZ::Hash32("abcd", 4), 0xA0A16261u);
  EXPECT_EQ(SynLZ::Hash32("abcde", 5), 0xA14462C6u);
  EXPECT_EQ(SynLZ::Hash32("abcdefgh", 8), 0x3F27C8C6u);
  // Sums wrap modulo 2^32.
  EXPECT_EQ(SynLZ::Hash32("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8), 0x0004FFFEu);
}

TEST(SynLZHash, DoesNotDependOnAlignmentAndSeesEveryByte) {
  const std::string s = LogText(1001, 9);
  std::vector<char> shifted(s.size() + 3);
  std::memcpy(shifted.data() + 3, s.data(), s.size());
  EXPECT_EQ(SynLZ::Hash32(shifted.data() + 3, s.size()), SynLZ::Hash32(s.data(), s.size()));
  const uint32_t h = SynLZ::Hash32(s.data(), s.size());
  for (size_t i : {size_t(0), size_t(500), s.size() - 1}) {
    std::string t = s;
    t[i] ^= 1;
    EXPECT_NE(SynLZ::Hash32(t.data(), t.size()), h) << "flip at " << i;
  }
}

TEST(SynLZDecode, RejectsEachKindOfDamage) {
  std::string out;
  using S = SynLZ::Status;
  EXPECT_EQ(Unpack(B({0x05}), out, 16).status, S::TruncatedPrefix);
  EXPECT_EQ(Unpack(B({0x00, 0x80, 0x01}), out, 1 << 16).status, S::TruncatedPrefix);
  EXPECT_EQ(Unpack(B({0x04, 0x00, 0, 0}), out, 16).status, S::TruncatedControl);
  EXPECT_EQ(Unpack(B({0x04, 0x00, 0, 0, 0, 0, 'a', 'b'}), out, 16).status, S::TruncatedLiteral);
  EXPECT_EQ(Unpack(B({0x00, 0x00, 0x00}), out, 16).status, S::TrailingBytes);
  EXPECT_EQ(Unpack(Cat(Pack("abcd"), "x"), out, 16).status, S::TrailingBytes);
  // Item 10 flagged as a match in a block of 4 items.
  EXPECT_EQ(Unpack(B({0x04, 0x00, 0x00, 0x04, 0, 0, 'a', 'b', 'c', 'd'}), out, 16).status,
            S::StrayControlBits);
  // A match as the first item: the table is still empty.
  EXPECT_EQ(Unpack(B({0x14, 0x00, 0x01, 0, 0, 0, 0x71, 0x45}), out, 64).status, S::BadMatchSource);
  // A match in a 5-byte block, where only literals can be.
  EXPECT_EQ(Unpack(B({0x05, 0x00, 0x01, 0, 0, 0, 0x71, 0x45}), out, 64).status, S::BadMatchPlace);
  // The "abcd" x 10 block with its match one byte too long, then with the length byte cut off.
  Bytes longMatch = Pack(std::string("abcdabcdabcdabcdabcdabcdabcdabcdabcdabcd"));
  longMatch[12] = 0x12;
  EXPECT_EQ(Unpack(longMatch, out, 64).status, S::BadMatchLength);
  longMatch.resize(12);
  EXPECT_EQ(Unpack(longMatch, out, 64).status, S::TruncatedMatch);
  EXPECT_EQ(Unpack(Pack("hello there"), out, 10).status, S::OutputTooSmall);
}

TEST(SynLZDecode, ReportsWhereItStopped) {
  // Literal 'a' at block byte 6, then the match at byte 7 names hash 0x457 with nothing there.
  Bytes block = B({0x14, 0x00, 0x02, 0, 0, 0, 'a', 0x71, 0x45});
  std::string out;
  const SynLZ::TDecodeResult r = Unpack(block, out, 64);
  EXPECT_EQ(r.status, SynLZ::Status::BadMatchSource);
  EXPECT_EQ(r.inputOffset, 7u);
  EXPECT_EQ(r.outputOffset, 1u);
}

TEST(SynLZDecode, NeverWritesPastTheAnnouncedLength) {
  for (const std::string& s : {LogText(5000, 1), Noise(3000, 2, 4), std::string(700, 'z')}) {
    const Bytes block = Pack(s);
    std::vector<char> buf(s.size() + 256, char(0xEE));
    const SynLZ::TDecodeResult r =
        SynLZ::Decompress(block.data(), block.size(), buf.data(), buf.size());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::memcmp(buf.data(), s.data(), s.size()), 0);
    for (size_t i = s.size(); i < buf.size(); ++i) {
      ASSERT_EQ(buf[i], char(0xEE)) << "byte " << i << " past the end was written";
    }
  }
}

TEST(SynLZDecode, EveryTruncationAndEveryByteFlipIsHandled) {
  const std::string s = LogText(600, 5);
  const Bytes block = Pack(s);
  std::string out;
  for (size_t len = 0; len < block.size(); ++len) {
    const Bytes cut(block.begin(), block.begin() + len);
    EXPECT_FALSE(Unpack(cut, out, s.size()).ok()) << "truncated to " << len;
  }
  // A flipped byte either fails or still gives exactly n bytes; with the block's own length it
  // never runs outside the buffers (the sanitizer build checks the accesses).
  size_t rejected = 0;
  for (size_t i = 0; i < block.size(); ++i) {
    for (uint8_t bit : {0x01, 0x10, 0x80}) {
      Bytes bad = block;
      bad[i] ^= bit;
      const SynLZ::TDecodeResult r = Unpack(bad, out, 1 << 16);
      if (!r.ok()) {
        ++rejected;
        EXPECT_LE(r.inputOffset, bad.size());
      } else {
        size_t n = 0;
        SynLZ::DecompressedSize(bad.data(), bad.size(), n);
        EXPECT_EQ(out.size(), n);
      }
    }
  }
  EXPECT_GT(rejected, block.size() / 4);
}

TEST(SynLZDecode, FarMatchesOfEveryDistanceClassAndLiteralsAcrossGroups) {
  // 32 literals fill the first group, so the match opening the second one waits on literals
  // entered across the group edge. The later matches come from 59, 16, 10 and 5 bytes back and
  // overlap their own output. All lie far from the block ends, where the decoder skips its
  // end checks.
  const size_t n = 4000;
  const std::string lit = DistinctLiterals(n);
  std::vector<Item> items;
  std::vector<size_t> starts;  // item starts, in order
  std::string expected;
  auto literal = [&](size_t count) {
    for (size_t j = 0; j < count; ++j) {
      const char c = lit[expected.size()];
      starts.push_back(expected.size());
      items.push_back({false, uint8_t(c)});
      expected.push_back(c);
    }
  };
  auto match = [&](size_t back, uint32_t i) {
    const size_t p = expected.size(), from = p - back;
    // The table entry for the source's hash must be the source: the last item start at most
    // p - 3 with that hash (the two bytes before p are entered only after the lookup).
    const uint32_t h = TableHash(expected, from);
    size_t last = n;
    for (size_t q : starts) {
      if (q + 3 <= p && TableHash(expected, q) == h) last = q;
    }
    ASSERT_EQ(last, from) << "hash of " << from << " is taken at " << p;
    starts.push_back(p);
    items.push_back({true, h, i});
    for (size_t j = 0; j < i + 2; ++j) expected.push_back(expected[from + j]);
  };
  literal(32);
  match(22, 5);
  literal(20);
  match(59, 100);
  literal(20);
  match(16, 30);
  literal(12);
  match(10, 20);
  literal(12);
  match(5, 12);
  literal(n - expected.size());
  ASSERT_EQ(expected.size(), n);

  const Bytes block = Build(n, items);
  std::string out;
  const SynLZ::TDecodeResult r = Unpack(block, out, n);
  ASSERT_TRUE(r.ok()) << SynLZ::StatusText(r.status) << " at " << r.inputOffset;
  EXPECT_TRUE(out == expected);
}

TEST(SynLZDecode, UnsetSourceFarFromTheEndsStopsAtItsItem) {
  // Two groups of literals, then a match naming a hash no literal has: reported at its code
  // with the 64 bytes before it in place, although plenty of (garbage) input follows.
  const std::string lit = DistinctLiterals(64);
  std::vector<Item> items;
  for (char c : lit) items.push_back({false, uint8_t(c)});
  auto named = [&](uint32_t h) {
    for (size_t q = 0; q + 3 <= 64; ++q) {
      if (TableHash(lit, q) == h) return true;
    }
    return false;
  };
  uint32_t unused = 0;
  while (named(unused)) ++unused;
  items.push_back({true, unused, 5});
  Bytes block = Build(4000, items);
  block.resize(block.size() + 300, 0x5A);
  std::string out;
  const SynLZ::TDecodeResult r = Unpack(block, out, 4000);
  EXPECT_EQ(r.status, SynLZ::Status::BadMatchSource);
  EXPECT_EQ(r.inputOffset, 2u + 4 + 32 + 4 + 32 + 4);
  EXPECT_EQ(r.outputOffset, 64u);
  EXPECT_EQ(out.substr(0, 64), lit);
}

// The streamed decoder, fed and drained in small pieces, against the whole-block one.
SynLZ::TStreamResult Stream(const Bytes& block, std::string& out) {
  out.clear();
  size_t at = 0;
  return SynLZ::DecompressStream(
      block.size(),
      [&](uint8_t* buf, size_t n) {
        std::memcpy(buf, block.data() + at, n);
        at += n;
        return true;
      },
      [&](const uint8_t* data, size_t n) {
        EXPECT_LE(n, SynLZ::kStreamPiece);
        out.append(reinterpret_cast<const char*>(data), n);
        return true;
      });
}

void ExpectSameDecode(const Bytes& block, const std::string& what) {
  std::string whole, streamed;
  size_t n = 0;
  SynLZ::DecompressedSize(block.data(), block.size(), n);
  const SynLZ::TDecodeResult a = Unpack(block, whole, n);
  const SynLZ::TStreamResult b = Stream(block, streamed);
  ASSERT_FALSE(b.stopped) << what;
  EXPECT_EQ(a.status, b.decode.status) << what;
  if (!a.ok()) {
    EXPECT_EQ(a.inputOffset, b.decode.inputOffset) << what;
    return;
  }
  EXPECT_EQ(b.decode.outputOffset, n) << what;
  EXPECT_TRUE(whole == streamed) << what;
}

TEST(SynLZStream, DecodesAndRejectsExactlyAsTheWholeBlockDecoder) {
  // Over 3 MiB, so the window slides: a stretch of one repeated byte touches one table entry
  // only, so the entries of the text before it still name that text when it comes back, far
  // outside the window.
  const std::string text = LogText(70000, 9);
  const std::string far = text + std::string(3 << 20, 'z') + text + LogText(5000, 10);
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {"empty", ""},
      {"short", "abc"},
      {"log text", LogText(100000, 3)},
      {"noise", Noise(50000, 4, 256)},
      {"far matches", far},
  };
  for (const auto& [what, s] : inputs) ExpectSameDecode(Pack(s), what);

  // Damage: every truncation and byte flip of a small block, and flips in the far block's
  // matches from outside the window.
  const Bytes small = Pack(LogText(600, 5));
  for (size_t len = 0; len < small.size(); ++len)
    ExpectSameDecode(Bytes(small.begin(), small.begin() + len), "cut to " + std::to_string(len));
  for (size_t i = 0; i < small.size(); ++i) {
    for (uint8_t bit : {0x01, 0x10, 0x80}) {
      Bytes bad = small;
      bad[i] ^= bit;
      ExpectSameDecode(bad, "flip at " + std::to_string(i));
    }
  }
  const Bytes big = Pack(far);
  for (size_t i = big.size() - 6000; i < big.size(); i += 397) {
    Bytes bad = big;
    bad[i] ^= 0x10;
    ExpectSameDecode(bad, "far block flip at " + std::to_string(i));
  }
}

TEST(SynLZStream, StopsWhenReadOrEmitSaysSo) {
  const Bytes block = Pack(LogText(3 << 20, 11));
  size_t emitted = 0;
  const SynLZ::TStreamResult byEmit = SynLZ::DecompressStream(
      block.size(),
      [&, at = size_t(0)](uint8_t* buf, size_t n) mutable {
        std::memcpy(buf, block.data() + at, n);
        at += n;
        return true;
      },
      [&](const uint8_t*, size_t n) {
        emitted += n;
        return false;
      });
  EXPECT_TRUE(byEmit.stopped);
  EXPECT_EQ(emitted, SynLZ::kStreamPiece);
  const SynLZ::TStreamResult byRead = SynLZ::DecompressStream(
      block.size(), [](uint8_t*, size_t) { return false; },
      [](const uint8_t*, size_t) { return true; });
  EXPECT_TRUE(byRead.stopped);
}

TEST(SynLZHash, PiecesGiveTheWholeHash) {
  const std::string s = Noise(1000, 7, 256);
  for (size_t piece : {1, 2, 3, 5, 7, 64, 999, 1000}) {
    SynLZ::THash32Stream h;
    for (size_t at = 0; at < s.size(); at += piece)
      h.Add(s.data() + at, std::min(piece, s.size() - at));
    EXPECT_EQ(h.Value(), SynLZ::Hash32(s.data(), s.size())) << piece;
  }
  EXPECT_EQ(SynLZ::THash32Stream().Value(), 0u);
}

}  // namespace
