// CKLVUSBUtilities: symbolic names, filters and device-tree queries.
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "core/settings.h"
#include "discovery/name_rules.h"
#include "discovery/usb_utilities.h"
#include "log/message_logger.h"
#include "platform/devtree.h"

namespace eklv {

const pf::Guid kGuidUsbHubInterface = {0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};

namespace {

constexpr std::size_t kMinSymbolicName = 17;
constexpr std::size_t kMaxSymbolicName = 512;
constexpr const char* kMakerVendor = "vid_6b4d";
constexpr const char* kModemPortDescription = "MTK USB Modem Port";
constexpr const char* kGadgetPortDescription = "Gadget CDC VCOM Port";
// Windows' own CDC ACM driver (usbser) describes every function it serves so.
constexpr const char* kUsbSerialDescription = "USB Serial Device";
// A pre-order walk of any real device tree ends long before this; the
// bound only keeps a tree that changes under the walk from holding it.
constexpr int kMaxWalkNodes = 65536;

// The criteria of the walk to the node below the nearest hub above name.
DeviceSearchCriteria BelowHub(const std::string& name) {
    DeviceSearchCriteria criteria;
    criteria.SymbolicName = name;
    criteria.ServiceText = "hub";
    criteria.InterfaceClass = &kGuidUsbHubInterface;
    return criteria;
}

bool IsSerialFunction(const char* description) {
    return EqualsNoCase(description, kModemPortDescription) || EqualsNoCase(description, kGadgetPortDescription) ||
           EqualsNoCase(description, kUsbSerialDescription);
}

void LogInfo(const char* format, const char* text) { LogMessage(kNoDevice, kLogInfo, kCatGeneral, format, text); }
void LogError(const char* format, const char* text) { LogMessage(kNoDevice, kLogError, kCatGeneral, format, text); }

// Instance id of a node (up to size characters), or false.
bool ReadDeviceId(pf::DevInst node, std::uint32_t size, std::string* id) {
    std::vector<char> buffer(size + 1, '\0');
    if (pf::CM_Get_Device_IDA(node, buffer.data(), size, 0) != pf::kCrSuccess) return false;
    *id = buffer.data();
    return true;
}

// A string property read in two steps (size, then value), where the
// buffer-too-small answer of the first step counts as success. Answers the
// configuration-manager code of the failing step.
std::uint32_t ReadStringProperty(pf::DevInst node, std::uint32_t property, std::string* value) {
    std::uint32_t size = 0;
    std::uint32_t cr = pf::CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, nullptr, &size, 0);
    if (cr != pf::kCrSuccess && cr != pf::kCrBufferSmall) return cr;
    std::vector<char> buffer(size + 1, '\0');
    cr = pf::CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer.data(), &size, 0);
    if (cr != pf::kCrSuccess) return cr;
    *value = buffer.data();
    return pf::kCrSuccess;
}

// The size rule of a registry string read: room for the terminator the
// stored value may lack.
std::uint32_t WithTerminator(std::uint32_t size, std::uint32_t type) {
    if (type == kRegSz || type == kRegExpandSz) return size + 1;
    if (type == kRegMultiSz) return size + 2;
    return size;
}

// Closes the set (and key) on every path.
struct DevInfoScope {
    pf::DevInfoSet set = pf::kInvalidHandle;
    pf::RegKey key = pf::kInvalidHandle;
    ~DevInfoScope() {
        if (key != pf::kInvalidHandle) pf::RegCloseKey(key);
        if (set != pf::kInvalidHandle) pf::SetupDiDestroyDeviceInfoList(set);
    }
};

}  // namespace

std::uint32_t CKLVUSBUtilities::ValidateSymbolicName(const std::string& name) {
    if (name.size() >= kMinSymbolicName && name.size() <= kMaxSymbolicName) return kUsbOk;
    LogInfo("Invalid symbolic - (%s)", name.c_str());
    return kUsbInvalid;
}

