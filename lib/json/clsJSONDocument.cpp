// The documents (objects and arrays) and the storage each thread keeps for the next ones; the
// creation helpers that build documents from lists.
#include "lib/json/clsJSONDocument.h"

#include <pthread.h>

#include <memory>

#include "lib/common/AsciiCase.h"
#include "lib/json/JSONSpares.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVRA_JSON_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DOVRA_JSON_ASAN 1
#endif
#ifdef DOVRA_JSON_ASAN
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

using JSONInternal::TSpares;

// ---- Spare storage --------------------------------------------------------------------------

namespace {

// What a thread's documents look up on every creation and drop, in one place. Trivial, so that
// it holds the library in memory no longer than the thread's own spares do (see TSparesKey).
struct TThreadState {
  JSONInternal::TSpares* Spares = nullptr;
  bool SparesGone = false;
  // How many document drops are under way on this thread, one inside the other.
  int DropDepth = 0;
  // Where documents nested too deep to drop here are handed over (the outermost drop's list).
  std::vector<TJSONValue>* DropLater = nullptr;
};
thread_local TThreadState tlsThread;

}  // namespace

namespace JSONInternal {

TSpares::TSpares() { tlsThread.Spares = this; }

TSpares::~TSpares() {
  tlsThread.Spares = nullptr;
  tlsThread.SparesGone = true;  // documents freed later on this thread (at exit) free their storage
  for (void* block : FBlocks) {
    ASAN_UNPOISON_MEMORY_REGION(block, sizeof(TJSONDocument));
    ::operator delete(block);
  }
}

TSpares* TSpares::Get() {
  TThreadState& thread = tlsThread;
  if (thread.Spares) return thread.Spares;
  if (thread.SparesGone) return nullptr;
  return Create();
}

void* TSpares::TakeBlock() noexcept {
  if (FBlocks.empty()) return nullptr;
  void* block = FBlocks.back();
  FBlocks.pop_back();
  ASAN_UNPOISON_MEMORY_REGION(block, sizeof(TJSONDocument));
  return block;
}

bool TSpares::GiveBlock(void* block) {
  if (FBlocks.size() >= kMaxBlocks) return false;
  FBlocks.push_back(block);
  // A kept block is still a freed document to the address checker.
  ASAN_POISON_MEMORY_REGION(block, sizeof(TJSONDocument));
  return true;
}

namespace {

// A thread's spares are owned through a thread-specific key, not a thread_local object: a
// thread_local with a destructor keeps the library that holds it loaded until the thread ends, and
// a module the host unloads must really go. Deleting the key when the library's statics end means
// no later thread end calls into unloaded code; the unloading thread's own spares are freed then.
class TSparesKey {
 public:
  TSparesKey() { FValid = pthread_key_create(&FKey, &ThreadEnd) == 0; }
  ~TSparesKey() {
    if (!FValid) return;
    if (void* mine = pthread_getspecific(FKey)) {
      pthread_setspecific(FKey, nullptr);
      ThreadEnd(mine);
    }
    pthread_key_delete(FKey);
    FValid = false;
  }
  TSparesKey(const TSparesKey&) = delete;
  TSparesKey& operator=(const TSparesKey&) = delete;

  // Hands a thread's spares to the key; false (and nothing kept) when there is no key.
  bool Keep(std::unique_ptr<TSpares>& spares) {
    if (!FValid || pthread_setspecific(FKey, spares.get()) != 0) return false;
    [[maybe_unused]] TSpares* owned = spares.release();
    return true;
  }

 private:
  static void ThreadEnd(void* spares) {
    std::unique_ptr<TSpares> owned(static_cast<TSpares*>(spares));
  }
  pthread_key_t FKey{};
  bool FValid = false;
};

TSparesKey gSparesKey;

}  // namespace

TSpares* TSpares::Create() {
  auto spares = std::make_unique<TSpares>();
  TSpares* const current = spares.get();
  if (!gSparesKey.Keep(spares)) return nullptr;  // spares destroyed; SparesGone now set
  return current;
}

}  // namespace JSONInternal

// ---- TJSONDocument --------------------------------------------------------------------------

