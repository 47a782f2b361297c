// Millisecond tick and local time.
#pragma once

#include <cstdint>

namespace eklv::pf {

// Milliseconds since an arbitrary start, wrapping at 2^32 (timeGetTime).
std::uint32_t GetTickCount();

struct LocalTime {
    int year;
    int month;   // 1..12
    int day;     // 1..31
    int hour;
    int minute;
    int second;
    int millisecond;
};

LocalTime GetLocalTime();

}  // namespace eklv::pf