std::uint32_t CKLVUSBUtilities::IsDeviceSupported(const std::string& name) {
    std::uint32_t result = ValidateSymbolicName(name);
    if (result != kUsbOk) return result;
    if (!SearchVIDFilter(name)) {
        LogError("SearchVIDFilter unsupported[%s]", name.c_str());
        return kUsbInvalid;
    }
    if (!SearchPIDFilter(name)) {
        LogError("SearchPIDFilter unsupported[%s]", name.c_str());
        return kUsbInvalid;
    }
    if (!SearchMTKSmartPIDFilter(name)) {
        LogError("SearchMTKSmartPIDFilter unsupported[%s]", name.c_str());
        return kUsbInvalid;
    }
    return kUsbOk;
}

bool CKLVUSBUtilities::SearchVIDFilter(const std::string& name) {
    std::string lower = LowerCopy(name);
    if (lower.empty()) return false;
    for (int n = 0;; ++n) {
        char key[32];
        std::snprintf(key, sizeof key, "VID_%d", n);
        std::string value;
        bool read = GetIniString("VID_FILTER", key, "", &value);
        if (!value.empty() && Contains(lower, value)) return true;
        if (!read) return false;
    }
}

bool CKLVUSBUtilities::SearchPIDFilter(const std::string& name) {
    if (name.empty()) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBUtilities::SearchPIDFilter - Empty SymbolicName");
        return false;
    }
    std::string lower = LowerCopy(name);
    std::string pid;
    if (GetPIDFromSymbolicName(lower, &pid) != kUsbOk || pid.empty()) {
        LogError("CKLVUSBUtilities::SearchPIDFilter - Get PID failed with [%s]", lower.c_str());
        return false;
    }
    std::string value;
    GetIniString("PID_FILTER", pid.c_str(), "", &value);
    if (!value.empty() && !Contains(lower, value)) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBUtilities::SearchPIDFilter - Can't find key[%s] from [%s]",
                   value.c_str(), lower.c_str());
        return false;
    }
    return true;
}

bool CKLVUSBUtilities::SearchMTKSmartPIDFilter(const std::string& name) {
    if (name.empty()) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBUtilities::SearchMTKSmartPIDFilter - Empty SymbolicName");
        return false;
    }
    std::string lower = LowerCopy(name);
    if (!Contains(lower, kMakerVendor)) return true;
    std::string pid;
    if (GetPIDFromSymbolicName(lower, &pid) != kUsbOk || pid.empty()) {
        LogError("CKLVUSBUtilities::SearchMTKSmartPIDFilter - Get PID failed with [%s]", lower.c_str());
        return false;
    }
    // A name that ends inside its product id has no four digits to list.
    if (pid.size() < 8) return false;
    std::string digits = pid.substr(4, 4);
    std::string list;
    bool found = GetIniString("MTK_SMART_PID_FILTER", "PID_LIST", "", &list);
    return found && Contains(list, digits);
}

std::uint32_t CKLVUSBUtilities::GetDeviceInstanceID(const std::string& name, std::string* instance_id) {
    if (ValidateSymbolicName(name) != kUsbOk) {
        LogError("CKLVUSBUtilities::GetDeviceInstanceID - Failed to validate input parameter (%s)", name.c_str());
        return kUsbInvalid;
    }
    InstanceIdOfValidName(name, instance_id);
    return kUsbOk;
}

bool CKLVUSBUtilities::InstanceIdOfValidName(const std::string& name, std::string* instance_id) {
    instance_id->clear();
    if (name.size() < kMinSymbolicName || name.size() > kMaxSymbolicName) return false;
    std::size_t end = name.find("#{");
    if (end != std::string::npos && end > 4) {
        *instance_id = name.substr(4, end - 4);
        for (char& c : *instance_id)
            if (c == '#') c = '\\';
    }
    return true;
}

std::uint32_t CKLVUSBUtilities::IsInterfaceTypePresent(const std::string& instance_id, const pf::Guid* interface_class) {
    if (instance_id.empty() || interface_class == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral,
                   "CKLVUSBUtilities::IsInterfaceTypePresent : Invalid Parameter passed ");
        return kUsbInvalid;
    }
    std::uint32_t result = kUsbQueryFailed;
    std::uint32_t error = 0;
    pf::DevInfoSet set =
        pf::SetupDiGetClassDevsA(interface_class, instance_id.c_str(), pf::kDigcfPresent | pf::kDigcfDeviceInterface);
    if (set == pf::kInvalidHandle) {
        error = pf::GetLastError();
    } else {
        pf::DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        if (pf::SetupDiEnumDeviceInterfaces(set, nullptr, interface_class, 0, &data))
            result = kUsbOk;
        else
            error = pf::GetLastError();
        pf::SetupDiDestroyDeviceInfoList(set);
    }
    if (error != 0 && error != pf::kErrorNoMoreItems)
        LogMessage(kNoDevice, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::IsInterfaceTypePresent : SetupDiGetClassdevs failed , error = (%d)",
                   static_cast<int>(error));
    return result;
}

