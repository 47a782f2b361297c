// CKLVSession: the base of every device session. It holds the device's
// identity and its interface records behind two locks; the USB session
// (transport/usb_session.h) overrides the operations that touch hardware.
// Device-change processing is hotplug/device_change_processor.h.
//
// Lock order: the interface lock before the session lock. Both are
// re-entrant for the thread that holds them.
#pragma once

#include <cstdint>
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

// Interface paths are compared without regard to ASCII letter case.
bool SameInterfaceName(const std::string& a, const std::string& b);

class CKLVSession {
public:
    CKLVSession();
    CKLVSession(const CKLVSession&) = delete;
    CKLVSession& operator=(const CKLVSession&) = delete;

    // Virtual operations, in slot order. Result codes are eklv.h's.

    // Overwrites the first record of type with a copy of record: EKLV_OK,
    // or EKLV_NOT_COMPLETED when type is INF_UNDEFINED or absent.
    virtual std::uint32_t UpdateInterface(std::uint32_t type, const InterfaceRecord& record);
    virtual pf::Handle OpenInterface(std::uint32_t type, std::uint32_t synchronous);
    virtual std::uint32_t CloseInterface(std::uint32_t type);
    virtual ~CKLVSession();
    virtual std::uint32_t SetSessionInfo(const DeviceSessionInfo& info);
    // Copies every record in order: EKLV_OK, or EKLV_NO_SUCH_INTERFACE (and
    // an empty array) when there is none.
    virtual std::uint32_t GetInterfaces(std::vector<InterfaceRecord>* records);
    // Copies the first record of type: EKLV_OK, or EKLV_NOT_COMPLETED when
    // type is INF_UNDEFINED or absent.
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
    // Closes and removes the first record named name: its type, or
    // INF_UNDEFINED.
    virtual std::uint32_t RemoveInterface(const std::string& name, std::uint32_t* type);
    virtual bool HasInterface(const std::string& name);

    // EKLV_OK with the COM port name of the interface of *type;
    // EKLV_NOT_COMPLETED when there is none or a composite device's lookups
    // fail; EKLV_NO_SUCH_INTERFACE when its path is empty; otherwise the
    // property query's code.
    std::uint32_t GetComPortName(std::string* out, const std::uint32_t* type);
    // Serial defaults (921600 8N1, flow control and DTR/RTS off) overridden
    // by [COM_PORT_SETTING] of eklv.ini; other fields keep the caller's values.
    void InitComPortConfig(pf::Dcb* dcb);
    // Logs the bytes in hex at level 4.
    void DumpPacket(const void* bytes, std::uint32_t length);

    // Held by whoever must keep an interface's record and its handle as
    // they are (a close or removal waits for it).
    pf::CriticalSection& InterfaceLock() { return interface_lock_; }

    const std::string& GetTID() const { return tid_; }
    const std::string& GetProductId() const { return product_id_; }

protected:
    pf::CriticalSection interface_lock_;
    pf::CriticalSection session_lock_;
    std::vector<InterfaceRecord> interfaces_;
    std::uint16_t device_id_ = 65535;
    std::string tid_;
    std::string product_id_;
    std::string product_string_;
};

}  // namespace eklv
