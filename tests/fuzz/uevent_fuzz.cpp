// Datagrams of any bytes as the monitor's uevent socket would take them:
// parsed or refused, and a parsed one has an action, a subsystem and a
// path below /sys, whichever keys are asked.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/linux/uevent_socket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace eklv::pf::lx;
    Uevent uevent;
    if (!ParseUevent(reinterpret_cast<const char*>(data), size, &uevent)) return 0;
    if (*uevent.action() == '\0' || *uevent.subsystem() == '\0' || std::strncmp(uevent.syspath(), "/sys/", 5) != 0)
        __builtin_trap();
    for (const char* key : {"DEVPATH", "DEVTYPE", "PRODUCT", "", "=", "ACTION="}) {
        const char* value = uevent.Property(key);
        if (value != nullptr) static_cast<void>(std::strlen(value));
    }
    return 0;
}