std::uint32_t CKLVUSBUtilities::FindDeviceInstance(const DeviceSearchCriteria& criteria, std::string* instance_id) {
    const std::string& name = criteria.SymbolicName;
    if (ValidateSymbolicName(name) != kUsbOk) {
        LogInfo("CKLVUSBUtilities::FindDeviceInstance: Failed to validate input parameters- %s", name.c_str());
        return kUsbInvalid;
    }
    std::string start_id;
    if (GetDeviceInstanceID(name, &start_id) != kUsbOk) {
        LogInfo("CKLVUSBUtilities::FindDeviceInstance: Failed to get device instance id from- %s", name.c_str());
        return kUsbInvalid;
    }
    pf::DevInst current = 0;
    std::uint32_t cr = pf::CM_Locate_DevNodeA(&current, start_id.c_str(), pf::kCmLocateDevNodeNormal);
    if (cr != pf::kCrSuccess) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::FindDeviceInstance: Failed to locate given device node. Error: %d",
                   static_cast<int>(cr));
        return kUsbQueryFailed;
    }
    *instance_id = start_id;
    for (std::uint32_t steps = 0;; ++steps) {
        if (criteria.MaxSteps != 0xFFFFFFFFu && steps >= criteria.MaxSteps) break;
        pf::DevInst next = 0;
        cr = criteria.Direction == 0 ? pf::CM_Get_Parent(&next, current, 0) : pf::CM_Get_Sibling(&next, current, 0);
        if (cr != pf::kCrSuccess) break;
        std::string next_id;
        if (!ReadDeviceId(next, 512, &next_id)) break;
        next_id = LowerCopy(next_id);
        if (criteria.MatchService != 0) {
            std::string service;
            if (ReadStringProperty(next, pf::kCmDrpService, &service) != pf::kCrSuccess) break;
            std::uint32_t present = kUsbOk;
            if (criteria.InterfaceClass != nullptr) present = IsInterfaceTypePresent(next_id, criteria.InterfaceClass);
            // Without regard to case: the in-box USB 3 hub driver of Windows 8
            // and later is USBHUB3, USB 2 hubs are usbhub.
            if (present == kUsbOk && ContainsNoCase(service, criteria.ServiceText)) {
                // A parent walk answers the node below the match.
                if (criteria.Direction == 1) *instance_id = next_id;
                return kUsbOk;
            }
        }
        *instance_id = next_id;
        current = next;
    }
    return criteria.MatchService != 0 ? kUsbQueryFailed : kUsbOk;
}

std::uint32_t CKLVUSBUtilities::GetPIDFromSymbolicName(const std::string& name, std::string* pid) {
    pid->clear();
    if (ValidateSymbolicName(name) != kUsbOk) {
        LogInfo("CKLVUSBUtilities::GetPIDFromSymbolicName: Invalid input parameter- %s", name.c_str());
        return kUsbInvalid;
    }
    std::string lower = LowerCopy(name);
    std::size_t pos = lower.find("pid");
    if (pos != std::string::npos) {
        *pid = lower.substr(pos, 8);
        return kUsbOk;
    }
    std::string parent;
    if (FindDeviceInstance(BelowHub(name), &parent) != kUsbOk) {
        LogInfo("CKLVUSBUtilities::GetPIDFromSymbolicName: Unable to get parent instance ID. (%s)", name.c_str());
        return kUsbQueryFailed;
    }
    parent = LowerCopy(parent);
    pos = parent.find("pid");
    if (pos == std::string::npos) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetPIDFromSymbolicName: Parent instance ID doesnot contain PID.");
        return kUsbQueryFailed;
    }
    *pid = parent.substr(pos, 8);
    return kUsbOk;
}

