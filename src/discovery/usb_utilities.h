// Queries of the device tree and of USB hubs: symbolic names, instance ids,
// the vendor and product filters, composite devices, COM ports, hub ports
// and descriptors. Every operation is static and stateless.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/module.h"

namespace eklv {

// Result codes of the numeric operations.
inline constexpr std::uint32_t kUsbOk = 0;
inline constexpr std::uint32_t kUsbQueryFailed = 1;
inline constexpr std::uint32_t kUsbInvalid = 2;
inline constexpr std::uint32_t kUsbNotPresent = 3;

// {f18a0e88-c30c-11d0-8815-00a0c906bed8}
extern const pf::Guid kGuidUsbHubInterface;
inline constexpr const char* kUsbHubClassText = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

struct DeviceSearchCriteria {
    std::string SymbolicName;
    std::string ServiceText;           // text the wanted node's service name contains, in any case
    std::uint32_t Direction = 0;       // 0 parent, 1 next sibling
    const pf::Guid* InterfaceClass = nullptr;
    std::uint32_t MatchService = 1;    // 0: only count steps
    std::uint32_t MaxSteps = 0xFFFFFFFFu;
};

// Registry value types of GetCustomInterfaceProperty.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegMultiSz = 7;

// Descriptor types of GetDescriptor and string kinds of GetStringDescriptor.
inline constexpr std::uint32_t kDescDevice = 1;
inline constexpr std::uint32_t kDescConfiguration = 2;
inline constexpr std::uint32_t kDescString = 3;
inline constexpr std::uint32_t kDescInterface = 4;
inline constexpr std::uint32_t kDescEndpoint = 5;
inline constexpr std::uint32_t kStringManufacturer = 0;
inline constexpr std::uint32_t kStringProduct = 1;
inline constexpr std::uint32_t kStringSerial = 2;
inline constexpr std::uint32_t kStringConfiguration = 0x100;
inline constexpr std::uint32_t kStringInterface = 0x200;
inline constexpr std::uint32_t kStringByIndex = 0x300;

class CKLVUSBUtilities {
public:
    // ---- names, filters, device tree ----
    static std::uint32_t ValidateSymbolicName(const std::string& name);
    static std::uint32_t IsDeviceSupported(const std::string& name);
    static std::uint32_t GetDeviceInstanceID(const std::string& name, std::string* instance_id);
    // The same without a log line: false for a name ValidateSymbolicName
    // refuses.
    static bool InstanceIdOfValidName(const std::string& name, std::string* instance_id);
    static std::uint32_t FindDeviceInstance(const DeviceSearchCriteria& criteria, std::string* instance_id);
    static std::uint32_t FindIfDeviceExists(const std::string& name);
    static std::uint32_t IsInterfaceTypePresent(const std::string& instance_id, const pf::Guid* interface_class);
    static std::uint32_t GetPIDFromSymbolicName(const std::string& name, std::string* pid);
    static bool SearchVIDFilter(const std::string& name);
    static bool SearchPIDFilter(const std::string& name);
    static bool SearchMTKSmartPIDFilter(const std::string& name);
    static bool IsCompositeDevice(const std::string& name);
    static bool GetDeviceInstanceIDFromSymlic(const std::string& name, std::string* instance_id);
    static bool GetCOMFromDeviceInstanceID(const std::string& instance_id, std::string* port);
    // On success *value is a zero-filled buffer of *size bytes that the
    // caller releases with delete[].
    static std::uint32_t GetCustomInterfaceProperty(const std::string& name, const char* value_name,
                                                    std::uint8_t** value, std::uint32_t* size,
                                                    std::uint32_t* value_type, std::uint32_t device_id);
    static bool GetParentDeviceSymLink(const std::string& name, std::string* parent, const pf::Guid* interface_class);

    // ---- hubs and descriptors ----
    static std::uint32_t GetParentHubSymbolicName(const std::string& name, std::string* hub_name);
    static std::uint32_t GetDeviceConnectionIndex(const std::string& name, const std::string& hub_name, int* port,
                                                  bool skip_filters);
    static pf::Handle OpenParentHub(const std::string& name, int* port);
    static std::uint32_t GetNodeConnectionInformation(pf::Handle hub, std::uint8_t* info35, bool extended);
    // output holds 18 bytes for a device descriptor, 9 for configuration
    // and interface, 7 for endpoint, 256 for a string (NUL-terminated).
    static std::uint32_t GetDescriptor(pf::Handle hub, int port, std::uint32_t type, std::uint32_t index,
                                       void* output);
    static std::uint32_t GetStringDescriptor(pf::Handle hub, int port, std::uint32_t kind, std::string* text,
                                             std::uint32_t index);
    static std::uint32_t GetStringDescriptor(const std::string& name, std::uint32_t kind, std::string* text,
                                             std::uint32_t index);

    // Shortcuts that open the parent hub of a device and fetch one
    // descriptor: the device descriptor (18 bytes), configuration
    // descriptor 0 (9 bytes), the interface descriptor of the name's mi
    // number (9 bytes), or the device descriptor of the hub's node
    // connection information (18 bytes). 0, or 2 when the hub cannot be
    // opened, or the failure of the request.
    static std::uint32_t GetDeviceDescriptor(const std::string& name, void* output18);
    static std::uint32_t GetConfigurationDescriptor(const std::string& name, void* output9);
    static std::uint32_t GetInterfaceDescriptor(const std::string& name, void* output9);
    static std::uint32_t GetNodeDeviceDescriptor(const std::string& name, void* output18);
};

}  // namespace eklv
