#include "lib/synlz/SynLZ.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

namespace SynLZ {
namespace {

// Table size and the "no position yet" mark. Positions fit 32 bits because blocks stay below
// 2 GiB.
constexpr size_t kTableSize = 4096;
constexpr uint32_t kUnset = 0xFFFFFFFFu;
constexpr size_t kMaxMatchExtra = 271;  // i - 16 must fit one byte
constexpr size_t kTailLiterals = 11;    // no item starting this close to the end is a match
// Output room behind an item start that lets the decoder skip its end-of-block checks: a
// 32-byte literal copy, then the longest match rounded up to whole 32-byte copies, plus the
// tail where no match may start.
constexpr size_t kFastOutRoom = 32 + (kMaxMatchExtra + 2 + 31) / 32 * 32 + kTailLiterals;
// Input a whole group may read: 32 items of at most 3 bytes each, a 32-byte literal copy
// starting at the last of them (the next control word lies within that).
constexpr size_t kFastInRoom = 32 * 3 + 32;

inline uint32_t FromLE32(uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(v);
  return v;
}
inline uint64_t FromLE64(uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
  return v;
}
inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return FromLE32(v);
}
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return FromLE64(v);
}
inline uint32_t Load16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
inline void Store16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void Store32(uint8_t* p, uint32_t v) {
  v = FromLE32(v);
  std::memcpy(p, &v, 4);
}
inline uint32_t HashOf(uint32_t v) { return (v ^ (v >> 12)) & 0xFFFu; }
// Only the first three bytes feed the table hash, so the decoder can enter a position as soon
// as those three are known.
inline uint32_t Hash3(const uint8_t* p) { return HashOf(Load16(p) | (uint32_t(p[2]) << 16)); }

// Length of the match at p against r: 3 bytes are known equal; extends while i < max.
inline size_t MatchExtra(const uint8_t* a, const uint8_t* b, size_t max) {
  size_t i = 1;
  while (i + 8 <= max) {
    const uint64_t x = Load64(a + i) ^ Load64(b + i);
    if (x != 0) return i + (size_t(std::countr_zero(x)) >> 3);
    i += 8;
  }
  while (i < max && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

const char* StatusText(Status status) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::TruncatedPrefix:
      return "length prefix is cut off";
    case Status::OutputTooSmall:
      return "announced length exceeds the output buffer";
    case Status::TruncatedControl:
      return "control word is cut off";
    case Status::TruncatedLiteral:
      return "literal bytes run past the end of the input";
    case Status::TruncatedMatch:
      return "match code is cut off";
    case Status::BadMatchSource:
      return "match refers to an unset or too close table entry";
    case Status::BadMatchPlace:
      return "match within the last 11 bytes of the block";
    case Status::BadMatchLength:
      return "match runs past the end of the block";
    case Status::TrailingBytes:
      return "bytes left over after the last item";
    case Status::StrayControlBits:
      return "control bits set beyond the last item";
  }
  return "unknown status";
}

size_t Compress(const void* srcv, size_t n, void* dstv) {
  const uint8_t* src = static_cast<const uint8_t*>(srcv);
  uint8_t* const dst = static_cast<uint8_t*>(dstv);
  uint8_t* out = dst;
  if (n < 32768) {
    Store16(out, uint32_t(n));
    out += 2;
  } else {
    Store16(out, uint32_t((n & 0x7FFF) | 0x8000));
    Store16(out + 2, uint32_t(n >> 15));
    out += 4;
  }
  if (n == 0) return size_t(out - dst);

  uint32_t positions[kTableSize];
  uint32_t values[kTableSize];  // read only where the position is set
  std::memset(positions, 0xFF, sizeof(positions));

  uint8_t* ctrlAt = out;
  out += 4;
  uint32_t ctrl = 0;
  unsigned items = 0;
  // A full group's control word is stored at once and the next one reserved, even when no
  // further item follows.
  const auto countItem = [&] {
    if (++items == 32) {
      Store32(ctrlAt, ctrl);
      ctrlAt = out;
      out += 4;
      ctrl = 0;
      items = 0;
    }
  };
  size_t p = 0;
  if (n >= kTailLiterals) {
    const size_t last = n - kTailLiterals;
    while (p <= last) {
      const uint32_t v = Load32(src + p);
      const uint32_t h = HashOf(v);
      const uint32_t r = positions[h];
      positions[h] = uint32_t(p);
      bool match = false;
      if (r != kUnset) match = ((v ^ values[h]) & 0xFFFFFFu) == 0 && p - r >= 3;
      values[h] = v;
      if (!match) {
        *out++ = src[p++];
      } else {
        size_t max = n - p - 3;
        if (max > kMaxMatchExtra) max = kMaxMatchExtra;
        const size_t i = MatchExtra(src + r + 2, src + p + 2, max);
        if (i <= 15) {
          Store16(out, (h << 4) | uint32_t(i));
          out += 2;
        } else {
          Store16(out, h << 4);
          out[2] = uint8_t(i - 16);
          out += 3;
        }
        ctrl |= 1u << items;
        p += i + 2;
      }
      countItem();
    }
  }
  while (p < n) {
    *out++ = src[p++];
    countItem();
  }
  Store32(ctrlAt, ctrl);
  return size_t(out - dst);
}