std::uint32_t CKLVUSBUtilities::FindIfDeviceExists(const std::string& name) {
    std::string id;
    if (GetDeviceInstanceID(name, &id) != kUsbOk) {
        LogInfo("CKLVUSBUtilities::FindIfDeviceExists: Failed to get device instance id from- %s", name.c_str());
        return kUsbInvalid;
    }
    pf::DevInst node = 0;
    std::uint32_t cr = pf::CM_Locate_DevNodeA(&node, id.c_str(), pf::kCmLocateDevNodeNormal);
    if (cr != pf::kCrSuccess) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::FindIfDeviceExists: Failed to locate given device node. Error: %d",
                   static_cast<int>(cr));
        return kUsbNotPresent;
    }
    return kUsbOk;
}

bool CKLVUSBUtilities::IsCompositeDevice(const std::string& name) {
    std::string pid;
    if (GetPIDFromSymbolicName(LowerCopy(name), &pid) != kUsbOk || pid.empty()) {
        LogError("CKLVUSBUtilities::IsCompositeDevice - Get PID failed[%s]", name.c_str());
        return false;
    }
    int composite = 0;
    GetIniIntDefault("COMPOSITEDEVICE_FILTER", pid.c_str(), 0, &composite);
    if (composite == 0) return false;
    LogInfo("CKLVUSBUtilities::IsCompositeDevice - Composite Device[%s]", name.c_str());
    return true;
}

bool CKLVUSBUtilities::GetDeviceInstanceIDFromSymlic(const std::string& name, std::string* instance_id) {
    std::string start_id;
    if (GetDeviceInstanceID(name, &start_id) != kUsbOk) {
        LogError("CKLVUSBUtilities::GetDeviceInstanceIDFromSymlic - GetDeviceInstanceID failed[%s]", name.c_str());
        return false;
    }
    bool result = false;
    std::uint32_t error = 0;
    pf::DevInst node = 0;
    if (pf::CM_Locate_DevNodeA(&node, start_id.c_str(), pf::kCmLocateDevNodeNormal) != pf::kCrSuccess) {
        error = pf::GetLastError();
    } else {
        // Pre-order from the start node, but never above the phone's own
        // node (the device below its hub): a walk that went on through the
        // rest of the tree gave a composite phone whose serial function it
        // did not recognise the COM port of the next phone. A phone that
        // cannot be placed keeps the walk to the start node's subtree.
        pf::DevInst phone = node;
        std::string phone_id;
        pf::DevInst located = 0;
        if (FindDeviceInstance(BelowHub(name), &phone_id) == kUsbOk &&
            pf::CM_Locate_DevNodeA(&located, phone_id.c_str(), pf::kCmLocateDevNodeNormal) == pf::kCrSuccess)
            phone = located;
        bool found = false;
        for (int visited = 0; visited < kMaxWalkNodes; ++visited) {
            char description[256] = {};
            std::uint32_t size = sizeof description;
            if (pf::CM_Get_DevNode_Registry_PropertyA(node, pf::kCmDrpDeviceDesc, nullptr, description, &size, 0) ==
                    pf::kCrSuccess &&
                IsSerialFunction(description)) {
                found = true;
                break;
            }
            pf::DevInst next = 0;
            if (pf::CM_Get_Child(&next, node, 0) == pf::kCrSuccess ||
                (node != phone && pf::CM_Get_Sibling(&next, node, 0) == pf::kCrSuccess)) {
                node = next;
                continue;
            }
            bool moved = false;
            for (pf::DevInst up = node; up != phone && pf::CM_Get_Parent(&up, up, 0) == pf::kCrSuccess && up != phone;) {
                if (pf::CM_Get_Sibling(&next, up, 0) == pf::kCrSuccess) {
                    node = next;
                    moved = true;
                    break;
                }
            }
            if (!moved) break;
        }
        if (found) {
            std::string id;
            if (ReadDeviceId(node, 256, &id)) {
                *instance_id = id;
                result = true;
            } else {
                error = pf::GetLastError();
            }
        }
    }
    if (!result || instance_id->empty())
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBUtilities::GetDeviceInstanceIDFromSymlic failed[LastError=%d][%s]",
                   static_cast<int>(error), name.c_str());
    return result;
}

