#include "session/session_mgr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/settings.h"
#include "core/supervisor.h"
#include "discovery/device_enumeration.h"
#include "discovery/usb_notify.h"
#include "log/message_logger.h"
#include "notify/interface_types.h"
#include "notify/msg_dispatcher.h"
#include "notify/registered_messages.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "session/device_notification.h"

namespace eklv {
namespace {

CKLVSessionMgr* g_instance = nullptr;

constexpr std::uint32_t kNotificationWaitMs = 30000;
constexpr std::uint32_t kWindowReadyWaitMs = 5000;
std::atomic<std::uint32_t> g_wait_for_testing{0};

// Guards the live device-change windows and the stop request, so that a
// window thread either sees the stop before it pumps or has its window
// known to StopWindowThread.
std::mutex& WindowMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<pf::Hwnd>& LiveWindows() {
    static std::vector<pf::Hwnd> windows;
    return windows;
}

std::uint16_t LowId(std::uint32_t device_id) { return static_cast<std::uint16_t>(device_id & 0xFFFF); }

}  // namespace

// ---- lifecycle --------------------------------------------------------------

CKLVSessionMgr::CKLVSessionMgr() : session_list_(std::make_unique<CKLVSessionList>()) {
    window_ready_ = pf::CreateEventA(true, false);
    InitializeGUIDArray();
}

CKLVSessionMgr::~CKLVSessionMgr() {
    // Destroys every remaining session with the list.
    session_list_.reset();
    if (window_ready_ != pf::kNullHandle) pf::CloseHandle(window_ready_);
}

CKLVSessionMgr* CKLVSessionMgr::GetInstance() { return g_instance; }

std::uint32_t CKLVSessionMgr::Initialize(bool self_monitoring) {
    if (g_instance == nullptr) {
        CKLVSessionMgr* manager = nullptr;
        try {
            manager = new CKLVSessionMgr;
        } catch (...) {
            manager = nullptr;
        }
        if (manager == nullptr) {
            LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSessionMgr::Initialize - No memory");
            return 16;
        }
        g_instance = manager;
        SetDeviceOperations(manager);
        CKLVDeviceIdMgr::SetSessionLookup(manager);
    }
    CKLVSessionMgr* manager = g_instance;
    manager->self_monitoring_ = self_monitoring;
    if (self_monitoring) {
        if (!manager->StartWindowThread()) {
            LogMessage(kNoDevice, kLogError, kCatGeneral,
                       "CKLVSessionMgr::Initialize - AfxBeginThread() failed with error code %d",
                       static_cast<int>(pf::GetLastError()));
            return 16;
        }
        // The window registers for the broadcasts before the scan lists what
        // is present: a phone plugged meanwhile is then heard of, where it
        // fell between the two before (and it is announced once,
        // device_change.cpp).
        if (pf::WaitForSingleObject(manager->window_ready_, kWindowReadyWaitMs) != pf::kWaitObject0)
            LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                       "CKLVSessionMgr::Initialize - device-change window not ready after %u ms, scanning",
                       static_cast<unsigned>(kWindowReadyWaitMs));
        manager->ScanForAllUSBDevices();
    }
    manager->initialised_ = true;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::Initialize - OK");
    return 0;
}

std::uint32_t CKLVSessionMgr::UnInitialize() {
    CKLVSessionMgr* manager = g_instance;
    if (manager == nullptr) return 0;
    SetDeviceOperations(nullptr);
    CKLVDeviceIdMgr::SetSessionLookup(nullptr);
    // The window threads clear the manager's window field when they end;
    // they must be gone before the manager is.
    manager->JoinWindowThreads();
    g_instance = nullptr;
    delete manager;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::UnInitialize - OK");
    return 0;
}

void CKLVSessionMgr::Abandon() {
    CKLVSessionMgr* manager = g_instance;
    if (manager == nullptr) return;
    SetDeviceOperations(nullptr);
    CKLVDeviceIdMgr::SetSessionLookup(nullptr);
    manager->JoinWindowThreads();
    g_instance = nullptr;
    LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSessionMgr::UnInitialize - sessions left to the calls still running");
}

