#include "tests/unit/log/FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool tArmed = false;
thread_local long tCount = 0;
thread_local long tFailAt = 0;

}  // namespace

namespace FailingAllocation {

void Arm(long failAt) {
  tCount = 0;
  tFailAt = failAt;
  tArmed = true;
}

long Disarm() {
  tArmed = false;
  return tCount;
}

}  // namespace FailingAllocation

void* operator new(std::size_t n) {
  if (tArmed && ++tCount == tFailAt) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
