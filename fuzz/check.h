// Failure report for the fuzz targets: a wrong result aborts, so that
// libFuzzer and the regression runner treat it as a crash.
#ifndef CAMKIT_FUZZ_CHECK_H
#define CAMKIT_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

#endif  // CAMKIT_FUZZ_CHECK_H
