#include "hotplug/usb_notify.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "core/settings.h"
#include "log/message_logger.h"
#include "notify/msg_dispatcher.h"
#include "platform/handle.h"
#include "platform/module.h"

namespace eklv {

namespace {

std::atomic<CKLVUSBNotify::QueueSink> g_test_sink{nullptr};

bool Queue(std::unique_ptr<DeviceNotificationRecord> record) {
    if (CKLVUSBNotify::QueueSink sink = g_test_sink.load()) return sink(std::move(record));
    return QueueDeviceNotification(std::move(record));
}

}  // namespace

void CKLVUSBNotify::SetQueueSinkForTest(QueueSink sink) { g_test_sink.store(sink); }

CKLVUSBNotify::CKLVUSBNotify() {
    hwnd_ = pf::CreateMessageWindow(&CKLVUSBNotify::WindowProc, this);
    if (hwnd_ == 0) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBNotify::CKLVUSBNotify() - CreateEx() Failed. Error = (%d)",
                   static_cast<int>(pf::GetLastError()));
        return;
    }
    RegisterNotification();
    if (CKLVMsgDispatcher* dispatcher = CKLVMsgDispatcher::GetInstance())
        dispatcher->AddClientWindow(hwnd_, kLibraryWindows);
}

CKLVUSBNotify::~CKLVUSBNotify() { DestroyWindow(); }

void CKLVUSBNotify::RegisterNotification() {
    for (int n = 0;; ++n) {
        std::string key = "GUID_" + std::to_string(n);
        std::string text;
        if (!GetIniString("GUID", key.c_str(), "", &text) || text.empty()) return;
        if (n >= kSlots) {
            // The table has 25 slots; GUID_25 and later stay unregistered.
            LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                       "CKLVUSBNotify::RegisterNotification - No slot for %s and later keys", key.c_str());
            return;
        }
        pf::Guid guid{};
        if (!pf::UuidFromStringA(text.c_str(), &guid)) {
            LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBNotify::RegisterNotification - Failed. Error = (%d)",
                       static_cast<int>(pf::GetLastError()));
            continue;
        }
        pf::DevBroadcastDeviceInterfaceA filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = pf::kDbtDevtypDeviceInterface;
        filter.dbcc_classguid = guid;
        slots_[n] = pf::RegisterDeviceNotificationA(hwnd_, &filter, pf::kDeviceNotifyWindowHandle);
        if (slots_[n] == nullptr) {
            LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBNotify::RegisterNotification - Failed. Error = (%d)",
                       static_cast<int>(pf::GetLastError()));
            continue;
        }
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVUSBNotify::RegisterNotification - succeed with GUID{%s}",
                   text.c_str());
    }
}

void CKLVUSBNotify::UnregisterNotification() {
    for (pf::HDevNotify slot : slots_) {
        if (slot == nullptr) continue;
        if (!pf::UnregisterDeviceNotification(slot))
            LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBNotify::UnregisterNotification - Failed. Error = (%d)",
                       static_cast<int>(pf::GetLastError()));
    }
}

bool CKLVUSBNotify::OnDeviceChange(std::uint32_t event_type, pf::LParam event_data) {
    if (event_data == 0) return true;
    LogMessage(kNoDevice, kLogInfo, kCatMessage, "CKLVUSBNotify::OnDeviceChange - WM_DEVICECHANGE");
    if (event_type == pf::kDbtDevNodesChanged) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVUSBNotify::OnDeviceChange - DBT_DEVNODES_CHANGED");
        return true;
    }
    if (event_type != pf::kDbtDeviceArrival && event_type != pf::kDbtDeviceRemoveComplete) return true;
    const auto* header = reinterpret_cast<const pf::DevBroadcastHdr*>(event_data);
    if (header->dbch_devicetype != pf::kDbtDevtypDeviceInterface) return true;
    const auto* broadcast = reinterpret_cast<const pf::DevBroadcastDeviceInterfaceA*>(event_data);

    std::unique_ptr<DeviceNotificationRecord> record(new (std::nothrow) DeviceNotificationRecord);
    if (!record) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVUSBNotify::OnDeviceChange - No memory");
        return true;
    }
    record->event_code = event_type;
    record->device_type = header->dbch_devicetype;
    std::memcpy(&record->class_guid, &broadcast->dbcc_classguid, sizeof record->class_guid);
    // The name ends at its NUL, and never past the size the sender declared.
    constexpr std::size_t kNameOffset = offsetof(pf::DevBroadcastDeviceInterfaceA, dbcc_name);
    std::size_t room = header->dbch_size > kNameOffset ? header->dbch_size - kNameOffset : 0;
    const char* name = broadcast->dbcc_name;
    record->device_name.assign(name, std::find(name, name + room, '\0'));

    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVUSBNotify::OnDeviceChange - Add device to the queue");
    Queue(std::move(record));
    return true;
}

bool CKLVUSBNotify::DestroyWindow() {
    if (hwnd_ == 0) return false;
    pf::Hwnd hwnd = hwnd_;
    hwnd_ = 0;
    return pf::DestroyWindow(hwnd);
}

pf::LResult CKLVUSBNotify::WindowProc(pf::Hwnd, std::uint32_t message, pf::WParam wparam, pf::LParam lparam,
                                      void* context) {
    if (message != pf::kWmDeviceChange) return 0;
    return static_cast<CKLVUSBNotify*>(context)->OnDeviceChange(static_cast<std::uint32_t>(wparam), lparam) ? 1 : 0;
}

}  // namespace eklv
