// Millisecond tick and local time.
#include "platform/clock.h"

#include <sys/time.h>

#include <ctime>

namespace eklv::pf {

std::uint32_t GetTickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);  // wraps like timeGetTime
}

LocalTime GetLocalTime() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts;
    time_t seconds = ts.tv_sec;
    localtime_r(&seconds, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min,         parts.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

}  // namespace eklv::pf
