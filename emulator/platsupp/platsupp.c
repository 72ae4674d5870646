/*
 * platsupp.c - the emulated device's platform-support library,
 * libvyrplatsupp.so.
 *
 * Before every schedule start libulmot asks this library whether radio
 * access is blocked (PLATFORM_RadioAccessIsBlocked, looked up once per
 * process by dlopen("libvyrplatsupp.so")). On the device the answer comes
 * from the power supply; here it comes from a file the user controls:
 * radio access is blocked while a file exists at the path held by the
 * environment variable ULMOT_RADIO_BLOCKED_FILE. Without the variable (or
 * with an empty one) radio access is never blocked.
 *
 * The variable is read and the path looked at on every call (a getenv and a
 * stat), so creating or removing the file takes effect at the next start of
 * any process that set the variable. A path that cannot be looked at for
 * another reason than "nothing there" (a directory that may not be
 * searched, a loop of symbolic links, a name too long) counts as blocked:
 * when the state of the supply cannot be read the radio stays off.
 *
 * The library exports PLATFORM_RadioAccessIsBlocked and nothing else
 * (exports.map).
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#define RADIO_BLOCKED_FILE_VARIABLE "ULMOT_RADIO_BLOCKED_FILE"

__attribute__((visibility("default"))) int PLATFORM_RadioAccessIsBlocked(void);

int PLATFORM_RadioAccessIsBlocked(void) {
    const char *path = getenv(RADIO_BLOCKED_FILE_VARIABLE);
    if (path == NULL || path[0] == '\0') return 0;
    /* The caller's errno is left as it was. */
    const int saved = errno;
    struct stat st;
    int blocked = 1;
    if (stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) blocked = 0;
    errno = saved;
    return blocked;
}
