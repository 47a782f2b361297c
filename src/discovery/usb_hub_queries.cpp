// CKLVUSBUtilities: parent hub, hub port and descriptor requests.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/path_utils.h"
#include "discovery/name_rules.h"
#include "discovery/topology_memo.h"
#include "discovery/usb_descriptors.h"
#include "discovery/usb_utilities.h"
#include "log/message_logger.h"
#include "platform/codepage.h"
#include "platform/devtree.h"
#include "platform/usb_hub.h"

namespace eklv {
namespace {

constexpr std::uint32_t kConnectionInfoSize = sizeof(pf::UsbNodeConnectionInformation);  // 35
constexpr std::uint32_t kRequestHeaderSize = sizeof(pf::UsbDescriptorRequestHeader);    // 12
// A driver key name is a class GUID and an instance; anything near this
// size is no driver key, and the +10 of the second request must not wrap.
constexpr std::uint32_t kMaxDriverKeyLength = 65536;
// Parent walks end at the root after a handful of levels (USB allows 7
// tiers); this bound only guards against a tree that answers in circles.
constexpr int kMaxParentSteps = 64;

void Log(std::uint32_t level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void Log(std::uint32_t level, const char* format, ...) {
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    LogMessage(kNoDevice, level, kCatGeneral, "%s", message);
}

// Closes a hub handle on every path.
struct HubHandle {
    pf::Handle handle = pf::kInvalidHandle;
    ~HubHandle() {
        if (pf::IsValidHandle(handle)) pf::CloseHandle(handle);
    }
};

pf::Handle OpenHub(const std::string& hub_name) {
    return pf::CreateFileA(hub_name.c_str(), pf::kGenericRead | pf::kGenericWrite,
                           pf::kFileShareRead | pf::kFileShareWrite, pf::kOpenExisting, 0);
}

DeviceSearchCriteria BelowHubCriteria(const std::string& name) {
    DeviceSearchCriteria criteria;
    criteria.SymbolicName = name;
    criteria.ServiceText = "hub";
    criteria.Direction = 0;
    criteria.InterfaceClass = &kGuidUsbHubInterface;
    criteria.MatchService = 1;
    criteria.MaxSteps = 0xFFFFFFFFu;
    return criteria;
}

// The port of the device of name on the hub of hub_name when the backend
// can tell in one question; false (nothing logged) sends the caller to the
// walk and the port scan, which log what fails.
bool PortFromPlace(const std::string& name, const std::string& hub_name, int* port) {
    std::string id, hub_id;
    pf::UsbPlace place;
    if (!CKLVUSBUtilities::InstanceIdOfValidName(name, &id) ||
        !CKLVUSBUtilities::InstanceIdOfValidName(hub_name, &hub_id) || !pf::UsbPlaceOf(id.c_str(), &place) ||
        !EqualsNoCase(place.hub_instance_id, hub_id))
        return false;
    *port = place.port;
    return true;
}

std::string Trim(const std::string& text) {
    const char* space = " \t\r\n\v\f";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace

std::uint32_t CKLVUSBUtilities::GetParentHubSymbolicName(const std::string& name, std::string* hub_name) {
    hub_name->clear();
    if (CKLVTopologyMemo::FindParentHub(name, hub_name)) return kUsbOk;
    if (ValidateSymbolicName(name) != kUsbOk) {
        Log(kLogInfo, "CKLVUSBUtilities::GetParentHubSymbolicName: Failed to validate input parameters- %s",
            name.c_str());
        return kUsbInvalid;
    }
    std::string id;
    if (GetDeviceInstanceID(name, &id) != kUsbOk) {
        Log(kLogInfo, "CKLVUSBUtilities::GetParentHubSymbolicName - Failed to get device instance id from (%s)",
            name.c_str());
        return kUsbInvalid;
    }
    pf::UsbPlace place;
    if (pf::UsbPlaceOf(id.c_str(), &place)) {
        *hub_name = SymbolicNameOf(LowerCopy(place.hub_instance_id), kUsbHubClassText);
        CKLVTopologyMemo::KeepParentHub(name, *hub_name);
        // The port comes with it: the port question that follows (after
        // its filters) is answered from the memo.
        CKLVTopologyMemo::KeepPort(name, *hub_name, place.port);
        return kUsbOk;
    }
    pf::DevInst node = 0;
    std::uint32_t cr = pf::CM_Locate_DevNodeA(&node, id.c_str(), pf::kCmLocateDevNodeNormal);
    if (cr != pf::kCrSuccess) {
        Log(kLogInfo, "CKLVUSBUtilities::GetParentHubSymbolicName - Failed to locate given device node. Error = (%d)",
            static_cast<int>(cr));
        return kUsbQueryFailed;
    }
    for (int step = 0;; ++step) {
        pf::DevInst parent = 0;
        std::string parent_id;
        std::string service;
        cr = step < kMaxParentSteps ? pf::CM_Get_Parent(&parent, node, 0) : pf::kCrNoSuchDevNode;
        if (cr == pf::kCrSuccess) {
            std::vector<char> buffer(513, '\0');
            cr = pf::CM_Get_Device_IDA(parent, buffer.data(), 512, 0);
            parent_id = LowerCopy(buffer.data());
        }
        if (cr == pf::kCrSuccess) {
            std::uint32_t size = 0;
            cr = pf::CM_Get_DevNode_Registry_PropertyA(parent, pf::kCmDrpService, nullptr, nullptr, &size, 0);
            if (cr == pf::kCrBufferSmall) cr = pf::kCrSuccess;
            if (cr == pf::kCrSuccess) {
                std::vector<char> value(size + 1, '\0');
                cr = pf::CM_Get_DevNode_Registry_PropertyA(parent, pf::kCmDrpService, nullptr, value.data(), &size, 0);
                service = value.data();
            }
        }
        if (cr != pf::kCrSuccess) {
            Log(kLogInfo,
                "CKLVUSBUtilities::GetParentHubSymbolicName - Failed to get parent hub symbolic name. Error = (%d)",
                static_cast<int>(cr));
            return kUsbQueryFailed;
        }
        if (IsInterfaceTypePresent(parent_id, &kGuidUsbHubInterface) == kUsbOk &&
            (Contains(parent_id, "hub") || ContainsNoCase(service, "hub"))) {
            *hub_name = SymbolicNameOf(parent_id, kUsbHubClassText);
            CKLVTopologyMemo::KeepParentHub(name, *hub_name);
            return kUsbOk;
        }
        node = parent;
    }
}

std::uint32_t CKLVUSBUtilities::GetDeviceConnectionIndex(const std::string& name, const std::string& hub_name,
                                                         int* port, bool skip_filters) {
    static const char* kInvalidInput = "CKLVUSBUtilities::GetDeviceConnectionIndex - Failed to validate input parameters";
    *port = -1;
    if (!skip_filters) {
        bool valid = ValidateSymbolicName(name) == kUsbOk;
        if (valid && !SearchVIDFilter(name)) {
            Log(kLogError, "SearchVIDFilter unsupported[%s]", name.c_str());
            valid = false;
        } else if (valid && !SearchPIDFilter(name)) {
            Log(kLogError, "SearchPIDFilter unsupported[%s]", name.c_str());
            valid = false;
        } else if (valid && !SearchMTKSmartPIDFilter(name)) {
            Log(kLogError, "SearchMTKSmartPIDFilter unsupported[%s]", name.c_str());
            valid = false;
        }
        if (!valid) {
            Log(kLogInfo, "%s", kInvalidInput);
            return kUsbInvalid;
        }
    }
    if (ValidateSymbolicName(hub_name) != kUsbOk) {
        Log(kLogInfo, "%s", kInvalidInput);
        return kUsbInvalid;
    }
    if (CKLVTopologyMemo::FindPort(name, hub_name, port)) return kUsbOk;
    if (PortFromPlace(name, hub_name, port)) {
        CKLVTopologyMemo::KeepPort(name, hub_name, *port);
        return kUsbOk;
    }
    std::string below_hub;
    if (FindDeviceInstance(BelowHubCriteria(name), &below_hub) != kUsbOk) {
        Log(kLogInfo,
            "CKLVUSBUtilities::GetDeviceConnectionIndex - Failed to parent's(the one immediately below the parent "
            "hub) device instance id for- %s",
            name.c_str());
        return kUsbInvalid;
    }
    pf::DevInst node = 0;
    std::uint32_t cr = pf::CM_Locate_DevNodeA(&node, below_hub.c_str(), pf::kCmLocateDevNodeNormal);
    if (cr != pf::kCrSuccess) {
        Log(kLogInfo,
            "CKLVUSBUtilities::GetDeviceConnectionIndex: Failed to locate given device node for-symbolioc name-%s, "
            "DeviceInstanceId-%s, Error: %d",
            name.c_str(), below_hub.c_str(), static_cast<int>(cr));
        return kUsbQueryFailed;
    }
    std::uint32_t key_size = 0;
    cr = pf::CM_Get_DevNode_Registry_PropertyA(node, pf::kCmDrpDriver, nullptr, nullptr, &key_size, 0);
    if (cr != pf::kCrSuccess && cr != pf::kCrBufferSmall) {
        Log(kLogInfo, "CKLVUSBUtilities::GetDeviceConnectionIndex: Failed to get driver key length. Error: %d",
            static_cast<int>(cr));
        return kUsbQueryFailed;
    }
    std::vector<char> key_buffer(key_size + 1, '\0');
    cr = pf::CM_Get_DevNode_Registry_PropertyA(node, pf::kCmDrpDriver, nullptr, key_buffer.data(), &key_size, 0);
    if (cr != pf::kCrSuccess) {
        Log(kLogInfo, "CKLVUSBUtilities::GetDeviceConnectionIndex: Failed to get driver key. Error: %d",
            static_cast<int>(cr));
        return kUsbQueryFailed;
    }
    const std::string driver_key = key_buffer.data();

    HubHandle hub;
    hub.handle = OpenHub(hub_name);
    if (!pf::IsValidHandle(hub.handle)) {
        Log(kLogError, "CKLVUSBUtilities::GetDeviceConnectionIndex: Could not create hub handle. Error: %d",
            static_cast<int>(pf::GetLastError()));
        return kUsbQueryFailed;
    }
    pf::UsbNodeInformation info{};
    std::uint32_t returned = 0;
    if (!pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeInformation, &info, sizeof info, &info, sizeof info,
                             &returned, nullptr)) {
        Log(kLogError, "CKLVUSBUtilities::GetDeviceConnectionIndex - IOCTL_USB_GET_NODE_INFORMATION, Error = %d",
            static_cast<int>(pf::GetLastError()));
        return kUsbQueryFailed;
    }
    const int ports = info.HubDescriptor.bNumberOfPorts;
    if (ports == 0) {
        Log(kLogError, "CKLVUSBUtilities::GetDeviceConnectionIndex: Invalid number of ports: %d from hub: %s", ports,
            hub_name.c_str());
        return kUsbQueryFailed;
    }
    for (int index = 1; index <= ports; ++index) {
        pf::UsbNodeConnectionInformation connection{};
        connection.ConnectionIndex = static_cast<std::uint32_t>(index);
        if (!pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionInformation, &connection,
                                 kConnectionInfoSize, &connection, kConnectionInfoSize, &returned, nullptr)) {
            Log(kLogError,
                "CKLVUSBUtilities::GetDeviceConnectionIndex: IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, Error = %d",
                static_cast<int>(pf::GetLastError()));
            return kUsbQueryFailed;
        }
        if (connection.ConnectionStatus != pf::kDeviceConnected) continue;
        // A device whose driver key cannot be had (one without a driver yet,
        // such as a phone in download mode before its driver is installed)
        // is not the device asked for: its port is passed over, so that the
        // devices on later ports still find theirs.
        auto skip_port = [&] {
            Log(kLogWarning,
                "CKLVUSBUtilities::GetDeviceConnectionIndex - port %d skipped: "
                "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, Error = %d",
                index, static_cast<int>(pf::GetLastError()));
        };
        pf::UsbNodeConnectionDriverkeyName fixed{};
        fixed.ConnectionIndex = static_cast<std::uint32_t>(index);
        if (!pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionDriverkeyName, &fixed, sizeof fixed,
                                 &fixed, sizeof fixed, &returned, nullptr)) {
            skip_port();
            continue;
        }
        std::unique_ptr<std::uint8_t[]> full;
        const std::uint32_t full_size = fixed.ActualLength + sizeof fixed;
        if (fixed.ActualLength <= kMaxDriverKeyLength) full.reset(new (std::nothrow) std::uint8_t[full_size]());
        if (full == nullptr) {
            Log(kLogError, "%s", "CKLVUSBUtilities::GetDeviceConnectionIndex: 'new' failed to assign memory");
            return kUsbQueryFailed;
        }
        std::memcpy(full.get(), &fixed.ConnectionIndex, sizeof fixed.ConnectionIndex);
        if (!pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionDriverkeyName, full.get(), full_size,
                                 full.get(), full_size, &returned, nullptr)) {
            skip_port();
            continue;
        }
        constexpr std::uint32_t kNameOffset = offsetof(pf::UsbNodeConnectionDriverkeyName, DriverKeyName);
        std::uint32_t name_bytes = (returned < full_size ? returned : full_size);
        name_bytes = name_bytes > kNameOffset ? name_bytes - kNameOffset : 0;
        std::vector<char16_t> units;
        for (std::uint32_t i = 0; i + 1 < name_bytes; i += 2) {
            char16_t unit = static_cast<char16_t>(full[kNameOffset + i] | (full[kNameOffset + i + 1] << 8));
            if (unit == 0) break;
            units.push_back(unit);
        }
        std::string port_key;
        pf::WideToSystemCodePage(units.data(), units.size(), kMaxDriverKeyLength * 4, &port_key);
        if (EqualsNoCase(port_key, driver_key)) {
            *port = index;
            CKLVTopologyMemo::KeepPort(name, hub_name, index);
            return kUsbOk;
        }
    }
    Log(kLogError, "%s", "CKLVUSBUtilities::GetDeviceConnectionIndex: Failed to match the driver key names.");
    return kUsbQueryFailed;
}

