// What the exported functions reach: the device operations of the session
// manager and the host-fed device notification of device-change processing.
// The session manager registers itself here while it exists; the exported
// device functions answer 14 while nothing is registered.
#pragma once

#include <cstdint>
#include <string>

#include "eklv/eklv.h"
#include "platform/handle.h"

namespace eklv {

class DeviceOperations {
public:
    virtual ~DeviceOperations() = default;
    virtual std::uint32_t ReadData(std::uint32_t device_id, pf::Handle handle, void* buffer, std::uint32_t* length) = 0;
    virtual std::uint32_t WriteData(std::uint32_t device_id, pf::Handle handle, const void* buffer,
                                    std::uint32_t length) = 0;
    // Sets *handle to kInvalidHandle first.
    virtual std::uint32_t OpenDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type,
                                              pf::Handle* handle, std::uint32_t synchronous) = 0;
    virtual std::uint32_t CloseDeviceInterface(std::uint32_t device_id, std::uint32_t interface_type) = 0;
    virtual std::uint32_t GetProductStringDescriptor(std::uint32_t device_id, std::string* product) = 0;
    virtual std::uint32_t GetComPort(std::uint32_t device_id, std::uint32_t interface_type, std::string* port) = 0;
    virtual std::uint32_t SetBaudRate(std::uint32_t device_id, std::uint32_t interface_type, std::uint32_t* rate) = 0;
};

// The gate every exported device function passes. EKLVInitialize opens it;
// EKLVUninitialize closes it before it tears anything down, so that a call
// never runs on an object being destroyed: calls that start afterwards
// answer 14, and shutdown waits for the calls already inside.
//
// EnterDeviceCall is false while the gate is closed; each true answer is
// paired with one LeaveDeviceCall.
bool EnterDeviceCall();
void LeaveDeviceCall();
// Opens the gate; the stop event is made (or kept) and reset.
void OpenDeviceCalls();
// Closes the gate and signals the stop event, which wakes waits that would
// otherwise outlast the shutdown. Answers how many calls are inside.
std::uint32_t CloseDeviceCalls();
// Waits up to bound_ms for the calls inside to leave; true when they did.
// The stop event is then closed; after a time-out it is kept, since a call
// still inside may wait on it.
bool DrainDeviceCalls(std::uint32_t bound_ms);
// Manual-reset event signalled once the gate closes; valid for a caller
// inside the gate. Null while the gate has never been opened.
pf::Handle DeviceCallsStopEvent();
// True from CloseDeviceCalls until the gate opens again: a call still
// inside then opens no interface (shutdown closes the open ones and waits
// for the calls on them).
bool DeviceCallsClosing();

// The session manager, or null when the library is not initialised.
DeviceOperations* GetDeviceOperations();
void SetDeviceOperations(DeviceOperations* operations);

// Queues a host notification block with device-change processing and waits
// for it; true when it was handled in time.
using NotificationHandler = bool (*)(const EKLVNotificationBlock* block);
void SetNotificationHandler(NotificationHandler handler);
bool DeviceNotification(const EKLVNotificationBlock* block);

}  // namespace eklv
