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

// The session manager, or null when the library is not initialised.
DeviceOperations* GetDeviceOperations();
void SetDeviceOperations(DeviceOperations* operations);

// Queues a host notification block with device-change processing and waits
// for it; true when it was handled in time.
using NotificationHandler = bool (*)(const EKLVNotificationBlock* block);
void SetNotificationHandler(NotificationHandler handler);
bool DeviceNotification(const EKLVNotificationBlock* block);

}  // namespace eklv
