// Pure text rules of the Linux device-tree backend: USB kernel names,
// the Windows-form instance ids and symbolic names synthesised from them,
// and the order in which nodes are enumerated. No I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace eklv::pf::lx {

// A USB kernel device name split into its parts:
//   "usb3"        root hub of bus 3         ports {}      interface -1
//   "3-1.4"       device on port 4 of 3-1   ports {1,4}   interface -1
//   "3-1.4:1.2"   interface 2 of config 1   ports {1,4}   config 1, interface 2
//   "3-0:1.0"     the root hub's interface  ports {}      config 1, interface 0
struct UsbName {
    int bus = 0;
    std::vector<int> ports;
    int config = -1;
    int interface = -1;
    bool root_hub = false;

    bool IsInterface() const { return interface >= 0; }
};

// False for anything that is not one of the forms above (numbers are
// decimal, at most 3 digits for ports and interfaces, 4 for buses; at most
// 7 port levels, as USB allows).
bool ParseUsbName(std::string_view name, UsbName* out);

// Orders USB nodes as the backend enumerates them: by bus, then port path
// (a hub before the devices on its ports), then interface number.
bool UsbNameLess(const UsbName& a, const UsbName& b);

// The port number of a device on its hub (last element of ports), or 0
// for a root hub.
int PortOnHub(const UsbName& name);

// True when child is a device directly on a port of the hub named parent.
bool IsChildDevice(const UsbName& parent, const UsbName& child);
// True when iface is an interface of the device named device.
bool IsInterfaceOf(const UsbName& device, const UsbName& iface);

// Instance ids of the four kinds of node.
inline constexpr const char* kRootInstanceId = "htree\\root\\0";
std::string ControllerInstanceId(std::string_view sysname);
std::string DeviceInstanceId(std::uint16_t vid, std::uint16_t pid, std::string_view sysname);
std::string InterfaceInstanceId(std::uint16_t vid, std::uint16_t pid, int interface, std::string_view sysname);

// An instance id split at its first and last backslash: "usb", "pci" or
// "htree", and the kernel name (or "0" for the root). False when the id has
// fewer than two backslashes.
struct InstanceIdParts {
    std::string enumerator;  // lower case
    std::string instance;    // lower case
};
bool SplitInstanceId(std::string_view id, InstanceIdParts* out);

// "\\?\" + id with '\' turned into '#' + "#{" + class_text + "}".
std::string SymbolicNameFromInstanceId(std::string_view id, std::string_view class_text);
// The reverse: instance id (with '#' back to '\') and the class text
// between the braces of the "#{...}" tail. False when the name lacks the
// "\\?\" head or the "#{...}" tail.
bool ParseSymbolicName(std::string_view name, std::string* instance_id, std::string* class_text);

// Hexadecimal attribute text ("6b4d", "0x6b4d", "6b4d\n") to a number;
// false when there is no hexadecimal digit or the value does not fit.
bool ParseHexAttribute(std::string_view text, std::uint32_t max, std::uint32_t* out);
// Decimal attribute text ("4", "4\n"); false without a digit or past max.
bool ParseDecimalAttribute(std::string_view text, std::uint32_t max, std::uint32_t* out);

std::string ToLower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace eklv::pf::lx