pf::Handle CKLVUSBUtilities::OpenParentHub(const std::string& name, int* port) {
    std::string hub_name;
    if (GetParentHubSymbolicName(name, &hub_name) != kUsbOk) return pf::kInvalidHandle;
    if (GetDeviceConnectionIndex(name, hub_name, port, false) != kUsbOk || *port < 1) return pf::kInvalidHandle;
    pf::Handle hub = OpenHub(hub_name);
    if (!pf::IsValidHandle(hub)) {
        Log(kLogError, "%s", "CKLVBlanSocketSession::GetStringDescriptor - Could not create hub handle");
        return pf::kInvalidHandle;
    }
    return hub;
}

std::uint32_t CKLVUSBUtilities::GetNodeConnectionInformation(pf::Handle hub, std::uint8_t* info35, bool extended) {
    if (!pf::IsValidHandle(hub) || info35 == nullptr) {
        Log(kLogError, "%s", "CKLVUSBUtilities::GetNodeConnectionInformation Invalid Input Parameters");
        return kUsbInvalid;
    }
    std::uint32_t code =
        extended ? pf::kIoctlUsbGetNodeConnectionInformationEx : pf::kIoctlUsbGetNodeConnectionInformation;
    std::uint32_t returned = 0;
    if (!pf::DeviceIoControl(hub, code, info35, kConnectionInfoSize, info35, kConnectionInfoSize, &returned,
                             nullptr)) {
        Log(kLogError, "CKLVUSBUtilities::GetNodeConnectionInformation Failed to get node connection information. Error- %d",
            static_cast<int>(pf::GetLastError()));
        return kUsbQueryFailed;
    }
    if (returned < kConnectionInfoSize) {
        Log(kLogError,
            "CKLVUSBUtilities::GetNodeConnectionInformation Returned descriptor buffer length(%d) is too small for "
            "node connection information(%d)",
            static_cast<int>(returned), static_cast<int>(kConnectionInfoSize));
        return kUsbQueryFailed;
    }
    return kUsbOk;
}

