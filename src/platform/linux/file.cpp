// Files of the Linux backend: CreateFileA and the read, write and control
// calls, dispatched to serial ports (serial_port.h) and USB hubs (the hub
// backend behind device_open.h).
#include "platform/file.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/linux/device_open.h"
#include "platform/linux/serial_port.h"
#include "platform/sync.h"
#include "platform/thread.h"

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

bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* read, Overlapped* overlapped) {
    auto port = lx::PortFromHandle(file);
    return port && port->Read(buffer, size, read, overlapped);
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t size, std::uint32_t* written, Overlapped* overlapped) {
    auto port = lx::PortFromHandle(file);
    return port && port->Write(buffer, size, written, overlapped);
}

bool GetOverlappedResult(Handle file, Overlapped* overlapped, std::uint32_t* transferred, bool wait) {
    (void)file;
    if (overlapped == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    // Waiting on the event also drives the pending operation (its descriptor
    // is attached to the event); a zero wait gives it one look.
    std::uint32_t r = WaitForSingleObject(overlapped->event, wait ? kInfinite : 0);
    if (r == kWaitFailed) return false;
    if (r == kWaitTimeout) {
        SetLastError(kErrorIoIncomplete);
        return false;
    }
    if (transferred) *transferred = static_cast<std::uint32_t>(overlapped->internal_high);
    if (overlapped->internal == lx::kOverlappedPending) {  // event set by someone else
        SetLastError(kErrorIoIncomplete);
        return false;
    }
    if (overlapped->internal != 0) {
        SetLastError(static_cast<std::uint32_t>(overlapped->internal));
        return false;
    }
    return true;
}

bool CancelIo(Handle file) {
    auto port = lx::PortFromHandle(file);
    if (!port) return false;
    port->CancelPending(GetCurrentThreadId(), lx::kOpAll);
    return true;
}

// Hub requests finish at once: only serial ports have anything to cancel.
bool CancelIoEx(Handle file, Overlapped* overlapped) {
    auto port = lx::PortFromHandle(file);
    return port && port->CancelAll(overlapped);
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