bool CKLVUSBUtilities::GetCOMFromDeviceInstanceID(const std::string& instance_id, std::string* port) {
    bool result = false;
    {
        DevInfoScope scope;
        pf::DevInfoData device{};
        device.cbSize = sizeof device;
        std::uint32_t type = 0, size = 0;
        scope.set = pf::SetupDiCreateDeviceInfoListExA();
        if (scope.set != pf::kInvalidHandle && pf::SetupDiOpenDeviceInfoA(scope.set, instance_id.c_str(), 0, &device)) {
            scope.key = pf::SetupDiOpenDevRegKey(scope.set, &device, pf::kDicsFlagGlobal, 0, pf::kDiregDev,
                                                 pf::kKeyQueryValue);
        }
        if (scope.key != pf::kInvalidHandle) {
            std::uint32_t r = pf::RegQueryValueExA(scope.key, "PortName", &type, nullptr, &size);
            if ((r == pf::kErrorSuccess || r == pf::kErrorMoreData) && size != 0) {
                size = WithTerminator(size, type);
                std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[size]());
                if (buffer == nullptr) {
                    pf::SetLastError(pf::kErrorNotEnoughMemory);
                } else if ((r = pf::RegQueryValueExA(scope.key, "PortName", &type, buffer.get(), &size)) ==
                           pf::kErrorSuccess) {
                    *port = reinterpret_cast<const char*>(buffer.get());
                    result = true;
                } else {
                    pf::SetLastError(r);
                }
            } else {
                pf::SetLastError(r != pf::kErrorSuccess ? r : pf::kErrorInvalidParameter);
            }
        }
    }
    if (!result)
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVUSBUtilities::GetCOMFromDeviceInstanceID failed[LastError=%d][%s]",
                   static_cast<int>(pf::GetLastError()), instance_id.c_str());
    return result;
}

std::uint32_t CKLVUSBUtilities::GetCustomInterfaceProperty(const std::string& name, const char* value_name,
                                                           std::uint8_t** value, std::uint32_t* size,
                                                           std::uint32_t* value_type, std::uint32_t device_id) {
    const std::uint32_t did = device_id > 999 ? kNoDevice : device_id;
    const char* text = name.c_str();
    DevInfoScope scope;
    scope.set = pf::SetupDiCreateDeviceInfoListExA();
    if (scope.set == pf::kInvalidHandle) {
        LogMessage(did, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to get class dev list for- symbolic name(%s), "
                   "Error(%d)",
                   text, static_cast<int>(pf::GetLastError()));
        return 1;
    }
    pf::DeviceInterfaceData data{};
    data.cbSize = sizeof data;
    if (!pf::SetupDiOpenDeviceInterfaceA(scope.set, text, 0, &data)) {
        LogMessage(did, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to open device interface for symbolic "
                   "name(%s), Error(%d)",
                   text, static_cast<int>(pf::GetLastError()));
        return 1;
    }
    pf::DevInfoData device{};
    device.cbSize = sizeof device;
    if (!pf::SetupDiGetDeviceInterfaceDetailA(scope.set, &data, nullptr, 0, nullptr, &device) &&
        pf::GetLastError() != pf::kErrorInsufficientBuffer) {
        LogMessage(did, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to get device interface details for symbolic "
                   "name(%s), Error(%d)",
                   text, static_cast<int>(pf::GetLastError()));
        return 1;
    }
    scope.key = pf::SetupDiOpenDevRegKey(scope.set, &device, pf::kDicsFlagGlobal, 0, pf::kDiregDev, pf::kKeyQueryValue);
    if (scope.key == pf::kInvalidHandle) {
        LogMessage(did, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to open device registry key for symbolic "
                   "name(%s), Error(%d)",
                   text, static_cast<int>(pf::GetLastError()));
        return 1;
    }
    std::uint32_t type = 0, length = 0;
    std::uint32_t r = pf::RegQueryValueExA(scope.key, value_name, &type, nullptr, &length);
    if (!((r == pf::kErrorSuccess || r == pf::kErrorMoreData) && length != 0)) {
        LogMessage(did, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to read or read an invalid length- regkey(%s) "
                   "length(%d) for symbolic name(%s), Error(%d)",
                   value_name, static_cast<int>(length), text, static_cast<int>(r));
        return 1;
    }
    length = WithTerminator(length, type);
    std::uint8_t* buffer = new (std::nothrow) std::uint8_t[length]();
    if (buffer == nullptr) {
        LogMessage(did, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to allot memory. Error(%d)",
                   static_cast<int>(pf::kErrorNotEnoughMemory));
        return 1;
    }
    *value = buffer;
    r = pf::RegQueryValueExA(scope.key, value_name, &type, buffer, &length);
    if (r != pf::kErrorSuccess) {
        delete[] buffer;
        *value = nullptr;
        LogMessage(did, kLogInfo, kCatGeneral,
                   "CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to query reg value for property(%s) and "
                   "symbolic name(%s). Error(%d)",
                   value_name, text, static_cast<int>(r));
        return 1;
    }
    *size = length;
    *value_type = type;
    return 0;
}

