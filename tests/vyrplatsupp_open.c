/* A stand-in for the device's platform-support library in which radio
 * access is never blocked. It counts how often it is asked. */
#include <stdatomic.h>

int PLATFORM_RadioAccessIsBlocked(void);
int vyrplatsupp_TestCalls(void);

static atomic_int calls;

int PLATFORM_RadioAccessIsBlocked(void) {
    atomic_fetch_add(&calls, 1);
    return 0;
}

int vyrplatsupp_TestCalls(void) { return atomic_load(&calls); }