std::uint32_t CKLVUSBUtilities::GetDescriptor(pf::Handle hub, int port, std::uint32_t type, std::uint32_t index,
                                              void* output) {
    if (!pf::IsValidHandle(hub) || port == 0 || output == nullptr) {
        Log(kLogError, "%s", "CKLVUSBUtilities::GetDescriptor Invalid Input Parameters");
        return kUsbInvalid;
    }
    type &= 0xFF;
    if (type < kDescDevice || type > kDescEndpoint) {
        Log(kLogError, "%s", "CKLVUSBUtilities::GetDescriptor Invalid descriptortype");
        return kUsbInvalid;
    }
    std::uint32_t length = 0;
    std::uint16_t value = 0;
    switch (type) {
        case kDescDevice: length = 18; value = 0x0100; break;
        case kDescConfiguration: length = 9; value = 0x0200; break;
        case kDescString: length = 259; value = static_cast<std::uint16_t>(0x0300 + (index & 0xFF)); break;
        default: {
            pf::UsbConfigurationDescriptor configuration{};
            if (GetDescriptor(hub, port, kDescConfiguration, 0, &configuration) != kUsbOk) {
                Log(kLogError, "%s",
                    "CKLVUSBUtilities::GetDescriptor: Could not get configuration descritor in order to get "
                    "interface descriptor");
                return kUsbQueryFailed;
            }
            length = configuration.wTotalLength;
            value = 0x0200;
            break;
        }
    }
    std::unique_ptr<std::uint8_t[]> request(new (std::nothrow) std::uint8_t[kRequestHeaderSize + length]());
    if (request == nullptr) {
        Log(kLogError, "%s", "CKLVUSBUtilities::GetDescriptor: new operator failed to allot memory");
        return kUsbQueryFailed;
    }
    pf::UsbDescriptorRequestHeader header{};
    header.ConnectionIndex = static_cast<std::uint32_t>(port);
    header.SetupPacket.wValue = value;
    header.SetupPacket.wIndex = type == kDescString ? pf::kUsbLangEnglishUs : 0;
    header.SetupPacket.wLength = static_cast<std::uint16_t>(length);
    std::memcpy(request.get(), &header, sizeof header);
    std::uint32_t returned = 0;
    std::uint32_t size = kRequestHeaderSize + length;
    if (!pf::DeviceIoControl(hub, pf::kIoctlUsbGetDescriptorFromNodeConnection, request.get(), size, request.get(),
                             size, &returned, nullptr)) {
        Log(kLogError,
            "CKLVUSBUtilities::GetStringDescriptor - IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, Error = %d",
            static_cast<int>(pf::GetLastError()));
        return kUsbQueryFailed;
    }
    if (returned < (type == kDescString ? 4u : length)) {
        Log(kLogError,
            "CKLVUSBUtilities::GetStringDescriptor Returned descriptor buffer length(%d) is too small for descriptor "
            "type(%d)",
            static_cast<int>(returned), static_cast<int>(type));
        return kUsbQueryFailed;
    }
    const std::uint8_t* data = request.get() + kRequestHeaderSize;
    switch (type) {
        case kDescDevice:
        case kDescConfiguration:
            std::memcpy(output, data, length);
            return kUsbOk;
        case kDescString: {
            std::string text;
            if (!StringFromDescriptorText(data + 2, length - 2, &text)) return kUsbQueryFailed;
            std::memcpy(output, text.c_str(), text.size() + 1);
            return kUsbOk;
        }
        default:
            return FindDescriptorInConfiguration(data, length, type, index, output);
    }
}

