// Inside the JSON library only: what one thread keeps between documents so that the next ones
// need no fresh allocations (freed document blocks, emptied member and item lists, the parser's
// stack of pending array items). Kept beside the documents, which take and give it back; the
// parser and the creation helpers take from it too.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <utility>
#include <vector>

#include "lib/json/clsJSONDocument.h"

namespace JSONInternal {

// Emptied member or item lists kept for reuse, filed by capacity (buckets of powers of two from
// 1 to 255 elements), with a bound on the elements kept in each bucket, so that lists of one
// shape kept from earlier texts never leave no room for the lists of another, and one on all
// the elements kept.
template <class T>
class TSpareLists {
 public:
  // An empty list with room for at least n elements. New lists get just that room: lists of one
  // shape, given back, are found again by the same need, and a document's lists stay small
  // enough for the allocator's quick paths. Inlined into the parser, which takes one for nearly
  // every object and array it reads.
  [[gnu::always_inline]] std::vector<T> Take(size_t n) {
    n = std::max<size_t>(n, 1);
    const size_t below = static_cast<size_t>(std::bit_width(n) - 1);  // may hold enough
    const size_t above = static_cast<size_t>(std::bit_width(n - 1));  // holds enough
    // Not beyond the next bucket: a much larger list is not spent on a small need.
    for (size_t b = below; b <= above + 1 && b < kBuckets; ++b) {
      if (!FLists[b].empty() && FLists[b].back().capacity() >= n) {
        std::vector<T> v = std::move(FLists[b].back());
        FLists[b].pop_back();
        FKept[b] -= v.capacity();
        FKeptTotal -= v.capacity();
        return v;
      }
    }
    std::vector<T> v;
    v.reserve(n);
    return v;
  }

  // Keeps the storage of v (emptied first) when there is room; otherwise v keeps it to free.
  void Give(std::vector<T>& v) {
    v.clear();
    const size_t capacity = v.capacity();
    if (capacity == 0) return;
    const size_t bucket = static_cast<size_t>(std::bit_width(capacity) - 1);
    if (bucket >= kBuckets || FKept[bucket] + capacity > kMaxKeptPerBucket ||
        FKeptTotal + capacity > kMaxKept)
      return;
    FLists[bucket].push_back(std::move(v));
    FKept[bucket] += capacity;
    FKeptTotal += capacity;
  }

 private:
  static constexpr size_t kBuckets = 8;
  // Enough for the line objects of a large order (a few thousand lines) to be found again.
  static constexpr size_t kMaxKeptPerBucket = 16384;
  static constexpr size_t kMaxKept = 32768;
  std::array<std::vector<std::vector<T>>, kBuckets> FLists;
  std::array<size_t, kBuckets> FKept{};
  size_t FKeptTotal = 0;
};

// What one thread keeps between documents: freed document blocks, emptied member and item lists,

// What one thread keeps between documents. Owned by the thread (freed at its end, or when the
// library is unloaded), never shared with another.
class TSpares {
 public:
  TSpares();
  ~TSpares();
  TSpares(const TSpares&) = delete;
  TSpares& operator=(const TSpares&) = delete;

  // This thread's spares, or nullptr once they are gone at the thread's end.
  static TSpares* Get();

  // A kept document block (sizeof(TJSONDocument) bytes), or nullptr.
  void* TakeBlock() noexcept;
  // Keeps a freed document block; false when there is no room (the caller frees it).
  bool GiveBlock(void* block);

  TSpareLists<TJSONMember> Members;
  TSpareLists<TJSONValue> Items;
  std::vector<TJSONValue> PendingItems;
  static constexpr size_t kMaxPendingItems = 16384;

 private:
  static constexpr size_t kMaxBlocks = 4096;
  static TSpares* Create();
  std::vector<void*> FBlocks;
};

}  // namespace JSONInternal