namespace {

// A document dropped inside the drop of another goes one level deeper into the call stack. A
// document built through the API may be nested far deeper than the parser reads and the stack
// holds, so past this many levels the nested documents are handed to the outermost drop, which
// drops them one after the other.
constexpr int kMaxDropDepth = 64;

void HandOverNested(std::vector<TJSONMember>& members, std::vector<TJSONValue>& items,
                    std::vector<TJSONValue>& later) {
  for (TJSONMember& m : members) {
    if (m.Value.Kind() == TJSONKind::Document) later.push_back(std::move(m.Value));
  }
  for (TJSONValue& item : items) {
    if (item.Kind() == TJSONKind::Document) later.push_back(std::move(item));
  }
}

// The drop no other drop is under way around: takes the documents handed over from deep down.
[[gnu::noinline]] void ClearOutermost(std::vector<TJSONMember>& members,
                                      std::vector<TJSONValue>& items, TThreadState& thread) {
  std::vector<TJSONValue> later;
  thread.DropLater = &later;
  thread.DropDepth = 1;
  members.clear();
  items.clear();
  while (!later.empty()) {
    TJSONValue next = std::move(later.back());
    later.pop_back();
  }
  thread.DropLater = nullptr;
  thread.DropDepth = 0;
}

}  // namespace

TJSONDocument::~TJSONDocument() {
  // The members and items go first (freeing nested documents), then the emptied lists are kept.
  TThreadState& thread = tlsThread;
  const int depth = thread.DropDepth;
  if (depth == 0) {
    ClearOutermost(FMembers, FItems, thread);
  } else {
    if (depth >= kMaxDropDepth) [[unlikely]]
      HandOverNested(FMembers, FItems, *thread.DropLater);
    thread.DropDepth = depth + 1;
    FMembers.clear();
    FItems.clear();
    thread.DropDepth = depth;
  }
  if (TSpares* spares = TSpares::Get()) {
    spares->Members.Give(FMembers);
    spares->Items.Give(FItems);
  }
}

void* TJSONDocument::operator new(std::size_t size) {
  if (size == sizeof(TJSONDocument)) {
    if (TSpares* spares = TSpares::Get()) {
      if (void* block = spares->TakeBlock()) return block;
    }
  }
  return ::operator new(size);
}

void TJSONDocument::operator delete(void* block, std::size_t size) noexcept {
  if (size == sizeof(TJSONDocument)) {
    TSpares* spares = TSpares::Get();
    if (spares && spares->GiveBlock(block)) return;
  }
  ::operator delete(block);
}

int32_t TJSONDocument::Count() const noexcept {
  switch (FKind) {
    case TJSONDocumentKind::Object:
      return static_cast<int32_t>(FMembers.size());
    case TJSONDocumentKind::Array:
      return static_cast<int32_t>(FItems.size());
    default:
      return 0;
  }
}

const TJSONValue* TJSONDocument::Find(std::string_view name) const noexcept {
  for (const TJSONMember& m : FMembers) {
    if (SameTextAscii(m.Name, name)) return &m.Value;
  }
  return nullptr;
}

TJSONValue* TJSONDocument::Find(std::string_view name) noexcept {
  for (TJSONMember& m : FMembers) {
    if (SameTextAscii(m.Name, name)) return &m.Value;
  }
  return nullptr;
}

void TJSONDocument::Set(std::string_view name, TJSONValue value) {
  if (TJSONValue* existing = Find(name)) {
    *existing = std::move(value);
  } else {
    FMembers.push_back({std::string(name), std::move(value)});
  }
}

void TJSONDocument::Append(std::string name, TJSONValue value) {
  FMembers.push_back({std::move(name), std::move(value)});
}

void TJSONDocument::Add(TJSONValue value) { FItems.push_back(std::move(value)); }

const TJSONValue& TJSONDocument::At(int32_t index) const {
  const int32_t count = Count();
  if (index < 0 || index >= count)
    throw EJSONDocumentError("Out of range [" + std::to_string(index) +
                             "] (count=" + std::to_string(count) + ")");
  return FKind == TJSONDocumentKind::Array ? FItems[static_cast<size_t>(index)]
                                           : FMembers[static_cast<size_t>(index)].Value;
}

// ---- Creation helpers -----------------------------------------------------------------------

TJSONValue NewObjectDocument(std::initializer_list<TJSONValue> pairs) {
  auto doc = MakeObject<TJSONDocument>(TJSONDocumentKind::Object);
  if (TSpares* spares = TSpares::Get(); spares && pairs.size() >= 2)
    doc->Members() = spares->Members.Take(pairs.size() / 2);
  else
    doc->Members().reserve(pairs.size() / 2);
  const TJSONValue* const list = pairs.begin();
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) doc->Append(list[i].ToText(), list[i + 1]);
  return TJSONValue(std::move(doc));
}

TJSONValue NewArrayDocument(std::initializer_list<TJSONValue> items) {
  auto doc = MakeObject<TJSONDocument>(TJSONDocumentKind::Array);
  doc->Items().assign(items.begin(), items.end());
  return TJSONValue(std::move(doc));
}
