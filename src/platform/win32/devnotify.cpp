// Device-change broadcasts: user32's RegisterDeviceNotificationA. The
// system posts WM_DEVICECHANGE to the window itself; the payload layouts of
// devnotify.h are those of dbt.h.
#include "platform/devnotify.h"

#include <windows.h>
#include <dbt.h>

namespace eklv::pf {

static_assert(sizeof(DevBroadcastDeviceInterfaceA) == sizeof(DEV_BROADCAST_DEVICEINTERFACE_A));
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_name) == offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name));

HDevNotify RegisterDeviceNotificationA(Hwnd recipient, const void* filter, std::uint32_t flags) {
    return ::RegisterDeviceNotificationA(reinterpret_cast<HANDLE>(recipient), const_cast<void*>(filter), flags);
}

bool UnregisterDeviceNotification(HDevNotify handle) {
    if (handle == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::UnregisterDeviceNotification(handle) != FALSE;
}

}  // namespace eklv::pf