bool DecompressedSize(const void* srcv, size_t srcLen, size_t& size, size_t* prefixLen) {
  const uint8_t* src = static_cast<const uint8_t*>(srcv);
  if (srcLen < 2) return false;
  const uint32_t w = Load16(src);
  if ((w & 0x8000) == 0) {
    size = w;
    if (prefixLen) *prefixLen = 2;
    return true;
  }
  if (srcLen < 4) return false;
  size = size_t(w & 0x7FFF) | (size_t(Load16(src + 2)) << 15);
  if (prefixLen) *prefixLen = 4;
  return true;
}

TDecodeResult Decompress(const void* srcv, size_t srcLen, void* dstv, size_t dstCap) {
  const uint8_t* const src = static_cast<const uint8_t*>(srcv);
  const uint8_t* const end = src + srcLen;
  uint8_t* const dst = static_cast<uint8_t*>(dstv);
  auto fail = [&](Status s, const uint8_t* at, size_t p) {
    return TDecodeResult{s, size_t(at - src), p};
  };

  size_t n = 0, prefix = 0;
  if (!DecompressedSize(src, srcLen, n, &prefix)) return fail(Status::TruncatedPrefix, src, 0);
  if (n > dstCap) return fail(Status::OutputTooSmall, src, 0);
  const uint8_t* in = src + prefix;
  if (n == 0) {
    if (in != end) return fail(Status::TrailingBytes, in, 0);
    return TDecodeResult{Status::Ok, srcLen, 0};
  }

  uint32_t positions[kTableSize];
  std::memset(positions, 0xFF, sizeof(positions));
  // Item starts below matchLimit are entered in the table (and only there may a match begin).
  // Literal positions are entered lazily, once their three bytes are known: [pending, p).
  const size_t matchLimit = n >= kTailLiterals ? n - kTailLiterals + 1 : 0;
  // Items that start before fastEnd, in a stretch entered with kFastInRoom input left, cannot
  // hit any end-of-block condition, so they run without those checks.
  const size_t fastEnd = n > kFastOutRoom ? n - kFastOutRoom : 0;
  size_t pending = 0;
  size_t p = 0;
  auto enter = [&](size_t q) { positions[Hash3(dst + q)] = uint32_t(q); };

  // One match away from the block ends, after the literals [first, p). Returns the item when
  // its source is bad.
  auto fastMatch = [&](size_t first, auto literals) __attribute__((always_inline)) {
    const uint8_t* item = in;
    if constexpr (literals) {
      while (first + 3 <= p) enter(first++);
    }
    const uint32_t w = Load32(in);
    const uint32_t h = (w >> 4) & 0xFFF;
    // Short and long codes without a branch: long ones have length bits 0 and one more byte.
    const size_t wide = (w & 15) == 0;
    const size_t len = (w & 15) + 2 + (size_t(in[2]) + 16) * wide;
    in += 2 + wide;
    const size_t r = positions[h];
    uint8_t* o = dst + p;
    // Whole chunks no longer than the distance read only bytes already in place; they may write
    // up to 31 bytes past the match, which the following items rewrite.
    if (r + 32 <= p) {  // nearly always; kUnset is far above any p
      const uint8_t* s = dst + r;
      std::memcpy(o, s, 32);
      for (size_t j = 32; j < len; j += 32) std::memcpy(o + j, s + j, 32);
    } else {
      if (r + 3 > p) return item;  // also catches kUnset
      const uint8_t* s = dst + r;
      const size_t d = p - r;
      if (d >= 16) {
        for (size_t j = 0; j < len; j += 16) std::memcpy(o + j, s + j, 16);
      } else if (d >= 8) {
        for (size_t j = 0; j < len; j += 8) std::memcpy(o + j, s + j, 8);
      } else {
        for (size_t j = 0; j < len; ++j) o[j] = s[j];
      }
    }
    if constexpr (literals) {
      while (first < p) enter(first++);
    }
    positions[h] = uint32_t(p);
    p += len;
    return static_cast<const uint8_t*>(nullptr);
  };
  if (end - in < 4) return fail(Status::TruncatedControl, in, 0);
  uint32_t ctrl = Load32(in);
  in += 4;
  unsigned k = 0;  // items consumed from ctrl
  while (p < n) {
    if (pending == p && p < fastEnd && size_t(end - in) >= kFastInRoom) {
      // The bit above the group's last item marks its end, so a literal run never needs
      // clamping.
      uint64_t bits = (uint64_t(ctrl) >> k) | (uint64_t(1) << (32 - k));
      const uint8_t* bad = nullptr;
      size_t waiting = kUnset;  // start of literals still to enter when the group ends in them
      for (;;) {
        if (bits & 1) {
          bad = fastMatch(p, std::false_type());
          if (bad) break;
        } else {
          // Copying a fixed 32 bytes is cheaper; the bytes past the run are rewritten later.
          const unsigned run = unsigned(std::countr_zero(bits));
          const size_t first = p;
          std::memcpy(dst + p, in, 32);
          in += run;
          p += run;
          bits >>= run;
          if (bits == 1) {
            waiting = first;
            break;
          }
          bad = fastMatch(first, std::true_type());
          if (bad) break;
        }
        bits >>= 1;
        if (bits == 1 || p >= fastEnd) break;
      }
      if (bad) return fail(Status::BadMatchSource, bad, p);
      pending = waiting != kUnset ? waiting : p;
      if (bits == 1) {
        ctrl = Load32(in);
        in += 4;
        k = 0;
      } else {
        k = 33 - unsigned(std::bit_width(bits));
      }
      continue;
    }
    const uint32_t bits = ctrl >> k;
    if ((bits & 1) == 0) {
      const unsigned run = bits != 0 ? unsigned(std::countr_zero(bits)) : 32 - k;
      size_t m = n - p;
      if (m > run) m = run;
      if (size_t(end - in) < m) return fail(Status::TruncatedLiteral, in, p);
      if (size_t(end - in) >= 32 && n - p >= 32) {
        std::memcpy(dst + p, in, 32);  // fixed size is cheaper; bytes past m are rewritten later
      } else {
        std::memcpy(dst + p, in, m);
      }
      in += m;
      p += m;
      k += unsigned(m);
    } else {
      const uint8_t* item = in;
      if (p >= matchLimit) return fail(Status::BadMatchPlace, item, p);
      if (end - in < 2) return fail(Status::TruncatedMatch, item, p);
      const uint32_t w = Load16(in);
      in += 2;
      const uint32_t h = w >> 4;
      size_t i = w & 15;
      if (i == 0) {
        if (in == end) return fail(Status::TruncatedMatch, item, p);
        i = size_t(*in++) + 16;
      }
      if (i > n - p - 3) return fail(Status::BadMatchLength, item, p);
      while (pending + 3 <= p) enter(pending++);
      const uint32_t r = positions[h];
      if (r == kUnset || p - r < 3) return fail(Status::BadMatchSource, item, p);
      const size_t len = i + 2;
      const size_t d = p - r;
      uint8_t* o = dst + p;
      const uint8_t* s = dst + r;
      if (d >= 16 && p + ((len + 15) & ~size_t(15)) <= n) {
        for (size_t j = 0; j < len; j += 16) std::memcpy(o + j, s + j, 16);
      } else if (d >= 8) {
        size_t j = 0;
        for (; j + 8 <= len; j += 8) std::memcpy(o + j, s + j, 8);
        for (; j < len; ++j) o[j] = s[j];
      } else {
        for (size_t j = 0; j < len; ++j) o[j] = s[j];
      }
      while (pending < p) enter(pending++);
      positions[h] = uint32_t(p);
      p += len;
      pending = p;
      ++k;
    }
    if (k == 32) {
      if (end - in < 4) return fail(Status::TruncatedControl, in, p);
      ctrl = Load32(in);
      in += 4;
      k = 0;
    }
  }
  if (in != end) return fail(Status::TrailingBytes, in, p);
  if ((ctrl >> k) != 0) return fail(Status::StrayControlBits, in, p);
  return TDecodeResult{Status::Ok, srcLen, n};
}

