// Devices opened by name (COM ports, hubs) and their I/O: kernel32's own.
// A serial port's "\\.\COMn" and a device interface's symbolic name both
// open the device directly on Windows.
#include "platform/file.h"

#include <windows.h>

#include <cstddef>

#include "platform/serial.h"
#include "platform/win32/comm_wait.h"
#include "platform/win32/sync_transfers.h"

namespace eklv::pf {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, event) == offsetof(OVERLAPPED, hEvent));

namespace {
HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }
OVERLAPPED* Ov(Overlapped* o) { return reinterpret_cast<OVERLAPPED*>(o); }

// A read whose port's time-outs ask for an answer at once ({MAXDWORD, 0, 0})
// but that the driver left pending (Wine 8 on a pty keeps it until data
// comes) is ended here: cancelled, and answered with what it got.
bool ImmediateReadLeftPending(Handle file, Overlapped* overlapped, std::uint32_t* read) {
    COMMTIMEOUTS timeouts{};
    if (!::GetCommTimeouts(H(file), &timeouts) || timeouts.ReadIntervalTimeout != MAXDWORD ||
        timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0) {
        ::SetLastError(ERROR_IO_PENDING);
        return false;
    }
    ::CancelIoEx(H(file), Ov(overlapped));
    DWORD count = 0;
    if (!::GetOverlappedResult(H(file), Ov(overlapped), &count, TRUE) &&
        ::GetLastError() != ERROR_OPERATION_ABORTED)
        return false;
    if (read != nullptr) *read = count;
    overlapped->internal = 0;
    overlapped->internal_high = count;
    ::SetEvent(H(overlapped->event));
    return true;
}
}  // namespace

Handle CreateFileA(const char* name, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                   std::uint32_t flags) {
    return reinterpret_cast<Handle>(::CreateFileA(name, access, share, nullptr, disposition, flags, nullptr));
}

bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* read, Overlapped* overlapped) {
    DWORD count = 0;
    BOOL ok;
    if (overlapped == nullptr) {
        w32::SyncTransfer inside(H(file));
        ok = ::ReadFile(H(file), buffer, size, &count, nullptr);
    } else {
        ok = ::ReadFile(H(file), buffer, size, &count, Ov(overlapped));
    }
    if (ok) {
        if (read != nullptr) *read = count;
        return true;
    }
    if (read != nullptr) *read = 0;
    if (overlapped != nullptr && ::GetLastError() == ERROR_IO_PENDING)
        return ImmediateReadLeftPending(file, overlapped, read);
    return false;
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t size, std::uint32_t* written, Overlapped* overlapped) {
    DWORD count = 0;
    BOOL ok;
    if (overlapped == nullptr) {
        w32::SyncTransfer inside(H(file));
        ok = ::WriteFile(H(file), buffer, size, &count, nullptr);
    } else {
        ok = ::WriteFile(H(file), buffer, size, &count, Ov(overlapped));
    }
    if (written != nullptr) *written = ok ? count : 0;
    return ok != FALSE;
}

bool GetOverlappedResult(Handle file, Overlapped* overlapped, std::uint32_t* transferred, bool wait) {
    DWORD count = 0;
    BOOL ok = ::GetOverlappedResult(H(file), Ov(overlapped), &count, wait);
    if (transferred != nullptr) *transferred = count;
    return ok != FALSE;
}

bool CancelIo(Handle file) {
    w32::AbortCommWaits(file, w32::CommWaitAbort::kCancel);
    return ::CancelIo(H(file)) != FALSE;
}

bool CancelIoEx(Handle file, Overlapped* overlapped) {
    w32::AbortCommWaits(file, w32::CommWaitAbort::kCancelAll, 0, overlapped);
    if (overlapped == nullptr) w32::CancelSyncTransfers(H(file));
    // ERROR_NOT_FOUND: nothing asynchronous was in flight.
    return ::CancelIoEx(H(file), Ov(overlapped)) != FALSE || ::GetLastError() == ERROR_NOT_FOUND;
}

bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                     std::uint32_t out_size, std::uint32_t* returned, Overlapped* overlapped) {
    DWORD count = 0;
    BOOL ok = ::DeviceIoControl(H(device), code, in, in_size, out, out_size, &count, Ov(overlapped));
    if (returned != nullptr) *returned = count;
    return ok != FALSE;
}

}  // namespace eklv::pf
