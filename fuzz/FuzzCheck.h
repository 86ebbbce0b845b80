// What a fuzz target asserts: a broken property aborts, so libFuzzer keeps the input.
#ifndef FUZZ_FUZZCHECK_H
#define FUZZ_FUZZCHECK_H

#include <cstdlib>

inline void check(bool condition) {
    if (!condition) std::abort();
}

#endif
