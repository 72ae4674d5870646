/* A stand-in for the device's platform-support library, which counts how
 * often it is asked: radio access is always blocked (VYRPLATSUPP_BLOCKED 1)
 * or never (0); built with VYRPLATSUPP_NO_EXPORT it lacks the export. */
#include <stdatomic.h>

int vyrplatsupp_TestCalls(void);

static atomic_int calls;

int vyrplatsupp_TestCalls(void) { return atomic_load(&calls); }

#ifndef VYRPLATSUPP_NO_EXPORT
int PLATFORM_RadioAccessIsBlocked(void);

int PLATFORM_RadioAccessIsBlocked(void) {
    atomic_fetch_add(&calls, 1);
    return VYRPLATSUPP_BLOCKED;
}
#endif
