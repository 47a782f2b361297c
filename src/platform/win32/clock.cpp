// Millisecond tick and local time.
#include "platform/clock.h"

#include <windows.h>
#include <mmsystem.h>

namespace eklv::pf {

std::uint32_t GetTickCount() { return ::timeGetTime(); }

LocalTime GetLocalTime() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

}  // namespace eklv::pf
