// CKLVUSBNotify: the hidden device-change window. It registers for the
// device-interface broadcasts of the classes listed in [GUID] of eklv.ini
// and turns every arrival and removal into a device notification record on
// the device-change queue. No filtering, no device-tree work.
//
// The session manager's window thread creates it, pumps its window, and at
// the end calls UnregisterNotification and DestroyWindow before deleting
// it; all of its code runs on that thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/devnotify.h"
#include "platform/window.h"
#include "hotplug/device_notification.h"

namespace eklv {

class CKLVUSBNotify {
public:
    // One registration per GUID_<n> key, n < kSlots.
    static constexpr int kSlots = 25;

    // Creates the window (logging the failure and stopping there), then
    // registers and adds the window to the library windows of the dispatcher.
    CKLVUSBNotify();
    // Destroys the window if DestroyWindow was not called; registrations are
    // left to UnregisterNotification.
    ~CKLVUSBNotify();
    CKLVUSBNotify(const CKLVUSBNotify&) = delete;
    CKLVUSBNotify& operator=(const CKLVUSBNotify&) = delete;

    // Reads GUID_0, GUID_1, ... of [GUID] up to the first empty one and
    // registers each class in its slot. Keys from GUID_25 on have no slot:
    // the first of them is logged and reading stops.
    void RegisterNotification();
    // Releases every held registration; the slots keep their values.
    void UnregisterNotification();
    // The WM_DEVICECHANGE handler; always true.
    bool OnDeviceChange(std::uint32_t event_type, pf::LParam event_data);
    // Destroys the window; on its owning thread only.
    bool DestroyWindow();

    // The window handle, 0 when there is none (creation failed, destroyed).
    pf::Hwnd GetSafeHwnd() const { return hwnd_; }
    pf::HDevNotify Slot(int n) const { return n >= 0 && n < kSlots ? slots_[n] : nullptr; }

    // Where records go: QueueDeviceNotification unless a test replaces it
    // (null restores it).
    using QueueSink = bool (*)(std::unique_ptr<DeviceNotificationRecord> record);
    static void SetQueueSinkForTest(QueueSink sink);

private:
    static pf::LResult WindowProc(pf::Hwnd hwnd, std::uint32_t message, pf::WParam wparam, pf::LParam lparam,
                                  void* context);

    pf::Hwnd hwnd_ = 0;
    pf::HDevNotify slots_[kSlots] = {};
};

}  // namespace eklv
