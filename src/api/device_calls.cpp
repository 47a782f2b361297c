#include "api/device_calls.h"

#include <string>

#include "log/message_logger.h"
#include "session/device_operations.h"

namespace eklv::api {
namespace {

// Holds the call gate for one call: see device_operations.h.
class GatePass {
public:
    GatePass() : entered_(EnterDeviceCall()) {}
    ~GatePass() {
        if (entered_) LeaveDeviceCall();
    }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;
    bool entered() const { return entered_; }

private:
    const bool entered_;
};

// The frame of every device function: entry line, 14 without a session
// manager or while the library stops, the manager's answer passed on
// unchanged, exit line. Nothing thrown inside reaches the host.
template <class Operation>
std::uint32_t DeviceCall(const char* name, std::uint32_t device_id, Operation operation) {
    LogMessage(device_id, kLogInfo, kCatApi, "%s (<-)", name);
    std::uint32_t result = EKLV_NOT_INITIALIZED;
    try {
        GatePass pass;
        DeviceOperations* manager = pass.entered() ? GetDeviceOperations() : nullptr;
        if (manager != nullptr) result = operation(*manager);
    } catch (...) {
        LogMessage(device_id, kLogError, kCatGeneral, "%s - unexpected failure", name);
        result = EKLV_NOT_COMPLETED;
    }
    LogMessage(device_id, kLogInfo, kCatApi, "%s (->), %d", name, static_cast<int>(result));
    return result;
}

void AssignText(EKLVString* out, const std::string& text) {
    if (out != nullptr) EKLVStringAssign(out, text.data(), text.size());
}

}  // namespace

std::uint32_t OpenDevice(std::uint32_t device_id, std::uint32_t interface_type, EKLV_HANDLE* handle,
                         std::uint32_t synchronous) {
    return DeviceCall("EKLVOpenDevice", device_id, [&](DeviceOperations& m) {
        pf::Handle h = pf::kInvalidHandle;
        std::uint32_t r = m.OpenDeviceInterface(device_id, interface_type, &h, synchronous);
        if (handle != nullptr) *handle = h;
        return r;
    });
}

std::uint32_t CloseDevice(std::uint32_t device_id, std::uint32_t interface_type) {
    return DeviceCall("EKLVCloseDevice", device_id,
                      [&](DeviceOperations& m) { return m.CloseDeviceInterface(device_id, interface_type); });
}

std::uint32_t ReadData(std::uint32_t device_id, EKLV_HANDLE handle, void* buffer, std::uint32_t* length) {
    return DeviceCall("EKLVReadData", device_id,
                      [&](DeviceOperations& m) { return m.ReadData(device_id, handle, buffer, length); });
}

std::uint32_t WriteData(std::uint32_t device_id, EKLV_HANDLE handle, const void* data, std::uint32_t length) {
    return DeviceCall("EKLVWriteData", device_id,
                      [&](DeviceOperations& m) { return m.WriteData(device_id, handle, data, length); });
}

std::uint32_t GetComPort(std::uint32_t device_id, std::uint32_t interface_type, EKLVString* port) {
    return DeviceCall("EKLVGetComPort", device_id, [&](DeviceOperations& m) {
        std::string text;
        std::uint32_t r = m.GetComPort(device_id, interface_type, &text);
        if (r == EKLV_OK) AssignText(port, text);
        return r;
    });
}

std::uint32_t SetBaudRate(std::uint32_t device_id, std::uint32_t interface_type, std::uint32_t* baud_rate) {
    return DeviceCall("EKLVSetBaudRate", device_id,
                      [&](DeviceOperations& m) { return m.SetBaudRate(device_id, interface_type, baud_rate); });
}

std::uint32_t GetProductStringDescriptor(std::uint32_t device_id, EKLVString* product) {
    return DeviceCall("EKLVGetProductStringDescriptor", device_id, [&](DeviceOperations& m) {
        std::string text;
        std::uint32_t r = m.GetProductStringDescriptor(device_id, &text);
        if (r == EKLV_OK) AssignText(product, text);
        return r;
    });
}

std::uint32_t SetCoreLogging(const EKLVLogSettings* settings) {
    return DeviceCall("EKLVSetCoreLogging", kNoDevice, [&](DeviceOperations&) {
        if (settings != nullptr) {
            LogSettings s{settings->level_mask, settings->flush};
            if (CKLVMessageLogger* logger = CKLVMessageLogger::GetInstance()) logger->SetLogging(&s);
        }
        return static_cast<std::uint32_t>(EKLV_OK);
    });
}

std::uint32_t Notification(const EKLVNotificationBlock* block) {
    const std::uint32_t device_id = block != nullptr ? block->device_id : kNoDevice;
    LogMessage(device_id, kLogInfo, kCatApi, "EKLVNotification (<-)");
    std::uint32_t result = EKLV_NOT_COMPLETED;
    try {
        GatePass pass;
        // Closed before EKLVInitialize and from the start of EKLVUninitialize:
        // no queue then, or one about to go.
        if (!pass.entered())
            LogMessage(device_id, kLogError, kCatGeneral,
                       "CKLVSessionMgr::DeviceNotification - device-change processing is not running");
        else if (DeviceNotification(block))
            result = EKLV_OK;
    } catch (...) {
        LogMessage(device_id, kLogError, kCatGeneral, "EKLVNotification - unexpected failure");
    }
    LogMessage(device_id, kLogInfo, kCatApi, "EKLVNotification (->), %d", static_cast<int>(result));
    return result;
}

}  // namespace eklv::api
