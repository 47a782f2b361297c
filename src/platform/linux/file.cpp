// CreateFileA and DeviceIoControl of the Linux backend, dispatched to USB
// hubs and serial ports (device_open.h). The serial backend adds the read,
// write and overlapped calls.
#include "platform/file.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/linux/device_open.h"
#include "platform/sync.h"

namespace eklv::pf {
namespace lx {

bool IsHubSymbolicName(const std::string& name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.find("{f18a0e88-c30c-11d0-8815-00a0c906bed8}") != std::string::npos;
}

}  // namespace lx

Handle CreateFileA(const char* name, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                   std::uint32_t flags) {
    (void)access;
    (void)share;
    if (name == nullptr || *name == '\0' || disposition != kOpenExisting) {
        SetLastError(name == nullptr || *name == '\0' ? kErrorFileNotFound : kErrorInvalidParameter);
        return kInvalidHandle;
    }
    const std::string text(name);
    if (lx::IsHubSymbolicName(text)) return lx::OpenHubDevice(text);
    return lx::OpenSerialDevice(text, (flags & kFileFlagOverlapped) != 0);
}

bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                     std::uint32_t out_size, std::uint32_t* returned, Overlapped* overlapped) {
    std::uint32_t count = 0;
    bool ok = lx::HubDeviceIoControl(device, code, in, in_size, out, out_size, &count);
    if (returned) *returned = count;
    if (ok && overlapped != nullptr) {  // hub requests finish at once
        overlapped->internal = 0;
        overlapped->internal_high = count;
        if (overlapped->event != kNullHandle) SetEvent(overlapped->event);
    }
    return ok;
}

}  // namespace eklv::pf
