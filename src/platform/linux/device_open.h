// How the Linux backend's CreateFileA reaches the two kinds of device.
// The serial backend implements OpenSerialDevice, the hub backend
// OpenHubDevice; file.cpp dispatches on the name.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace eklv::pf::lx {

// name is a hub's symbolic name; answers kInvalidHandle (last error set)
// when no such hub is present.
Handle OpenHubDevice(const std::string& name);

// Hub control requests (DeviceIoControl) on a handle from OpenHubDevice,
// answered synchronously; false with kErrorInvalidHandle when the handle
// names no hub.
bool HubDeviceIoControl(Handle hub, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                        std::uint32_t out_size, std::uint32_t* returned);

// name is "\\.\<port>" or a serial interface's symbolic name.
Handle OpenSerialDevice(const std::string& name, bool overlapped);

// True when the symbolic name carries the USB hub interface class.
bool IsHubSymbolicName(const std::string& name);

}  // namespace eklv::pf::lx
