#include "session/session_mgr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/settings.h"
#include "core/supervisor.h"
#include "discovery/device_enumeration.h"
#include "log/message_logger.h"
#include "notify/interface_types.h"
#include "notify/msg_dispatcher.h"
#include "notify/registered_messages.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "hotplug/device_notification.h"

namespace eklv {
namespace {

CKLVSessionMgr* g_instance = nullptr;

constexpr std::uint32_t kNotificationWaitMs = 30000;
constexpr std::uint32_t kWindowReadyWaitMs = 5000;  // the start-up scan's wait for the registration
std::atomic<std::uint32_t> g_wait_for_testing{0};

std::uint16_t LowId(std::uint32_t device_id) { return static_cast<std::uint16_t>(device_id & 0xFFFF); }

}  // namespace

// ---- lifecycle --------------------------------------------------------------

CKLVSessionMgr::CKLVSessionMgr() : session_list_(std::make_unique<CKLVSessionList>()) {
    InitializeGUIDArray();
}

CKLVSessionMgr::~CKLVSessionMgr() {
    // Destroys every remaining session with the list.
    session_list_.reset();
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
            return EKLV_NO_RESOURCES;
        }
        g_instance = manager;
        SetDeviceOperations(manager);
        CKLVDeviceIdMgr::SetSessionLookup(manager);
    }
    CKLVSessionMgr* manager = g_instance;
    manager->self_monitoring_ = self_monitoring;
    if (self_monitoring) {
        if (!manager->window_thread_.Start(&CKLVSessionMgr::StopWindowThread)) {
            LogMessage(kNoDevice, kLogError, kCatGeneral,
                       "CKLVSessionMgr::Initialize - AfxBeginThread() failed with error code %d",
                       static_cast<int>(pf::GetLastError()));
            return EKLV_NO_RESOURCES;
        }
        // The window registers for the broadcasts before the scan lists what
        // is present: a phone plugged meanwhile is then heard of, where it
        // fell between the two before (and it is announced once,
        // hotplug/device_change_processor.cpp).
        if (!manager->window_thread_.WaitReady(kWindowReadyWaitMs))
            LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                       "CKLVSessionMgr::Initialize - device-change window not ready after %u ms, scanning",
                       static_cast<unsigned>(kWindowReadyWaitMs));
        manager->ScanForAllUSBDevices();
    }
    manager->initialised_ = true;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::Initialize - OK");
    return EKLV_OK;
}

std::uint32_t CKLVSessionMgr::UnInitialize() {
    CKLVSessionMgr* manager = g_instance;
    if (manager == nullptr) return 0;
    SetDeviceOperations(nullptr);
    CKLVDeviceIdMgr::SetSessionLookup(nullptr);
    // The window threads must be gone before the manager is.
    manager->window_thread_.Join();
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
    manager->window_thread_.Join();
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

int CKLVSessionMgr::StopWindowThread() {
    CKLVSessionMgr* manager = g_instance;
    if (manager == nullptr || !manager->initialised_) return 1;
    manager->window_thread_.RequestStop();
    return 0;
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
    if (session == nullptr || interface_type == INF_UNDEFINED) {
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
    if (!session_list_) return EKLV_NO_SUCH_DEVICE;
    CKLVSessionList::Iterator it(*session_list_);
    return session_list_->GetDeviceList(it, ids);
}

std::uint32_t CKLVSessionMgr::GetDeviceListEx(std::vector<DeviceListEntry>* entries) {
    if (!session_list_) return EKLV_NO_SUCH_DEVICE;
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
        return EKLV_INVALID_HANDLE;
    }
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByDeviceId(it, id, false)) {
        LogMessage(id, kLogError, kCatGeneral, "KLVSessionMgr::ReadData - Invalid DeviceId");
        return EKLV_NO_SUCH_DEVICE;
    }
    return it.Get()->ReadData(handle, buffer, length);
}