uint32_t Hash32(const void* datav, size_t n) {
  const uint8_t* data = static_cast<const uint8_t*>(datav);
  uint32_t s1 = 0, s2 = 0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    s1 += Load32(data + i);
    s2 += s1;
    s1 += Load32(data + i + 4);
    s2 += s1;
    s1 += Load32(data + i + 8);
    s2 += s1;
    s1 += Load32(data + i + 12);
    s2 += s1;
  }
  for (; i + 4 <= n; i += 4) {
    s1 += Load32(data + i);
    s2 += s1;
  }
  uint32_t rest = 0;
  for (size_t j = n; j > i; --j) rest = (rest << 8) | data[j - 1];
  s1 += rest;
  s2 += s1;
  return s1 ^ (s2 << 16);
}

void THash32Stream::Add(const void* datav, size_t n) {
  const uint8_t* data = static_cast<const uint8_t*>(datav);
  while (carried_ != 0 && n != 0) {
    carry_[carried_++] = *data++;
    --n;
    if (carried_ == 4) {
      s1_ += Load32(carry_);
      s2_ += s1_;
      carried_ = 0;
    }
  }
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s1_ += Load32(data + i);
    s2_ += s1_;
  }
  for (; i < n; ++i) carry_[carried_++] = data[i];
}