bool CKLVUSBUtilities::GetParentDeviceSymLink(const std::string& name, std::string* parent,
                                              const pf::Guid* interface_class) {
    if (interface_class == nullptr) return false;
    std::string below_hub;
    if (FindDeviceInstance(BelowHub(name), &below_hub) != kUsbOk) return false;
    DevInfoScope scope;
    scope.set = pf::SetupDiGetClassDevsA(interface_class, nullptr, pf::kDigcfPresent | pf::kDigcfDeviceInterface);
    if (scope.set == pf::kInvalidHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral,
                   "CKLVUSBUtilities::GetParentDeviceSymLink - SetupDiGetClassDevs failed. Error = (%d)",
                   static_cast<int>(pf::GetLastError()));
        return false;
    }
    for (std::uint32_t index = 0;; ++index) {
        pf::DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        if (!pf::SetupDiEnumDeviceInterfaces(scope.set, nullptr, interface_class, index, &data)) {
            std::uint32_t error = pf::GetLastError();
            if (error != pf::kErrorNoMoreItems)
                LogMessage(kNoDevice, kLogError, kCatGeneral,
                           "CKLVUSBUtilities::GetParentDeviceSymLink - SetupDiEnumDeviceInterfaces failed. Error = (%d)",
                           static_cast<int>(error));
            return false;
        }
        std::uint32_t required = 0;
        if (!pf::SetupDiGetDeviceInterfaceDetailA(scope.set, &data, nullptr, 0, &required, nullptr) &&
            pf::GetLastError() != pf::kErrorInsufficientBuffer) {
            LogMessage(kNoDevice, kLogError, kCatGeneral,
                       "CKLVUSBUtilities::GetParentDeviceSymLink - SetupDiGetDeviceInterfaceDetail failed. Error = (%d)",
                       static_cast<int>(pf::GetLastError()));
            continue;
        }
        std::vector<std::uint8_t> block(required + sizeof(pf::DeviceInterfaceDetailDataA), 0);
        auto* detail = reinterpret_cast<pf::DeviceInterfaceDetailDataA*>(block.data());
        detail->cbSize = pf::kDeviceInterfaceDetailDataSize;
        if (!pf::SetupDiGetDeviceInterfaceDetailA(scope.set, &data, detail, required, nullptr, nullptr)) {
            LogMessage(kNoDevice, kLogError, kCatGeneral,
                       "CKLVUSBUtilities::GetParentDeviceSymLink - SetupDiGetDeviceInterfaceDetail failed. Error = (%d)",
                       static_cast<int>(pf::GetLastError()));
            continue;
        }
        std::string path = detail->DevicePath;
        LogInfo("CKLVUSBUtilities::GetParentDeviceSymLink - SetupDiGetDeviceInterfaceDetail Succeeded. SymLink = %s ",
                path.c_str());
        std::string id;
        if (GetDeviceInstanceID(path, &id) == kUsbOk && EqualsNoCase(id, below_hub)) {
            *parent = path;
            LogInfo("CKLVUSBUtilities::GetParentDeviceSymLink - SetupDiGetDeviceInterfaceDetail Succeeded. Device "
                    "instance id (%s) matches ",
                    id.c_str());
            return true;
        }
    }
}

}  // namespace eklv
