// CKLVSession: the base of every device session (and, in one instance, the
// device-change processor). It holds the device's identity and its interface
// records behind two locks; the USB session (transport/usb_session.h)
// overrides the operations that touch hardware.
//
// Lock order: the interface lock before the session lock. Both are
// re-entrant for the thread that holds them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "session/interface_record.h"

namespace eklv {

// What an arrival hands to the new session and to the session table.
struct DeviceSessionInfo {
    std::string DevicePath;
    std::string TID;
    std::string ProductString;
    std::string ConfigurationString;
    std::string InterfaceString;
    std::string ProductId;  // lower case, e.g. "pid_abcd"
    std::uint16_t DeviceId = 65535;
};

struct DeviceNotificationRecord;
struct PendingArrivals;
class CEKLVUSBSession;

// Interface paths are compared without regard to ASCII letter case.
bool SameInterfaceName(const std::string& a, const std::string& b);

class CKLVSession {
public:
    CKLVSession();
    CKLVSession(const CKLVSession&) = delete;
    CKLVSession& operator=(const CKLVSession&) = delete;

    // Virtual operations, in slot order. Result codes are those of the
    // exported API: 0 success, 1 not found, 8 none present.

    // Overwrites the first record of type with a copy of record: 0, or 1
    // when type is 0x8000 or absent.
    virtual std::uint32_t UpdateInterface(std::uint32_t type, const InterfaceRecord& record);
    virtual pf::Handle OpenInterface(std::uint32_t type, std::uint32_t synchronous);
    virtual std::uint32_t CloseInterface(std::uint32_t type);
    virtual ~CKLVSession();
    virtual std::uint32_t SetSessionInfo(const DeviceSessionInfo& info);
    // Copies every record in order: 0, or 8 (and an empty array) when none.
    virtual std::uint32_t GetInterfaces(std::vector<InterfaceRecord>* records);
    // Copies the first record of type: 0, or 1 when type is 0x8000 or absent.
    virtual std::uint32_t GetInterface(std::uint32_t type, InterfaceRecord* record);
    virtual std::uint32_t GetInterfaceCount();
    virtual std::uint32_t AddInterface(const std::string& name, const std::string& description);
    virtual void CloseAllInterfaces();
    virtual std::uint32_t ReadData(pf::Handle handle, void* buffer, std::uint32_t* length);
    virtual bool WriteData(pf::Handle handle, const void* buffer, std::uint32_t* length);
    virtual bool GetInterfaceDescriptor(const std::string& name, std::uint8_t* output, int interface_number);
    virtual std::uint16_t GetDeviceId();
    virtual std::string GetProductStringDescriptor();
    virtual std::string GetText();  // not used by the library; answers ""
    virtual bool Lock();
    virtual bool Unlock();
    // Closes and removes the first record named name: its type, or 0x8000.
    virtual std::uint32_t RemoveInterface(const std::string& name, std::uint32_t* type);
    virtual bool HasInterface(const std::string& name);

    // 0 with the COM port name of the interface of *type; 1 when there is
    // none or a composite device's lookups fail; 8 when its path is empty;
    // otherwise the property query's code.
    std::uint32_t GetComPortName(std::string* out, const std::uint32_t* type);
    // Serial defaults (921600 8N1, flow control and DTR/RTS off) overridden
    // by [COM_PORT_SETTING] of eklv.ini; other fields keep the caller's values.
    void InitComPortConfig(pf::Dcb* dcb);
    // Logs the bytes in hex at level 4.
    void DumpPacket(const void* bytes, std::uint32_t length);

    const std::string& GetTID() const { return tid_; }
    const std::string& GetProductId() const { return product_id_; }

    // ---- device-change processing (session/device_change.cpp) ----
    // One process-wide instance owns the device queue and the thread that
    // handles its records one at a time.

    // Creates the instance, its two events and its thread: 0, or 16.
    static std::uint32_t Initialize();
    // Destroys the instance after its thread has ended (the supervisor stops
    // it first); records still queued are destroyed unhandled.
    static void UnInitialize();
    static CKLVSession* GetInstance();
    // Appends under the queue lock, stamps the queued-at tick and signals
    // the device event; the queue owns the record from then on.
    void QueueRecord(DeviceNotificationRecord* record);
    // The stop routine of the thread: 1 without instance or termination
    // event, else signals the termination event and answers 0.
    static int StopRoutine();
    static std::uint32_t DeviceChangeNotice(void* instance);
    // 1 when an arrival or removal was carried out, else 0.
    std::uint32_t HandleDeviceNotification(DeviceNotificationRecord* record);
    // 1 when the interface was announced, else 0.
    std::uint32_t DeviceArrival(const std::string& tid, DeviceNotificationRecord* record);
    // Always 1.
    std::uint32_t DeviceRemoval(const std::string& tid, DeviceNotificationRecord* record);
    void GetDeviceSessionInfo(DeviceSessionInfo* info, const DeviceNotificationRecord* record);
    std::size_t QueueLength();
    // True when no record is queued; the device event is then reset, ready
    // for the wait for the next one.
    bool ArmWhenEmpty();
    // Retries the arrivals whose next attempt is due; answers the wait until
    // the next one is (kInfinite when none waits).
    std::uint32_t RunDueRetries();
    // The end of an arrival once its interface type is known (or given up,
    // kInfUndefined): adopts the session and announces the interface, or
    // deletes the session. 1 when announced.
    std::uint32_t CompleteArrival(CEKLVUSBSession* session, const DeviceSessionInfo& info,
                                  DeviceNotificationRecord* record, std::uint32_t type);

protected:
    // Device-change processor state: used only by the processor instance,
    // empty in device sessions. The session lock doubles as its queue lock.
    std::deque<DeviceNotificationRecord*> m_DeviceQueue;
    pf::Handle m_pDeviceEvent = pf::kNullHandle;
    pf::Handle m_pTermEvent = pf::kNullHandle;
    pf::Handle m_thread = pf::kNullHandle;  // the DeviceChangeNotice thread, kept to wait for it
    // Arrivals whose interface type is not decided yet, retried when due
    // between other records instead of holding the thread in a sleep. The
    // device-change thread owns the list and alone uses it; null otherwise
    // (an arrival handled off that thread retries in place).
    PendingArrivals* m_pending = nullptr;

    pf::CriticalSection interface_lock_;
    pf::CriticalSection session_lock_;
    std::vector<InterfaceRecord> interfaces_;
    std::uint16_t device_id_ = 65535;
    std::string tid_;
    std::string product_id_;
    std::string product_string_;
};

}  // namespace eklv
