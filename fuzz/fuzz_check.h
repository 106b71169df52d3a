// A check that stays on under NDEBUG: a failed one aborts, which the fuzzer reports.
#ifndef IMG_WHITEN_FUZZ_CHECK_H
#define IMG_WHITEN_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

#endif
