// What a fuzz target does when a property of the code under test fails: it
// says which one and aborts, so that the fuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition, what)                                                  \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "fuzz property failed: %s (%s:%d)\n", what, __FILE__, __LINE__); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