void CKLVSessionMgr::InitializeGUIDArray() {
    for (int i = 0;; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "%s_%d", "GUID", i);
        std::string value;
        GetIniString("GUID", key, "", &value);
        if (value.empty()) break;
        pf::Guid guid{};
        if (!pf::UuidFromStringA(value.c_str(), &guid)) {
            LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVUSBNotify::RegisterNotification - Failed. Error = (%d)",
                       static_cast<int>(pf::GetLastError()));
            continue;
        }
        interface_classes_.push_back(guid);
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "InitializeGUIDArray() - size = (%d)",
               static_cast<int>(interface_classes_.size()));
}

std::vector<pf::Guid> CKLVSessionMgr::interface_classes() {
    pf::ScopedLock lock(class_lock_);
    return interface_classes_;
}

// ---- window thread ----------------------------------------------------------

bool CKLVSessionMgr::StartWindowThread() {
    {
        std::lock_guard<std::mutex> lock(WindowMutex());
        stopping_ = false;
    }
    pf::ResetEvent(window_ready_);
    std::uint32_t id = 0;
    pf::Handle thread = pf::CreateThread(&CKLVSessionMgr::WindowThreadProc, this, &id);
    if (thread == pf::kNullHandle) return false;
    window_threads_.push_back(thread);
    return true;
}

std::uint32_t CKLVSessionMgr::WindowThreadProc(void* argument) {
    if (CKLVSupervisor* supervisor = CKLVSupervisor::GetInstance())
        supervisor->OnThreadEntrance(&CKLVSessionMgr::StopWindowThread);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::WindowThreadProc entrance");
    auto* manager = static_cast<CKLVSessionMgr*>(argument);
    if (manager != nullptr && g_instance != nullptr) {
        auto* window = new (std::nothrow) CKLVUSBNotify;  // registers for the broadcasts
        manager->window_ = window;
        pf::SetEvent(manager->window_ready_);
        if (window != nullptr) {
            const pf::Hwnd hwnd = window->GetSafeHwnd();
            // Without a window there is nothing to pump and nothing a stop
            // could reach: the thread ends at once.
            bool pump = false;
            if (hwnd != 0) {
                std::lock_guard<std::mutex> lock(WindowMutex());
                pump = !manager->stopping_;
                if (pump) {
                    LiveWindows().push_back(hwnd);
                    manager->window_hwnd_ = hwnd;
                }
            }
            if (pump) {
                pf::Msg msg;
                while (pf::GetMessageA(&msg, hwnd, 0, 0) > 0 && msg.message != pf::kWmQuit) {
                    pf::TranslateMessage(&msg);
                    pf::DispatchMessageA(&msg);
                }
                std::lock_guard<std::mutex> lock(WindowMutex());
                auto& live = LiveWindows();
                live.erase(std::remove(live.begin(), live.end(), hwnd), live.end());
                if (manager->window_hwnd_ == hwnd) manager->window_hwnd_ = 0;
            }
            window->UnregisterNotification();
            window->DestroyWindow();
            manager->window_ = nullptr;
            delete window;
        }
    }
    if (manager != nullptr) pf::SetEvent(manager->window_ready_);  // also when it never made a window
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::WindowThreadProc exit");
    CKLVSupervisor::ThreadExit();
    return 1;
}

int CKLVSessionMgr::StopWindowThread() {
    CKLVSessionMgr* manager = g_instance;
    if (manager == nullptr || !manager->initialised_) return 1;
    manager->RequestWindowStop();
    return 0;
}

void CKLVSessionMgr::RequestWindowStop() {
    std::vector<pf::Hwnd> windows;
    {
        std::lock_guard<std::mutex> lock(WindowMutex());
        stopping_ = true;
        windows = LiveWindows();
    }
    // To the window, not the thread: the loop retrieves its window's
    // messages only.
    for (pf::Hwnd hwnd : windows) pf::PostMessageA(hwnd, pf::kWmQuit, 0, 0);
}

void CKLVSessionMgr::JoinWindowThreads() {
    if (window_threads_.empty()) return;
    RequestWindowStop();
    for (pf::Handle thread : window_threads_) {
        // The loop ends on the quit message; a thread still creating its
        // window sees the stop request before it pumps.
        pf::WaitForSingleObject(thread, pf::kInfinite);
        pf::CloseHandle(thread);
    }
    window_threads_.clear();
}

// ---- start-up scan ----------------------------------------------------------

void CKLVSessionMgr::ScanForAllUSBDevices() {
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::ScanForAllUSBDevices");
    for (const pf::Guid& interface_class : interface_classes()) ScanForDeviceInterface(interface_class, true);
}

