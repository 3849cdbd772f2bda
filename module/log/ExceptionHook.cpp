// Records every C++ exception thrown by the module's own code in the module log before it
// propagates. The module's throw sites bind to this hidden __cxa_throw (it is linked into the
// module only), which writes one entry and hands the exception to the run-time's own.

// Declared before any header can throw: the compiler's implicit declaration would otherwise fix
// the entry point's visibility as default, and the module's throw sites must bind to this one.
extern "C" __attribute__((visibility("hidden"), noreturn)) void __cxa_throw(void*, void*,
                                                                            void (*)(void*));

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

#include "module/log/SynLog.h"

extern "C" char* __cxa_demangle(const char* mangled, char* out, size_t* length, int* status);

namespace {

// The compiler's own implicit declaration types the thrown type as void*.
using ThrowFn = void (*)(void*, void*, void (*)(void*));

constexpr int kMaxTrace = 64;

// A throw raised while the hook itself runs (allocation failure, the logger) goes straight on.
thread_local bool tInHook = false;

void Record(void* object, const std::type_info* type, const void* address) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      __cxa_demangle(type->name(), nullptr, nullptr, &status), &std::free);
  const char* className = status == 0 && demangled ? demangled.get() : type->name();
  const char* message = "";
  void* adjusted = object;
  if (typeid(std::exception).__do_catch(type, &adjusted, 1))
    message = static_cast<const std::exception*>(adjusted)->what();
  void* trace[kMaxTrace];
  const int depth = ::backtrace(trace, kMaxTrace);
  // The first frames are this hook's own.
  const int skip = depth > 2 ? 2 : 0;
  SynLogNotifyException(TSynLogInfo::sllException, className, message ? message : "", address,
                        trace + skip, static_cast<size_t>(depth - skip));
}

}  // namespace

extern "C" __attribute__((visibility("hidden"), noreturn)) void __cxa_throw(
    void* object, void* type, void (*destructor)(void*)) {
  static const ThrowFn real = reinterpret_cast<ThrowFn>(::dlsym(RTLD_NEXT, "__cxa_throw"));
  if (!tInHook) {
    tInHook = true;
    try {
      Record(object, static_cast<const std::type_info*>(type), __builtin_return_address(0));
    } catch (...) {
    }
    tInHook = false;
  }
  if (!real) std::abort();
  real(object, type, destructor);
  __builtin_unreachable();
}
