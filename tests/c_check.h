/* tests/c_check.h - the one check macro of the C test programs: reports the
 * failed condition and counts it; the program's exit code is the count. */
#ifndef ULMOT_TESTS_C_CHECK_H
#define ULMOT_TESTS_C_CHECK_H

#include <stdio.h>

static int failures;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                \
        }                                                              \
    } while (0)

#endif
