// Files and devices opened by name: serial ports and USB hubs.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace eklv::pf {

inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kFileShareRead = 0x1;
inline constexpr std::uint32_t kFileShareWrite = 0x2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileFlagOverlapped = 0x40000000u;

// OVERLAPPED: an operation that may complete later signals event (a manual
// reset event made with CreateEventA) and leaves its result here.
struct Overlapped {
    std::uintptr_t internal = 0;       // status of the operation
    std::uintptr_t internal_high = 0;  // bytes transferred
    std::uint32_t offset = 0;
    std::uint32_t offset_high = 0;
    Handle event = kNullHandle;
};

// Opens a device by name:
// - "\\.\<port>" and a serial interface's symbolic name open its tty;
// - a USB hub's symbolic name (class {f18a0e88-...}) opens the hub for
//   the hub control requests of DeviceIoControl.
// Answers kInvalidHandle with the last error set on failure.
Handle CreateFileA(const char* name, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                   std::uint32_t flags);

// With overlapped null the call blocks (bounded by the port's time-outs).
// With overlapped set on a handle opened with kFileFlagOverlapped, a call
// that cannot finish at once answers false with kErrorIoPending and
// completes through the overlapped event.
bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* read, Overlapped* overlapped);
bool WriteFile(Handle file, const void* buffer, std::uint32_t size, std::uint32_t* written, Overlapped* overlapped);
bool GetOverlappedResult(Handle file, Overlapped* overlapped, std::uint32_t* transferred, bool wait);
// Cancels pending overlapped operations of the calling thread on the file.
bool CancelIo(Handle file);
// Cancels the operations in flight on the file of every thread of the
// process, blocking ones included (they fail with kErrorOperationAborted),
// or with overlapped set only the operation started with it. The file stays
// open and later operations run as usual.
bool CancelIoEx(Handle file, Overlapped* overlapped);

bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                     std::uint32_t out_size, std::uint32_t* returned, Overlapped* overlapped);

}  // namespace eklv::pf
