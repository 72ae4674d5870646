// tools/common/iso_time.h - a wall-clock time as the tools print it.
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace tools {

// "2026-01-02T03:04:05.678Z" (UTC, milliseconds).
inline std::string IsoTime(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return buffer;
}

}  // namespace tools