bool CKLVSessionMgr::ScanForDeviceInterface(const pf::Guid& interface_class, bool filter) {
    const std::vector<std::string> paths = EnumDeviceInterfaces(interface_class, filter);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "GUID[1] = %08x, size = (%d)", interface_class.data1,
               static_cast<int>(paths.size()));
    for (const std::string& path : paths) {
        std::unique_ptr<DeviceNotificationRecord> record(new (std::nothrow) DeviceNotificationRecord);
        if (!record) {
            LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSessionMgr::ScanForDeviceInterface - No memory");
            return false;
        }
        record->event_code = 0x8000;
        record->class_guid = interface_class;
        record->device_name = path;
        record->device_id = kNoDeviceId;
        QueueDeviceNotification(std::move(record));
    }
    return !paths.empty();
}

// ---- host-fed notification --------------------------------------------------

void CKLVSessionMgr::SetNotificationWaitForTesting(std::uint32_t ms) { g_wait_for_testing = ms; }

std::uint32_t CKLVSessionMgr::NotificationWaitMs() {
    if (std::uint32_t ms = g_wait_for_testing.load()) return ms;
    if (const char* text = std::getenv("EKLV_TEST_NOTIFICATION_WAIT_MS")) {
        long ms = std::strtol(text, nullptr, 10);
        if (ms > 0) return static_cast<std::uint32_t>(ms);
    }
    return kNotificationWaitMs;
}

bool CKLVSessionMgr::DeviceNotification(const EKLVNotificationBlock* block) {
    if (block == nullptr) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::DeviceNotification - input data is NULL");
        return false;
    }
    // The waiter keeps its own share of the event: it may give up while the
    // record is still queued or in hand (device_notification.h).
    std::shared_ptr<CompletionEvent> done = CompletionEvent::Create();
    std::unique_ptr<DeviceNotificationRecord> record(new (std::nothrow) DeviceNotificationRecord);
    if (!done || !record) {
        LogMessage(block->device_id, kLogError, kCatGeneral, "CKLVSessionMgr::DeviceNotification - No memory");
        return false;
    }
    const std::uint32_t wait_ms = NotificationWaitMs();
    FillRecordFromHostBlock(*block, record.get());
    record->completion_event = done;
    record->deadline = pf::GetTickCount() + wait_ms;
    LogMessage(block->device_id, kLogInfo, kCatGeneral, "CKLVSessionMgr::DeviceNotification - Adding device to the queue");
    if (!QueueDeviceNotification(std::move(record))) return false;
    // The stop event cuts the wait short when EKLVUninitialize starts: the
    // record will then be drained unhandled.
    const pf::Handle stop = DeviceCallsStopEvent();
    const pf::Handle objects[2] = {done->handle(), stop};
    const std::uint32_t r = pf::WaitForMultipleObjects(stop != pf::kNullHandle ? 2 : 1, objects, false, wait_ms);
    if (r == pf::kWaitObject0 + 1)
        LogMessage(block->device_id, kLogWarning, kCatGeneral,
                   "CKLVSessionMgr::DeviceNotification - library stopping, record not waited for");
    return r == pf::kWaitObject0;
}

// ---- session table ----------------------------------------------------------

std::uint32_t CKLVSessionMgr::AdoptSession(CKLVSession* session, const DeviceSessionInfo& info, bool* adopted) {
    if (adopted != nullptr) *adopted = false;
    {
        CKLVSessionList::Iterator it(*session_list_);
        if (session_list_->FindByTID(it, info.TID, false)) {
            LogMessage(info.DeviceId, kLogError, kCatGeneral, "|AdoptSession| - Session has been created.");
            return 0;
        }
    }
    table_lock_.Enter();
    if (session == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "|InsertSession| - NULL session pointer");
        table_lock_.Leave();
        LogMessage(kNoDevice, kLogError, kCatGeneral, "|AdoptSession| - Error to insert session.");
        return 1;
    }
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->Insert(it, session)) {
        table_lock_.Leave();
        LogMessage(session->GetDeviceId(), kLogError, kCatGeneral, "|AdoptSession| - Error to insert session.");
        return 1;
    }
    LogMessage(session->GetDeviceId(), kLogInfo, kCatGeneral, "|InsertSession| - succeed");
    table_lock_.Leave();
    if (adopted != nullptr) *adopted = true;
    return 0;
}

std::uint32_t CKLVSessionMgr::DeleteSession(CKLVSessionList::Iterator& it) {
    pf::ScopedLock lock(table_lock_);
    if (!it.IsValid()) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "|DeleteSession| - Invalid iterator");
        return 1;
    }
    session_list_->Delete(it);
    return 0;
}

