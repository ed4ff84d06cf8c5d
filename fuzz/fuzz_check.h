#pragma once

#include <cstdio>
#include <cstdlib>

namespace trunvex::fuzzing {

// Stops the fuzzer with the invariant that broke, so the crash report says which.
inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

}  // namespace trunvex::fuzzing