uint32_t THash32Stream::Value() const {
  uint32_t rest = 0;
  for (size_t j = carried_; j > 0; --j) rest = (rest << 8) | carry_[j - 1];
  const uint32_t s1 = s1_ + rest;
  const uint32_t s2 = s2_ + s1;
  return s1 ^ (s2 << 16);
}

namespace {

constexpr size_t kLongestMatch = kMaxMatchExtra + 2;
constexpr size_t kStreamInput = 64 * 1024;
// Output kept behind the write position after each hand-over: nearly every match source lies
// within it, and it is longer than a match, so a source that leaves it is complete already.
constexpr size_t kStreamKeep = kStreamPiece;
static_assert(kStreamKeep >= kLongestMatch);

// The state of one streamed decode: the input buffer, the output window, the position table and
// the bytes saved for entries that point before the window.
class TStreamDecoder {
 public:
  TStreamDecoder(size_t srcLen, const TStreamRead& read, const TStreamEmit& emit)
      : srcLen_(srcLen),
        read_(read),
        emit_(emit),
        in_(std::min(kStreamInput, std::max(srcLen, size_t(4)))) {
    std::fill(std::begin(positions_), std::end(positions_), kUnset);
  }

  TStreamResult Run() {
    if (!Fill(4)) return Stopped();
    size_t prefix = 0;
    if (!DecompressedSize(in_.data() + inPos_, Available(), n_, &prefix))
      return Fail(Status::TruncatedPrefix);
    Take(prefix);
    item_ = consumed_;
    // Sized by the announced length only up to the window's bound: a short block takes little.
    window_.resize(std::min(n_ + kLongestMatch, kStreamKeep + kStreamPiece));
    if (n_ == 0) return consumed_ != srcLen_ ? Fail(Status::TrailingBytes) : Done();
    const size_t matchLimit = n_ >= kTailLiterals ? n_ - kTailLiterals + 1 : 0;
    if (!Fill(4)) return Stopped();
    if (Available() < 4) return Fail(Status::TruncatedControl);
    uint32_t ctrl = Load32(in_.data() + inPos_);
    Take(4);
    unsigned k = 0;
    while (p_ < n_) {
      item_ = consumed_;
      if (p_ - base_ + kLongestMatch > window_.size() && !HandOver()) return Stopped();
      const uint32_t bits = ctrl >> k;
      if ((bits & 1) == 0) {
        const unsigned run = bits != 0 ? unsigned(std::countr_zero(bits)) : 32 - k;
        const size_t m = std::min(n_ - p_, size_t(run));
        if (!Fill(m)) return Stopped();
        if (Available() < m) return Fail(Status::TruncatedLiteral);
        std::memcpy(Out(p_), in_.data() + inPos_, m);
        Take(m);
        p_ += m;
        k += unsigned(m);
      } else {
        item_ = consumed_;
        if (p_ >= matchLimit) return Fail(Status::BadMatchPlace);
        if (!Fill(3)) return Stopped();
        if (Available() < 2) return Fail(Status::TruncatedMatch);
        const uint32_t w = Load16(in_.data() + inPos_);
        Take(2);
        const uint32_t h = w >> 4;
        size_t i = w & 15;
        if (i == 0) {
          if (Available() < 1) return Fail(Status::TruncatedMatch);
          i = size_t(in_[inPos_]) + 16;
          Take(1);
        }
        if (i > n_ - p_ - 3) return Fail(Status::BadMatchLength);
        while (pending_ + 3 <= p_) Enter(pending_++);
        const uint32_t r = positions_[h];
        if (r == kUnset || p_ - r < 3) return Fail(Status::BadMatchSource);
        const size_t len = i + 2;
        uint8_t* o = Out(p_);
        if (r >= base_) {
          // A source closer than the length repeats the output: copied a distance at a time,
          // each step reads only bytes already in place.
          const uint8_t* s = Out(r);
          const size_t d = p_ - r;
          for (size_t j = 0; j < len; j += d) std::memcpy(o + j, s + j, std::min(d, len - j));
        } else {
          std::memcpy(o, &saved_[h * kLongestMatch], len);
        }
        while (pending_ < p_) Enter(pending_++);
        positions_[h] = uint32_t(p_);
        p_ += len;
        pending_ = p_;
        ++k;
      }
      item_ = consumed_;
      if (k == 32) {
        if (!Fill(4)) return Stopped();
        if (Available() < 4) return Fail(Status::TruncatedControl);
        ctrl = Load32(in_.data() + inPos_);
        Take(4);
        k = 0;
      }
    }
    item_ = consumed_;
    if (consumed_ != srcLen_) return Fail(Status::TrailingBytes);
    if ((ctrl >> k) != 0) return Fail(Status::StrayControlBits);
    if (!EmitUpTo(p_)) return Stopped();
    return Done();
  }

