// The twelve exported entry points. Each is a thin wrapper: no exception
// leaves the library.
#include "api/device_calls.h"
#include "api/lifecycle.h"
#include "api/opcode_entry.h"
#include "eklv/eklv.h"
#include "log/message_logger.h"

using namespace eklv;

namespace {

template <class Call>
std::uint32_t Guarded(const char* name, std::uint32_t on_failure, Call call) {
    try {
        return call();
    } catch (...) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "%s - unexpected failure", name);
        return on_failure;
    }
}

}  // namespace

extern "C" {

EKLV_API uint32_t EKLV_CALL EKLVInitialize(const EKLVInitParams* params) {
    return Guarded("EKLVInitialize", EKLV_NO_RESOURCES, [&] { return InitializeLibrary(params); });
}

EKLV_API uint32_t EKLV_CALL EKLVUninitialize(void) {
    return Guarded("EKLVUninitialize", EKLV_NO_SUPERVISOR, [] { return UninitializeLibrary(); });
}

EKLV_API uint32_t EKLV_CALL EKLVOpenDevice(uint32_t device_id, uint32_t interface_type, EKLV_HANDLE* handle,
                                 uint32_t synchronous) {
    return api::OpenDevice(device_id, interface_type, handle, synchronous);
}

EKLV_API uint32_t EKLV_CALL EKLVCloseDevice(uint32_t device_id, uint32_t interface_type) {
    return api::CloseDevice(device_id, interface_type);
}

EKLV_API uint32_t EKLV_CALL EKLVReadData(uint32_t device_id, EKLV_HANDLE handle, void* buffer, uint32_t* length) {
    return api::ReadData(device_id, handle, buffer, length);
}

EKLV_API uint32_t EKLV_CALL EKLVWriteData(uint32_t device_id, EKLV_HANDLE handle, const void* data, uint32_t length) {
    return api::WriteData(device_id, handle, data, length);
}

EKLV_API uint32_t EKLV_CALL EKLVGetComPort(uint32_t device_id, uint32_t interface_type, EKLVString* port) {
    return api::GetComPort(device_id, interface_type, port);
}

EKLV_API uint32_t EKLV_CALL EKLVSetBaudRate(uint32_t device_id, uint32_t interface_type, uint32_t* baud_rate) {
    return api::SetBaudRate(device_id, interface_type, baud_rate);
}

EKLV_API uint32_t EKLV_CALL EKLVGetProductStringDescriptor(uint32_t device_id, EKLVString* product) {
    return api::GetProductStringDescriptor(device_id, product);
}

EKLV_API uint32_t EKLV_CALL EKLVSetCoreLogging(const EKLVLogSettings* settings) { return api::SetCoreLogging(settings); }

EKLV_API uint32_t EKLV_CALL EKLVNotification(const EKLVNotificationBlock* block) { return api::Notification(block); }

EKLV_API uint32_t EKLV_CALL ZORVAN_OnCall(uint32_t opcode, EKLVCallBlock* block, uint32_t* result) {
    return Guarded("ZORVAN_OnCall", EKLV_READ_FAILED, [&] { return api::OnCall(opcode, block, result); });
}

}  // extern "C"