void CKLVSessionMgr::PostInterfaceEnumProcess(std::uint32_t interface_type, CKLVSession* session) {
    if (session == nullptr || interface_type == kInfUndefined) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSessionMgr::PostInterfaceEnumProcess - error data");
        return;
    }
    CKLVMsgDispatcher::PostToWindows(Messages().interface_arrival, session->GetDeviceId(),
                                     static_cast<pf::LParam>(interface_type), 0);
}

std::uint16_t CKLVSessionMgr::ResolveDeviceId(const DeviceNotificationRecord& record, DeviceSessionInfo* info) {
    info->DeviceId = kNoDeviceId;
    if (self_monitoring_) {
        if (CKLVDeviceIdMgr* ids = CKLVDeviceIdMgr::GetInstance())
            info->DeviceId = ids->AllocUSBDeviceID(record.device_name, record.device_id);
    } else {
        info->DeviceId = record.device_id;
    }
    return info->DeviceId;
}

bool CKLVSessionMgr::IsInterfaceClassListed(const DeviceNotificationRecord& record) {
    pf::ScopedLock lock(class_lock_);
    for (const pf::Guid& g : interface_classes_)
        if (std::memcmp(&g, &record.class_guid, sizeof g) == 0) return true;
    return false;
}

std::uint32_t CKLVSessionMgr::GetDeviceList(std::vector<std::uint16_t>* ids) {
    if (!session_list_) return 3;
    CKLVSessionList::Iterator it(*session_list_);
    return session_list_->GetDeviceList(it, ids);
}

std::uint32_t CKLVSessionMgr::GetDeviceListEx(std::vector<DeviceListEntry>* entries) {
    if (!session_list_) return 3;
    CKLVSessionList::Iterator it(*session_list_);
    return session_list_->GetDeviceListEx(it, entries);
}

bool CKLVSessionMgr::FindDeviceIdByTID(const std::string& tid, std::uint16_t* device_id) {
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByTID(it, tid, false)) return false;
    *device_id = it.Get()->GetDeviceId();
    return true;
}

bool CKLVSessionMgr::HasSessionWithDeviceId(std::uint16_t device_id) {
    CKLVSessionList::Iterator it(*session_list_);
    return session_list_->FindByDeviceId(it, device_id, false);
}

void CKLVSessionMgr::CloseOpenInterfaces() {
    std::vector<std::uint16_t> ids;
    {
        CKLVSessionList::Iterator it(*session_list_);
        session_list_->GetDeviceList(it, &ids);
    }
    for (std::uint16_t id : ids) {
        CKLVSessionList::Iterator it(*session_list_);
        if (!session_list_->FindByDeviceId(it, id, false)) continue;
        std::vector<InterfaceRecord> records;
        it.Get()->GetInterfaces(&records);
        for (const InterfaceRecord& r : records)
            if (r.Handle != pf::kInvalidHandle) it.Get()->CloseInterface(r.Type);
    }
}

// ---- device operations ------------------------------------------------------
// Each looks the session up with its own iterator, which keeps the session
// alive for the call even when a removal deletes it meanwhile.

std::uint32_t CKLVSessionMgr::ReadData(std::uint32_t device_id, pf::Handle handle, void* buffer,
                                       std::uint32_t* length) {
    const std::uint16_t id = LowId(device_id);
    if (handle == pf::kInvalidHandle) {
        LogMessage(id, kLogError, kCatGeneral, "CKLVSessionMgr::ReadData - Invalid handle");
        return 2;
    }
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByDeviceId(it, id, false)) {
        LogMessage(id, kLogError, kCatGeneral, "KLVSessionMgr::ReadData - Invalid DeviceId");
        return 3;
    }
    return it.Get()->ReadData(handle, buffer, length);
}

std::uint32_t CKLVSessionMgr::WriteData(std::uint32_t device_id, pf::Handle handle, const void* buffer,
                                        std::uint32_t length) {
    const std::uint16_t id = LowId(device_id);
    if (handle == pf::kInvalidHandle) {
        LogMessage(id, kLogError, kCatGeneral, "CKLVSessionMgr::WriteData - Invalid handle");
        return 2;
    }
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByDeviceId(it, id, false)) {
        LogMessage(id, kLogError, kCatGeneral, "CKLVSessionMgr::WriteData - Invalid DeviceId");
        return 3;
    }
    return it.Get()->WriteData(handle, buffer, &length) ? 0 : 4;
}

