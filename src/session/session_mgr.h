// CKLVSessionMgr: the table of attached phones and every device operation
// the host calls. It owns the session list and the list of watched
// interface classes ([GUID] of eklv.ini), runs the thread of the
// device-change window in self-monitoring mode, and queues every present
// phone interface as an arrival at start-up. The device-change processor
// (session/device_change.cpp) calls back into it to resolve device ids,
// adopt and delete sessions and announce interfaces.
//
// Self-monitoring (flag set): window thread, start-up scan, device ids from
// the USB topology. Host-fed (flag clear): the host reports device changes
// through DeviceNotification with device ids of its own.
//
// Initialize and UnInitialize must not run concurrently with any other
// operation; everything else may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "discovery/device_id_mgr.h"
#include "eklv/eklv.h"
#include "platform/handle.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "session/device_operations.h"
#include "session/session_list.h"

namespace eklv {

class CKLVUSBNotify;
struct DeviceNotificationRecord;

class CKLVSessionMgr : public DeviceOperations, public IKLVSessionLookup {
public:
    ~CKLVSessionMgr() override;

    // 0, or 16 when the manager or its window thread cannot be made.
    static std::uint32_t Initialize(bool self_monitoring);
    // Always 0. The window thread must have ended (the supervisor stops it);
    // a thread that has not is stopped and waited for here.
    static std::uint32_t UnInitialize();
    // UnInitialize for a shutdown whose device calls did not all leave in
    // time: the manager is detached but not destroyed, since those calls
    // still use it and its sessions (its memory is given up).
    static void Abandon();
    static CKLVSessionMgr* GetInstance();

    // ---- device operations of the exported functions ----
    std::uint32_t ReadData(std::uint32_t device_id, pf::Handle handle, void* buffer, std::uint32_t* length) override;
    std::uint32_t WriteData(std::uint32_t device_id, pf::Handle handle, const void* buffer,
                            std::uint32_t length) override;
    std::uint32_t OpenDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type, pf::Handle* handle,
                                      std::uint32_t synchronous) override;
    std::uint32_t CloseDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type) override;
    std::uint32_t GetProductStringDescriptor(std::uint32_t device_id, std::string* product) override;
    std::uint32_t GetComPort(std::uint32_t device_id, std::uint32_t interface_type, std::string* port) override;
    std::uint32_t SetBaudRate(std::uint32_t device_id, std::uint32_t interface_type, std::uint32_t* rate) override;

    // Host-fed device change: queues the block's record and waits for the
    // processor to finish it. True when it did so in time. Needs only the
    // device-change processor, not the manager.
    static bool DeviceNotification(const EKLVNotificationBlock* block);

    // ---- called by the device-change processor ----
    // 0 when adopted or when the TID already has a session (the session is
    // then not taken: the caller still owns it); 1 for a null session.
    // *adopted tells which.
    std::uint32_t AdoptSession(CKLVSession* session, const DeviceSessionInfo& info, bool* adopted = nullptr);
    // 0 when the iterator's node was deleted, 1 for an invalid iterator.
    std::uint32_t DeleteSession(CKLVSessionList::Iterator& it);
    // Posts WM_ZORVAN_INTERFACE_ARRIVAL (device id, interface type).
    void PostInterfaceEnumProcess(std::uint32_t interface_type, CKLVSession* session);
    // Allocated from the topology in self-monitoring mode, the record's own
    // id in host-fed mode; also stored in the info.
    std::uint16_t ResolveDeviceId(const DeviceNotificationRecord& record, DeviceSessionInfo* info);
    bool IsInterfaceClassListed(const DeviceNotificationRecord& record);

    // Closes every open interface of every session, as EKLVCloseDevice
    // would: host calls waiting on them return (a read answers 5). Used at
    // shutdown; the interfaces stay listed.
    void CloseOpenInterfaces();

    std::uint32_t GetDeviceList(std::vector<std::uint16_t>* ids);
    std::uint32_t GetDeviceListEx(std::vector<DeviceListEntry>* entries);

    // Stop routine of the window thread: 1 without an initialised manager,
    // else 0 (WM_QUIT posted to the window when there is one).
    static int StopWindowThread();
    static std::uint32_t WindowThreadProc(void* manager);

    // Queues an arrival for every present interface of every listed class.
    void ScanForAllUSBDevices();
    bool ScanForDeviceInterface(const pf::Guid& interface_class, bool filter);

    CKLVSessionList* session_list() { return session_list_.get(); }
    bool self_monitoring() const { return self_monitoring_.load(); }
    std::vector<pf::Guid> interface_classes();
    // The device-change window while the window thread pumps it, else 0.
    pf::Hwnd window_handle() const { return window_hwnd_.load(); }

    // IKLVSessionLookup, for device-id mode 32.
    bool FindDeviceIdByTID(const std::string& tid, std::uint16_t* device_id) override;
    bool HasSessionWithDeviceId(std::uint16_t device_id) override;

    // Test-only: replaces the 30-second wait (and deadline) of
    // DeviceNotification; 0 restores it. The environment variable
    // EKLV_TEST_NOTIFICATION_WAIT_MS does the same for a loaded library copy.
    static void SetNotificationWaitForTesting(std::uint32_t ms);
    static std::uint32_t NotificationWaitMs();

private:
    CKLVSessionMgr();
    void InitializeGUIDArray();
    bool StartWindowThread();
    // Posts WM_QUIT to every pumped window; a window thread that has not
    // started pumping yet sees the request and ends.
    void RequestWindowStop();
    // Asks every window thread to stop and waits for each.
    void JoinWindowThreads();

    // Window thread and its window. Only the window thread touches the
    // window object; others use its handle.
    std::atomic<CKLVUSBNotify*> window_{nullptr};
    std::atomic<pf::Hwnd> window_hwnd_{0};
    std::atomic<bool> stopping_{false};
    std::vector<pf::Handle> window_threads_;  // owner handles, waited for at UnInitialize
    // Set by the window thread once its window has registered for the
    // broadcasts (or cannot): the start-up scan waits for it.
    pf::Handle window_ready_ = pf::kNullHandle;

    std::unique_ptr<CKLVSessionList> session_list_;
    std::vector<pf::Guid> interface_classes_;
    std::atomic<bool> initialised_{false};
    std::atomic<bool> self_monitoring_{true};
    pf::CriticalSection class_lock_;
    pf::CriticalSection table_lock_;
};

}  // namespace eklv
