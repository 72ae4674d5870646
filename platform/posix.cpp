// POSIX implementation of the platform contract (platform.h).
#include "platform.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace ulmot::plat {

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

uint32_t TickCountMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                        static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

unsigned long CurrentThreadId() {
    // The kernel's thread id, cached per thread: it never changes.
    thread_local const unsigned long id = static_cast<unsigned long>(syscall(SYS_gettid));
    return id;
}

}  // namespace ulmot::plat