std::uint32_t CKLVSessionMgr::OpenDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type,
                                                  pf::Handle* handle, std::uint32_t synchronous) {
    const std::uint16_t id = LowId(device_id);
    pf::Handle opened = pf::kInvalidHandle;
    if (handle != nullptr) *handle = pf::kInvalidHandle;
    std::uint32_t result = 3;
    {
        CKLVSessionList::Iterator it(*session_list_);
        if (session_list_->FindByDeviceId(it, id, false)) {
            opened = it.Get()->OpenInterface(interface_type, synchronous);
            if (handle != nullptr) *handle = opened;
            result = opened == pf::kInvalidHandle ? 7 : 0;
        }
    }
    LogMessage(id, kLogInfo, kCatGeneral, "CKLVSessionMgr::OpenDeviceInterface - (%d), handle = (%#x)",
               static_cast<int>(interface_type), static_cast<unsigned>(opened));
    return result;
}

std::uint32_t CKLVSessionMgr::CloseDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type) {
    const std::uint16_t id = LowId(device_id);
    std::uint32_t result = 3;
    {
        CKLVSessionList::Iterator it(*session_list_);
        if (session_list_->FindByDeviceId(it, id, false)) result = it.Get()->CloseInterface(interface_type);
    }
    LogMessage(id, kLogInfo, kCatGeneral, "CKLVSessionMgr::CloseDeviceInterface - (%d)",
               static_cast<int>(interface_type));
    return result;
}

std::uint32_t CKLVSessionMgr::GetProductStringDescriptor(std::uint32_t device_id, std::string* product) {
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByDeviceId(it, LowId(device_id), false)) return 3;
    *product = it.Get()->GetProductStringDescriptor();
    return 0;
}

std::uint32_t CKLVSessionMgr::GetComPort(std::uint32_t device_id, std::uint32_t interface_type, std::string* port) {
    const std::uint16_t id = LowId(device_id);
    std::uint32_t result = 3;
    {
        CKLVSessionList::Iterator it(*session_list_);
        if (session_list_->FindByDeviceId(it, id, false)) result = it.Get()->GetComPortName(port, &interface_type);
    }
    LogMessage(id, kLogInfo, kCatGeneral, "CKLVSessionMgr::GetComPort - (%d), ComPort = (%s)",
               static_cast<int>(interface_type), port->c_str());
    return result;
}

std::uint32_t CKLVSessionMgr::SetBaudRate(std::uint32_t device_id, std::uint32_t interface_type,
                                          std::uint32_t* rate) {
    const std::uint16_t id = LowId(device_id);
    const std::uint32_t requested = rate != nullptr ? *rate : 0;
    std::uint32_t result = 0;
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByDeviceId(it, id, false)) {
        LogMessage(id, kLogError, kCatGeneral, "Don't find device");
        result = 3;
    } else {
        CKLVSession* session = it.Get();
        InterfaceRecord record;
        if (session->GetInterface(interface_type, &record) != 0) {
            LogMessage(id, kLogError, kCatGeneral, "Don't find interface[%d]", static_cast<int>(interface_type));
            return 8;
        }
        if (record.Handle == pf::kInvalidHandle) {
            LogMessage(id, kLogError, kCatGeneral, "CKLVSessionMgr::SetBaudRate - Invalid handle");
            return 2;
        }
        session->Lock();
        pf::Dcb dcb;
        std::memset(&dcb, 0, sizeof dcb);
        if (!pf::GetCommState(record.Handle, &dcb)) {
            LogMessage(id, kLogError, kCatGeneral, "Get COMM state failed with error code[%d]",
                       static_cast<int>(pf::GetLastError()));
            result = 17;
        }
        // Still written after a failed read, as the port may accept the
        // rate on its own; a failure here is the answer then.
        dcb.BaudRate = requested;
        if (rate == nullptr || !pf::SetCommState(record.Handle, &dcb)) {
            LogMessage(id, kLogError, kCatGeneral, "Set COMM state failed with error code[%d]",
                       static_cast<int>(pf::GetLastError()));
            result = 18;
        }
        session->Unlock();
    }
    LogMessage(id, kLogInfo, kCatGeneral, "CKLVSessionMgr::SetBaudRate = (%d)", static_cast<int>(requested));
    return result;
}

}  // namespace eklv
