// ulmot_Debug: the library's one diagnostic line, "[thread:ms]message\n".
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"
#include "ulmot/buffers.h"

namespace {
constexpr size_t kMessageCapacity = 200;  // at most 199 characters and the terminator
}

extern "C" void ulmot_Debug(const char *format, ...) {
    char message[kMessageCapacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    // Thread id and tick are at most 20 + 10 digits; the whole line is built
    // first and written with a single call so that lines of several threads
    // never interleave.
    char line[kMessageCapacity + 40];
    const int n = std::snprintf(line, sizeof line, "[%lu:%lu]%s\n", ulmot::plat::CurrentThreadId(),
                                static_cast<unsigned long>(ulmot::plat::TickCountMs()), message);
    if (n <= 0) return;
    size_t left = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    const char *p = line;
    while (left > 0) {
        const ssize_t written = write(STDERR_FILENO, p, left);
        if (written <= 0) return;
        p += written;
        left -= static_cast<size_t>(written);
    }
}
