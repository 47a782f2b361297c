// The device tree: cfgmgr32's CM_ functions, the Setup API and the registry,
// each called as it is. Wine lists no USB devices, so this file runs on real
// Windows only (docs/windows.md).
#include "platform/devtree.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>

namespace eklv::pf {

static_assert(sizeof(DevInfoData) == sizeof(SP_DEVINFO_DATA));
static_assert(sizeof(DeviceInterfaceData) == sizeof(SP_DEVICE_INTERFACE_DATA));
static_assert(offsetof(DeviceInterfaceDetailDataA, DevicePath) ==
              offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));

namespace {
HDEVINFO Set(DevInfoSet set) { return reinterpret_cast<HDEVINFO>(set); }
const GUID* G(const Guid* guid) { return reinterpret_cast<const GUID*>(guid); }
SP_DEVINFO_DATA* D(const DevInfoData* d) { return reinterpret_cast<SP_DEVINFO_DATA*>(const_cast<DevInfoData*>(d)); }
SP_DEVICE_INTERFACE_DATA* I(const DeviceInterfaceData* d) {
    return reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(const_cast<DeviceInterfaceData*>(d));
}

// CM_Get_Parent, CM_Get_Child and CM_Get_Sibling: the node found goes to the
// caller's optional pointer. (A template: on i686 they are __stdcall.)
template <typename Get>
std::uint32_t Relative(Get get, DevInst* out, DevInst node, std::uint32_t flags) {
    DEVINST d = 0;
    CONFIGRET r = get(&d, node, flags);
    if (out != nullptr) *out = d;
    return r;
}

// A device property or registry value read: the value's type and the
// buffer's size pass in and out through the caller's optional pointers, in
// the system's widths (ULONG and DWORD are the same type here).
template <typename Read>
std::uint32_t ReadValue(std::uint32_t* type, std::uint32_t* size, Read read) {
    DWORD t = 0;
    DWORD s = size != nullptr ? *size : 0;
    auto r = read(&t, &s);
    if (type != nullptr) *type = t;
    if (size != nullptr) *size = s;
    return static_cast<std::uint32_t>(r);
}
}  // namespace

std::uint32_t CM_Locate_DevNodeA(DevInst* node, const char* instance_id, std::uint32_t flags) {
    DEVINST d = 0;
    CONFIGRET r = ::CM_Locate_DevNodeA(&d, const_cast<char*>(instance_id), flags);
    if (node != nullptr) *node = d;
    return r;
}

std::uint32_t CM_Get_Parent(DevInst* parent, DevInst node, std::uint32_t flags) {
    return Relative(::CM_Get_Parent, parent, node, flags);
}

std::uint32_t CM_Get_Child(DevInst* child, DevInst node, std::uint32_t flags) {
    return Relative(::CM_Get_Child, child, node, flags);
}

std::uint32_t CM_Get_Sibling(DevInst* sibling, DevInst node, std::uint32_t flags) {
    return Relative(::CM_Get_Sibling, sibling, node, flags);
}

std::uint32_t CM_Get_Device_IDA(DevInst node, char* buffer, std::uint32_t length, std::uint32_t flags) {
    return ::CM_Get_Device_IDA(node, buffer, length, flags);
}

std::uint32_t CM_Get_DevNode_Registry_PropertyA(DevInst node, std::uint32_t property, std::uint32_t* reg_type,
                                                void* buffer, std::uint32_t* length, std::uint32_t flags) {
    return ReadValue(reg_type, length, [&](DWORD* type, DWORD* size) {
        return ::CM_Get_DevNode_Registry_PropertyA(node, property, type, buffer, size, flags);
    });
}

DevInfoSet SetupDiGetClassDevsA(const Guid* class_guid, const char* enumerator, std::uint32_t flags) {
    return reinterpret_cast<DevInfoSet>(::SetupDiGetClassDevsA(G(class_guid), enumerator, nullptr, flags));
}

DevInfoSet SetupDiCreateDeviceInfoListExA() {
    return reinterpret_cast<DevInfoSet>(::SetupDiCreateDeviceInfoListExA(nullptr, nullptr, nullptr, nullptr));
}

bool SetupDiDestroyDeviceInfoList(DevInfoSet set) { return ::SetupDiDestroyDeviceInfoList(Set(set)) != FALSE; }

bool SetupDiEnumDeviceInterfaces(DevInfoSet set, const DevInfoData* device, const Guid* class_guid,
                                 std::uint32_t index, DeviceInterfaceData* data) {
    return ::SetupDiEnumDeviceInterfaces(Set(set), D(device), G(class_guid), index, I(data)) != FALSE;
}

bool SetupDiGetDeviceInterfaceDetailA(DevInfoSet set, const DeviceInterfaceData* data,
                                      DeviceInterfaceDetailDataA* detail, std::uint32_t detail_size,
                                      std::uint32_t* required_size, DevInfoData* device) {
    // The caller's cbSize is the packed 32-bit one (5); a 64-bit Setup API
    // wants its own structure size (8).
    if (detail != nullptr) detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    DWORD required = 0;
    BOOL ok = ::SetupDiGetDeviceInterfaceDetailA(Set(set), I(data),
                                                 reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail),
                                                 detail_size, &required, D(device));
    if (required_size != nullptr) *required_size = required;
    return ok != FALSE;
}

bool SetupDiOpenDeviceInfoA(DevInfoSet set, const char* instance_id, std::uint32_t flags, DevInfoData* device) {
    return ::SetupDiOpenDeviceInfoA(Set(set), instance_id, nullptr, flags, D(device)) != FALSE;
}

bool SetupDiOpenDeviceInterfaceA(DevInfoSet set, const char* symbolic_name, std::uint32_t flags,
                                 DeviceInterfaceData* data) {
    return ::SetupDiOpenDeviceInterfaceA(Set(set), symbolic_name, flags, I(data)) != FALSE;
}

RegKey SetupDiOpenDevRegKey(DevInfoSet set, const DevInfoData* device, std::uint32_t scope, std::uint32_t profile,
                            std::uint32_t key_type, std::uint32_t access) {
    return reinterpret_cast<RegKey>(::SetupDiOpenDevRegKey(Set(set), D(device), scope, profile, key_type, access));
}

std::uint32_t RegQueryValueExA(RegKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* size) {
    return ReadValue(type, size, [&](DWORD* t, DWORD* s) {
        return ::RegQueryValueExA(reinterpret_cast<HKEY>(key), value_name, nullptr, t, data,
                                  size != nullptr ? s : nullptr);
    });
}

std::uint32_t RegCloseKey(RegKey key) { return static_cast<std::uint32_t>(::RegCloseKey(reinterpret_cast<HKEY>(key))); }

DeviceTreeReadScope::DeviceTreeReadScope() = default;
DeviceTreeReadScope::~DeviceTreeReadScope() = default;

// Windows has no one question for it: the core walks the tree and asks the
// hub, as it always did.
bool UsbPlaceOf(const char* instance_id, UsbPlace* place) {
    (void)instance_id;
    (void)place;
    return false;
}

}  // namespace eklv::pf