 private:
  size_t Available() const { return inLen_ - inPos_; }
  void Take(size_t k) {
    inPos_ += k;
    consumed_ += k;
  }
  // Makes at least k bytes available, or all the block has left; false when read stopped.
  bool Fill(size_t k) {
    if (Available() >= k || fetched_ == srcLen_) return true;
    std::memmove(in_.data(), in_.data() + inPos_, Available());
    inLen_ = Available();
    inPos_ = 0;
    const size_t want = std::min(in_.size() - inLen_, srcLen_ - fetched_);
    if (!read_(in_.data() + inLen_, want)) return false;
    inLen_ += want;
    fetched_ += want;
    return true;
  }
  bool EmitUpTo(size_t end) {
    while (emitted_ < end) {
      const size_t piece = std::min(end - emitted_, kStreamPiece);
      if (!emit_(Out(emitted_), piece)) return false;
      emitted_ += piece;
    }
    return true;
  }
  uint8_t* Out(size_t q) { return window_.data() + (q - base_); }
  void Enter(size_t q) { positions_[Hash3(Out(q))] = uint32_t(q); }

  // Hands the output so far to emit and slides the window, first saving what the entries that
  // leave it can still be asked to copy.
  bool HandOver() {
    if (!EmitUpTo(p_)) return false;
    // Literals are entered early here rather than at the next match: nothing looks the table
    // up in between, so the table is the same, and none of them is left outside the window.
    while (pending_ + 3 <= p_) Enter(pending_++);
    const size_t newBase = p_ - kStreamKeep;
    saved_.resize(kTableSize * kLongestMatch);
    for (size_t h = 0; h < kTableSize; ++h) {
      const uint32_t r = positions_[h];
      if (r == kUnset || r < base_ || r >= newBase) continue;
      std::memcpy(&saved_[h * kLongestMatch], Out(r), std::min(kLongestMatch, n_ - r));
    }
    std::memmove(window_.data(), Out(newBase), p_ - newBase);
    base_ = newBase;
    return true;
  }

  TStreamResult Fail(Status s) const { return {TDecodeResult{s, item_, p_}, false}; }
  TStreamResult Done() const { return {TDecodeResult{Status::Ok, srcLen_, n_}, false}; }
  TStreamResult Stopped() const { return {TDecodeResult{Status::Ok, item_, p_}, true}; }

  const size_t srcLen_;
  const TStreamRead& read_;
  const TStreamEmit& emit_;
  std::vector<uint8_t> in_;
  size_t inPos_ = 0, inLen_ = 0;
  size_t fetched_ = 0;   // block bytes read into in_
  size_t consumed_ = 0;  // block bytes decoded
  size_t item_ = 0;      // block offset of the item or word being decoded
  std::vector<uint8_t> window_;
  size_t base_ = 0;  // output position of window_[0]
  std::vector<uint8_t> saved_;
  uint32_t positions_[kTableSize];
  size_t n_ = 0, p_ = 0, pending_ = 0, emitted_ = 0;
};

}  // namespace

TStreamResult DecompressStream(size_t srcLen, const TStreamRead& read, const TStreamEmit& emit) {
  return TStreamDecoder(srcLen, read, emit).Run();
}

}  // namespace SynLZ
