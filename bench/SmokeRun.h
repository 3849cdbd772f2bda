// A smoke run of a benchmark program (--smoke): every benchmark once, on small inputs and for a
// single short round, so that the test suite proves each program still runs from start to end.
// It measures nothing. The program fails when any benchmark reported an error (Google Benchmark
// itself still exits 0 then) or when no benchmark ran at all.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace BenchSmoke {

// Added before the caller's own arguments: one iteration is enough, a given time still wins.
inline char kMinTimeFlag[] = "--benchmark_min_time=0";

inline bool IsFlag(const char* arg) { return std::strcmp(arg, "--smoke") == 0; }

inline bool Requested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (IsFlag(argv[i])) return true;
  return false;
}

// The program's exit code after its benchmarks ran, with the reason on standard error.
inline int Verdict(const char* program, size_t ran, int errors) {
  if (errors > 0) {
    std::fprintf(stderr, "%s: %d benchmark(s) failed (ERROR OCCURRED above)\n", program, errors);
    return 1;
  }
  if (ran == 0) {
    std::fprintf(stderr, "%s: no benchmark ran (a filter that matches none?)\n", program);
    return 1;
  }
  return 0;
}

}  // namespace BenchSmoke
