// The device tree: device nodes, their properties and the device
// interfaces they expose, shaped like the Configuration Manager (CM_...),
// the Setup API (SetupDi...) and the registry calls the core was written
// against.
//
// A node is named by a DevInst, valid while the device is present; a call
// on a node that has gone answers kCrNoSuchDevNode. Instance ids and
// symbolic names have the Windows form:
//   instance id    usb\vid_6b4d&pid_abcd&mi_01\<instance>
//   symbolic name  \\?\usb#vid_6b4d&pid_abcd&mi_01#<instance>#{class guid}
#pragma once

#include <cstdint>
#include <string>

#include "platform/handle.h"
#include "platform/module.h"

namespace eklv::pf {

using DevInst = std::uint32_t;

// Configuration-manager results (CR_...).
inline constexpr std::uint32_t kCrSuccess = 0x00;
inline constexpr std::uint32_t kCrInvalidPointer = 0x03;
inline constexpr std::uint32_t kCrInvalidDevNode = 0x05;
inline constexpr std::uint32_t kCrNoSuchDevNode = 0x0D;
inline constexpr std::uint32_t kCrFailure = 0x13;
inline constexpr std::uint32_t kCrBufferSmall = 0x1A;
inline constexpr std::uint32_t kCrInvalidDeviceId = 0x1E;
inline constexpr std::uint32_t kCrNoSuchValue = 0x25;

inline constexpr std::uint32_t kCmLocateDevNodeNormal = 0;

// Node properties (CM_DRP_...).
inline constexpr std::uint32_t kCmDrpDeviceDesc = 1;
inline constexpr std::uint32_t kCmDrpService = 5;
inline constexpr std::uint32_t kCmDrpDriver = 10;

// Registry value types.
inline constexpr std::uint32_t kRegTypeSz = 1;
inline constexpr std::uint32_t kRegTypeExpandSz = 2;
inline constexpr std::uint32_t kRegTypeMultiSz = 7;

// Setup API errors (set as the last error).
inline constexpr std::uint32_t kErrorNoSuchDevinst = 0xE000020Bu;
inline constexpr std::uint32_t kErrorNoSuchDeviceInterface = 0xE0000216u;
inline constexpr std::uint32_t kErrorInvalidUserBuffer = 1784;

// Node with instance id; a null or empty id names the root of the tree.
std::uint32_t CM_Locate_DevNodeA(DevInst* node, const char* instance_id, std::uint32_t flags);
std::uint32_t CM_Get_Parent(DevInst* parent, DevInst node, std::uint32_t flags);
std::uint32_t CM_Get_Child(DevInst* child, DevInst node, std::uint32_t flags);
std::uint32_t CM_Get_Sibling(DevInst* sibling, DevInst node, std::uint32_t flags);
// Copies the instance id, NUL-terminated; kCrBufferSmall (text cut) when
// length cannot hold it and its NUL.
std::uint32_t CM_Get_Device_IDA(DevInst node, char* buffer, std::uint32_t length, std::uint32_t flags);
// A string property. With a null buffer or a *length too small, answers
// kCrBufferSmall with *length set to the bytes needed (NUL included);
// kCrNoSuchValue when the node has no such property.
std::uint32_t CM_Get_DevNode_Registry_PropertyA(DevInst node, std::uint32_t property, std::uint32_t* reg_type,
                                                void* buffer, std::uint32_t* length, std::uint32_t flags);

// ---- reads kept for one handling ----

// While one lives on a thread, the device-tree calls of that thread read
// each file, link and folder of the device tree once, and answer from that
// read for the rest of the scope: for the handling of one device change,
// whose dozens of questions are about the same few devices. Nested scopes
// count as one; nothing is kept past the outermost. Other threads and
// calls outside a scope read afresh. (A no-op where the system answers
// from its own state, as on Windows.)
class DeviceTreeReadScope {
public:
    DeviceTreeReadScope();
    ~DeviceTreeReadScope();
    DeviceTreeReadScope(const DeviceTreeReadScope&) = delete;
    DeviceTreeReadScope& operator=(const DeviceTreeReadScope&) = delete;
};

// ---- device information sets ----

using DevInfoSet = Handle;  // kInvalidHandle on failure
using RegKey = Handle;

inline constexpr std::uint32_t kDigcfPresent = 0x02;
inline constexpr std::uint32_t kDigcfDeviceInterface = 0x10;

inline constexpr std::uint32_t kDicsFlagGlobal = 1;
inline constexpr std::uint32_t kDiregDev = 1;
inline constexpr std::uint32_t kKeyQueryValue = 1;

struct DevInfoData {  // SP_DEVINFO_DATA
    std::uint32_t cbSize;
    Guid ClassGuid;
    std::uint32_t DevInst;
    std::uintptr_t Reserved;
};

struct DeviceInterfaceData {  // SP_DEVICE_INTERFACE_DATA
    std::uint32_t cbSize;
    Guid InterfaceClassGuid;
    std::uint32_t Flags;
    std::uintptr_t Reserved;
};

struct DeviceInterfaceDetailDataA {  // SP_DEVICE_INTERFACE_DETAIL_DATA_A
    std::uint32_t cbSize;
    char DevicePath[1];
};
// The cbSize a caller sets in DeviceInterfaceDetailDataA (the packed
// 32-bit size: the size field and one character).
inline constexpr std::uint32_t kDeviceInterfaceDetailDataSize = 5;

// The present device interfaces of a class (flags kDigcfPresent |
// kDigcfDeviceInterface), limited to one device when enumerator is an
// instance id, or to one bus when it is an enumerator name ("USB").
DevInfoSet SetupDiGetClassDevsA(const Guid* class_guid, const char* enumerator, std::uint32_t flags);
// An empty set to open devices and interfaces in.
DevInfoSet SetupDiCreateDeviceInfoListExA();
bool SetupDiDestroyDeviceInfoList(DevInfoSet set);
// The index-th interface of the class in the set; false with
// kErrorNoMoreItems past the end.
bool SetupDiEnumDeviceInterfaces(DevInfoSet set, const DevInfoData* device, const Guid* class_guid,
                                 std::uint32_t index, DeviceInterfaceData* data);
// Device path of an interface. With a null or too small detail, answers
// false with kErrorInsufficientBuffer and *required_size set; device (when
// given) is filled in either case.
bool SetupDiGetDeviceInterfaceDetailA(DevInfoSet set, const DeviceInterfaceData* data,
                                      DeviceInterfaceDetailDataA* detail, std::uint32_t detail_size,
                                      std::uint32_t* required_size, DevInfoData* device);
// Adds the device of the instance id (or the interface of the symbolic
// name) to the set.
bool SetupDiOpenDeviceInfoA(DevInfoSet set, const char* instance_id, std::uint32_t flags, DevInfoData* device);
bool SetupDiOpenDeviceInterfaceA(DevInfoSet set, const char* symbolic_name, std::uint32_t flags,
                                 DeviceInterfaceData* data);
// The device's hardware key, for reading values such as "PortName".
RegKey SetupDiOpenDevRegKey(DevInfoSet set, const DevInfoData* device, std::uint32_t scope, std::uint32_t profile,
                            std::uint32_t key_type, std::uint32_t access);

// Registry results are error codes (0 success, kErrorFileNotFound for an
// absent value, kErrorMoreData when data is too small; *size then holds
// the bytes needed). A null data asks for type and size only.
std::uint32_t RegQueryValueExA(RegKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* size);
std::uint32_t RegCloseKey(RegKey key);

// ---- a USB node's place, in one question ----

struct UsbPlace {
    std::string hub_instance_id;     // the nearest hub above the node
    std::string device_instance_id;  // the device on that hub's port: the node, or the device above an interface
    int port = 0;                    // the hub port it is on, from 1
};
// What a parent walk (CM_Get_Parent up to the first node that exposes the
// hub class with a "hub" service) and a scan of that hub's ports (the port
// whose driver key is the device's) would find, answered from one look at
// the tree. False when the node is not present, no hub is above it, or the
// backend cannot answer at once: the Win32 backend never does, and the
// caller then walks and scans. A true answer is always the one the walk and
// the scan would give.
bool UsbPlaceOf(const char* instance_id, UsbPlace* place);

}  // namespace eklv::pf
