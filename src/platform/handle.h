// Kernel-object handles and the thread-local last error.
//
// The core names every OS object (event, thread, serial port, hub) by an
// opaque handle, as the Windows services it was written against do. The
// backend keeps the objects; a handle value is never reused in a process,
// so a stale handle fails cleanly instead of reaching another object.
#pragma once

#include <cstdint>

namespace eklv::pf {

using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};  // INVALID_HANDLE_VALUE
inline constexpr Handle kNullHandle = 0;

inline bool IsValidHandle(Handle h) { return h != kInvalidHandle && h != kNullHandle; }

// Releases the object behind the handle. False (last error set) for an
// unknown or already closed handle.
bool CloseHandle(Handle h);

// Thread-local last error, set by every failing platform call.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// Error codes the core tests for or logs.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;
inline constexpr std::uint32_t kErrorIoPending = 997;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr std::uint32_t kErrorTimeout = 1460;

}  // namespace eklv::pf
