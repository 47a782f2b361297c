// Device-change broadcasts, shaped like RegisterDeviceNotificationA and the
// WM_DEVICECHANGE payloads of dbt.h.
//
// A window registers for the device interfaces of one class. When an
// interface of that class arrives or is removed, the window's procedure is
// called on the window's own thread with WM_DEVICECHANGE, wParam the event
// (kDbtDeviceArrival, kDbtDeviceRemoveComplete) and lParam the address of a
// DevBroadcastDeviceInterfaceA that stays valid until the procedure returns.
// A removal carries the same symbolic name as the arrival of that interface.
// kDbtDevNodesChanged comes with lParam 0, as on Windows, after changes of
// the device tree.
//
// Broadcasts reach the procedure through the window's message loop, so a
// window that does not pump its messages delays only itself. Broadcasts
// still queued when the registration is released are not delivered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/module.h"
#include "platform/window.h"

namespace eklv::pf {

// wParam of WM_DEVICECHANGE.
inline constexpr std::uint32_t kDbtDevNodesChanged = 0x0007;
inline constexpr std::uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDbtDeviceRemoveComplete = 0x8004;

// Device types of the broadcast header.
inline constexpr std::uint32_t kDbtDevtypOem = 0;
inline constexpr std::uint32_t kDbtDevtypVolume = 2;
inline constexpr std::uint32_t kDbtDevtypPort = 3;
inline constexpr std::uint32_t kDbtDevtypDeviceInterface = 5;
inline constexpr std::uint32_t kDbtDevtypHandle = 6;

// Flags of RegisterDeviceNotificationA.
inline constexpr std::uint32_t kDeviceNotifyWindowHandle = 0x0;
inline constexpr std::uint32_t kDeviceNotifyAllInterfaceClasses = 0x4;

inline constexpr std::uint32_t kErrorInvalidData = 13;
inline constexpr std::uint32_t kErrorInvalidWindowHandle = 1400;

struct DevBroadcastHdr {  // DEV_BROADCAST_HDR
    std::uint32_t dbch_size;
    std::uint32_t dbch_devicetype;
    std::uint32_t dbch_reserved;
};

struct DevBroadcastDeviceInterfaceA {  // DEV_BROADCAST_DEVICEINTERFACE_A
    std::uint32_t dbcc_size;
    std::uint32_t dbcc_devicetype;
    std::uint32_t dbcc_reserved;
    Guid dbcc_classguid;
    char dbcc_name[1];  // NUL-terminated; the broadcast is as long as dbcc_size
};
static_assert(sizeof(DevBroadcastHdr) == 12);
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_classguid) == 12);
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_name) == 28);
static_assert(sizeof(DevBroadcastDeviceInterfaceA) == 32);

using HDevNotify = void*;

// Registers recipient (flags kDeviceNotifyWindowHandle, optionally with
// kDeviceNotifyAllInterfaceClasses) for the broadcasts the filter selects:
// a DevBroadcastDeviceInterfaceA of device type kDbtDevtypDeviceInterface
// and at least the header's size, naming the interface class. The recipient
// is a window made by CreateMessageWindow. Answers null with the last error
// set on failure: kErrorInvalidData for a filter of another kind,
// kErrorInvalidParameter for other flags or a null filter,
// kErrorInvalidWindowHandle when recipient is no window, kErrorGenFailure
// when the system's device events cannot be watched.
HDevNotify RegisterDeviceNotificationA(Hwnd recipient, const void* filter, std::uint32_t flags);

// Releases a registration; broadcasts not yet handled by the window are
// dropped. Any thread may call it, also a window procedure. False with
// kErrorInvalidHandle for a null, unknown or already released handle.
bool UnregisterDeviceNotification(HDevNotify handle);

}  // namespace eklv::pf
