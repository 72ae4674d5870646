/* A library named like the device's platform-support library that lacks
 * PLATFORM_RadioAccessIsBlocked: starts must go ahead without asking. */
int vyrplatsupp_TestCalls(void);

int vyrplatsupp_TestCalls(void) { return 0; }
