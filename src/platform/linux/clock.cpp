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
    // The broken-down time is computed once per second and thread: every log
    // line asks for it, and localtime_r is many times dearer than the clock.
    thread_local time_t cached_second = -1;
    thread_local tm cached_parts;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != cached_second) {
        time_t seconds = ts.tv_sec;
        localtime_r(&seconds, &cached_parts);
        cached_second = ts.tv_sec;
    }
    const tm& parts = cached_parts;
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min,         parts.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

}  // namespace eklv::pf