std::uint32_t CKLVSessionMgr::WriteData(std::uint32_t device_id, pf::Handle handle, const void* buffer,
                                        std::uint32_t length) {
    const std::uint16_t id = LowId(device_id);
    if (handle == pf::kInvalidHandle) {
        LogMessage(id, kLogError, kCatGeneral, "CKLVSessionMgr::WriteData - Invalid handle");
        return EKLV_INVALID_HANDLE;
    }
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByDeviceId(it, id, false)) {
        LogMessage(id, kLogError, kCatGeneral, "CKLVSessionMgr::WriteData - Invalid DeviceId");
        return EKLV_NO_SUCH_DEVICE;
    }
    return it.Get()->WriteData(handle, buffer, &length) ? EKLV_OK : EKLV_WRITE_FAILED;
}

std::uint32_t CKLVSessionMgr::OpenDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type,
                                                  pf::Handle* handle, std::uint32_t synchronous) {
    const std::uint16_t id = LowId(device_id);
    pf::Handle opened = pf::kInvalidHandle;
    if (handle != nullptr) *handle = pf::kInvalidHandle;
    std::uint32_t result = EKLV_NO_SUCH_DEVICE;
    {
        CKLVSessionList::Iterator it(*session_list_);
        if (session_list_->FindByDeviceId(it, id, false)) {
            opened = it.Get()->OpenInterface(interface_type, synchronous);
            if (handle != nullptr) *handle = opened;
            result = opened == pf::kInvalidHandle ? EKLV_OPEN_FAILED : EKLV_OK;
        }
    }
    LogMessage(id, kLogInfo, kCatGeneral, "CKLVSessionMgr::OpenDeviceInterface - (%d), handle = (%#x)",
               static_cast<int>(interface_type), static_cast<unsigned>(opened));
    return result;
}

std::uint32_t CKLVSessionMgr::CloseDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type) {
    const std::uint16_t id = LowId(device_id);
    std::uint32_t result = EKLV_NO_SUCH_DEVICE;
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
    if (!session_list_->FindByDeviceId(it, LowId(device_id), false)) return EKLV_NO_SUCH_DEVICE;
    *product = it.Get()->GetProductStringDescriptor();
    return EKLV_OK;
}

std::uint32_t CKLVSessionMgr::GetComPort(std::uint32_t device_id, std::uint32_t interface_type, std::string* port) {
    const std::uint16_t id = LowId(device_id);
    std::uint32_t result = EKLV_NO_SUCH_DEVICE;
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
    std::uint32_t result = EKLV_OK;
    CKLVSessionList::Iterator it(*session_list_);
    if (!session_list_->FindByDeviceId(it, id, false)) {
        LogMessage(id, kLogError, kCatGeneral, "Don't find device");
        result = EKLV_NO_SUCH_DEVICE;
    } else {
        CKLVSession* session = it.Get();
        // The handle stays open until the rate is set: a close or removal
        // racing this call waits, and finds the port as it left it.
        pf::ScopedLock interfaces(session->InterfaceLock());
        InterfaceRecord record;
        if (session->GetInterface(interface_type, &record) != 0) {
            LogMessage(id, kLogError, kCatGeneral, "Don't find interface[%d]", static_cast<int>(interface_type));
            return EKLV_NO_SUCH_INTERFACE;
        }
        if (record.Handle == pf::kInvalidHandle) {
            LogMessage(id, kLogError, kCatGeneral, "CKLVSessionMgr::SetBaudRate - Invalid handle");
            return EKLV_INVALID_HANDLE;
        }
        session->Lock();
        pf::Dcb dcb;
        std::memset(&dcb, 0, sizeof dcb);
        if (!pf::GetCommState(record.Handle, &dcb)) {
            LogMessage(id, kLogError, kCatGeneral, "Get COMM state failed with error code[%d]",
                       static_cast<int>(pf::GetLastError()));
            result = EKLV_GET_COMM_STATE_FAILED;
        }
        // Still written after a failed read, as the port may accept the
        // rate on its own; a failure here is the answer then.
        dcb.BaudRate = requested;
        if (rate == nullptr || !pf::SetCommState(record.Handle, &dcb)) {
            LogMessage(id, kLogError, kCatGeneral, "Set COMM state failed with error code[%d]",
                       static_cast<int>(pf::GetLastError()));
            result = EKLV_SET_COMM_STATE_FAILED;
        }
        session->Unlock();
    }
    LogMessage(id, kLogInfo, kCatGeneral, "CKLVSessionMgr::SetBaudRate = (%d)", static_cast<int>(requested));
    return result;
}

}  // namespace eklv