std::uint32_t CKLVUSBUtilities::GetStringDescriptor(pf::Handle hub, int port, std::uint32_t kind, std::string* text,
                                                    std::uint32_t index) {
    text->clear();
    std::uint32_t string_index = 0;
    switch (kind) {
        case kStringManufacturer:
        case kStringProduct:
        case kStringSerial: {
            pf::UsbNodeConnectionInformation info{};
            info.ConnectionIndex = static_cast<std::uint32_t>(port);
            std::uint32_t r =
                GetNodeConnectionInformation(hub, reinterpret_cast<std::uint8_t*>(&info), IsXPOrLater());
            if (r != kUsbOk) {
                Log(kLogError, "%s", "CKLVUSBUtilities::GetStringDescriptor Could not get string descriptor.");
                return r;
            }
            string_index = kind == kStringManufacturer ? info.DeviceDescriptor.iManufacturer
                           : kind == kStringProduct    ? info.DeviceDescriptor.iProduct
                                                       : info.DeviceDescriptor.iSerialNumber;
            break;
        }
        case kStringConfiguration: {
            pf::UsbConfigurationDescriptor configuration{};
            std::uint32_t r = GetDescriptor(hub, port, kDescConfiguration, 0, &configuration);
            if (r != kUsbOk) {
                Log(kLogError, "%s", "CKLVUSBUtilities::GetStringDescriptor Could not get configuration descriptor.");
                return r;
            }
            string_index = configuration.iConfiguration;
            break;
        }
        case kStringInterface: {
            // Interface strings belong to the active configuration; a device
            // that does not tell which one is active is answered from its
            // first.
            pf::UsbNodeConnectionInformation info{};
            info.ConnectionIndex = static_cast<std::uint32_t>(port);
            if (GetNodeConnectionInformation(hub, reinterpret_cast<std::uint8_t*>(&info), IsXPOrLater()) == kUsbOk &&
                info.ConnectionStatus == pf::kDeviceConnected && info.CurrentConfigurationValue == 0)
                Log(kLogWarning,
                    "CKLVUSBUtilities::GetStringDescriptor - configuration value of the device on port %d unreadable, "
                    "interface strings taken from its first configuration",
                    port);
            pf::UsbInterfaceDescriptor iface{};
            std::uint32_t r = GetDescriptor(hub, port, kDescInterface, index, &iface);
            if (r != kUsbOk) {
                Log(kLogError, "%s", "CKLVUSBUtilities::GetStringDescriptor Could not get Interface descriptor.");
                return r;
            }
            string_index = iface.iInterface;
            break;
        }
        case kStringByIndex:
            string_index = index & 0xFF;
            break;
        default:
            Log(kLogError, "%s", "CKLVUSBUtilities::GetStringDescriptor Descriptor type not supported.");
            return kUsbInvalid;
    }
    if (string_index == 0) {
        if (index >= 1 && (index & 0xFF) != 0) {
            string_index = index & 0xFF;
        } else {
            Log(kLogInfo, "%s", "CKLVUSBUtilities::GetStringDescriptor No String descriptor string present.");
            return kUsbOk;
        }
    }
    char buffer[256] = {};
    std::uint32_t r = GetDescriptor(hub, port, kDescString, string_index, buffer);
    if (r != kUsbOk) {
        Log(kLogError, "CKLVUSBUtilities::GetStringDescriptor Could not get string descriptor string . KLV Error (%d)",
            static_cast<int>(r));
        return kUsbInvalid;
    }
    *text = buffer;
    return kUsbOk;
}

