// The exported device functions as plain calls, shared by the exported
// entry points and the opcode entry: each logs its entry and exit lines
// and answers 14 while the library is not initialised.
#pragma once

#include <cstdint>

#include "eklv/eklv.h"

namespace eklv::api {

std::uint32_t OpenDevice(std::uint32_t device_id, std::uint32_t interface_type, EKLV_HANDLE* handle,
                         std::uint32_t synchronous);
std::uint32_t CloseDevice(std::uint32_t device_id, std::uint32_t interface_type);
std::uint32_t ReadData(std::uint32_t device_id, EKLV_HANDLE handle, void* buffer, std::uint32_t* length);
std::uint32_t WriteData(std::uint32_t device_id, EKLV_HANDLE handle, const void* data, std::uint32_t length);
std::uint32_t GetComPort(std::uint32_t device_id, std::uint32_t interface_type, EKLVString* port);
std::uint32_t SetBaudRate(std::uint32_t device_id, std::uint32_t interface_type, std::uint32_t* baud_rate);
std::uint32_t GetProductStringDescriptor(std::uint32_t device_id, EKLVString* product);
std::uint32_t SetCoreLogging(const EKLVLogSettings* settings);
std::uint32_t Notification(const EKLVNotificationBlock* block);

}  // namespace eklv::api