std::uint32_t CKLVUSBUtilities::GetStringDescriptor(const std::string& name, std::uint32_t kind, std::string* text,
                                                    std::uint32_t index) {
    int port = -1;
    HubHandle hub;
    hub.handle = OpenParentHub(name, &port);
    if (!pf::IsValidHandle(hub.handle)) return kUsbInvalid;
    text->clear();
    if (kind == kStringInterface) index = InterfaceNumberFromName(name);
    std::uint32_t r = GetStringDescriptor(hub.handle, port, kind, text, index);
    if (r != kUsbOk) {
        Log(kLogError, "CKLVUSBUtilities::GetStringDescriptor Could not get string descriptor string for(%s). KLV Error (%d)",
            name.c_str(), static_cast<int>(r));
        return kUsbInvalid;
    }
    *text = Trim(*text);
    return kUsbOk;
}

std::uint32_t CKLVUSBUtilities::GetDeviceDescriptor(const std::string& name, void* output18) {
    int port = -1;
    HubHandle hub;
    hub.handle = OpenParentHub(name, &port);
    if (!pf::IsValidHandle(hub.handle)) return kUsbInvalid;
    return GetDescriptor(hub.handle, port, kDescDevice, 0, output18);
}

std::uint32_t CKLVUSBUtilities::GetConfigurationDescriptor(const std::string& name, void* output9) {
    int port = -1;
    HubHandle hub;
    hub.handle = OpenParentHub(name, &port);
    if (!pf::IsValidHandle(hub.handle)) return kUsbInvalid;
    return GetDescriptor(hub.handle, port, kDescConfiguration, 0, output9);
}

std::uint32_t CKLVUSBUtilities::GetInterfaceDescriptor(const std::string& name, void* output9) {
    int port = -1;
    HubHandle hub;
    hub.handle = OpenParentHub(name, &port);
    if (!pf::IsValidHandle(hub.handle)) return kUsbInvalid;
    return GetDescriptor(hub.handle, port, kDescInterface, InterfaceNumberFromName(name), output9);
}

std::uint32_t CKLVUSBUtilities::GetNodeDeviceDescriptor(const std::string& name, void* output18) {
    int port = -1;
    HubHandle hub;
    hub.handle = OpenParentHub(name, &port);
    if (!pf::IsValidHandle(hub.handle)) return kUsbInvalid;
    pf::UsbNodeConnectionInformation info{};
    info.ConnectionIndex = static_cast<std::uint32_t>(port);
    std::uint32_t r = GetNodeConnectionInformation(hub.handle, reinterpret_cast<std::uint8_t*>(&info), IsXPOrLater());
    if (r == kUsbOk) std::memcpy(output18, &info.DeviceDescriptor, sizeof info.DeviceDescriptor);
    return r;
}

}  // namespace eklv
