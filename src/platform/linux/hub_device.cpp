// Hub requests answered from sysfs: the port count from the hub's
// "maxchild", each port's device from the child named after the port, its
// descriptors from "descriptors", and string descriptors encoded from the
// string attributes ("manufacturer", "product", "serial", "configuration",
// each interface's "interface").
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/device_open.h"
#include "platform/linux/hub_descriptors.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/udev_tree.h"
#include "platform/usb_hub.h"

namespace eklv::pf::lx {
namespace {

// A hub handle names the hub's node; every request resolves it anew (the
// hub may have gone since it was opened).
class HubObject : public KernelObject {
public:
    explicit HubObject(DevInst node) : node(node) {}
    const DevInst node;
};

bool Fail(std::uint32_t error) {
    SetLastError(error);
    return false;
}

std::uint32_t DecimalAttribute(DeviceTree& tree, const Node& node, const char* name, std::uint32_t max,
                               bool* present = nullptr) {
    std::string text;
    std::uint32_t value = 0;
    bool ok = tree.Attribute(node, name, &text) && ParseDecimalAttribute(text, max, &value);
    if (present != nullptr) *present = ok;
    return ok ? value : 0;
}

std::uint32_t HexAttribute(DeviceTree& tree, const Node& node, const char* name, std::uint32_t max) {
    std::string text;
    std::uint32_t value = 0;
    if (!tree.Attribute(node, name, &text) || !ParseHexAttribute(text, max, &value)) return 0;
    return value;
}

// bcd text "2.00" or "1.10" (the "version" attribute) to 0x0200, 0x0110.
std::uint16_t BcdVersion(const std::string& text) {
    unsigned major = 0, minor = 0;
    std::size_t dot = text.find('.');
    std::string head = text.substr(0, dot);
    std::string tail = dot == std::string::npos ? "" : text.substr(dot + 1);
    for (char c : head)
        if (c >= '0' && c <= '9') major = (major * 10 + static_cast<unsigned>(c - '0')) & 0xFF;
    for (std::size_t i = 0; i < tail.size() && i < 2; ++i)
        if (tail[i] >= '0' && tail[i] <= '9') minor |= static_cast<unsigned>(tail[i] - '0') << (i == 0 ? 4 : 0);
    return static_cast<std::uint16_t>((((major / 10) << 4 | (major % 10)) << 8) | minor);
}

// The device descriptor from "descriptors", or built from the single
// attributes when that file is missing or broken.
UsbDeviceDescriptor DeviceDescriptor(DeviceTree& tree, const Node& device) {
    UsbDeviceDescriptor d{};
    if (DeviceDescriptorFromImage(tree.RawDescriptors(device), &d)) return d;
    std::string version;
    d.bLength = sizeof d;
    d.bDescriptorType = kUsbDeviceDescriptorType;
    d.bcdUSB = tree.Attribute(device, "version", &version) ? BcdVersion(version) : 0;
    d.bDeviceClass = static_cast<std::uint8_t>(HexAttribute(tree, device, "bDeviceClass", 0xFF));
    d.bDeviceSubClass = static_cast<std::uint8_t>(HexAttribute(tree, device, "bDeviceSubClass", 0xFF));
    d.bDeviceProtocol = static_cast<std::uint8_t>(HexAttribute(tree, device, "bDeviceProtocol", 0xFF));
    d.bMaxPacketSize0 = static_cast<std::uint8_t>(DecimalAttribute(tree, device, "bMaxPacketSize0", 0xFF));
    d.idVendor = static_cast<std::uint16_t>(HexAttribute(tree, device, "idVendor", 0xFFFF));
    d.idProduct = static_cast<std::uint16_t>(HexAttribute(tree, device, "idProduct", 0xFFFF));
    d.bcdDevice = static_cast<std::uint16_t>(HexAttribute(tree, device, "bcdDevice", 0xFFFF));
    d.bNumConfigurations = static_cast<std::uint8_t>(DecimalAttribute(tree, device, "bNumConfigurations", 0xFF));
    return d;
}

// Speed code of the EX request from the "speed" attribute (Mbit/s).
std::uint8_t SpeedCode(DeviceTree& tree, const Node& device) {
    std::string text;
    if (!tree.Attribute(device, "speed", &text)) return 1;
    if (text == "1.5") return 0;
    if (text == "12") return 1;
    if (text == "480") return 2;
    return 3;
}

struct HubContext {
    DeviceTree tree;
    Node hub;
    std::uint32_t ports = 0;
};

// Resolves the hub behind the handle and its port count.
bool OpenContext(Handle handle, HubContext* context) {
    auto hub = Lookup<HubObject>(handle);
    if (!hub) return Fail(kErrorInvalidHandle);
    if (!context->tree.Resolve(hub->node, &context->hub) || !context->tree.IsHub(context->hub))
        return Fail(kErrorDeviceNotConnected);
    bool present = false;
    context->ports = DecimalAttribute(context->tree, context->hub, "maxchild", 255, &present);
    if (!present) return Fail(kErrorGenFailure);
    return true;
}

bool CheckPort(const HubContext& context, std::uint32_t port) {
    if (port < 1 || port > context.ports) return Fail(kErrorInvalidParameter);
    return true;
}

bool NodeInformation(HubContext& context, void* out, std::uint32_t out_size, std::uint32_t* returned) {
    if (out_size < sizeof(UsbNodeInformation)) return Fail(kErrorInsufficientBuffer);
    UsbNodeInformation info{};
    info.NodeType = 0;  // UsbHub
    info.HubDescriptor.bDescriptorLength = 9;
    info.HubDescriptor.bDescriptorType = kUsbHubDescriptorType;
    info.HubDescriptor.bNumberOfPorts = static_cast<std::uint8_t>(context.ports);
    std::memcpy(out, &info, sizeof info);
    *returned = sizeof info;
    return true;
}

bool ConnectionInformation(HubContext& context, bool extended, const void* in, std::uint32_t in_size, void* out,
                           std::uint32_t out_size, std::uint32_t* returned) {
    if (in_size < sizeof(std::uint32_t)) return Fail(kErrorInvalidParameter);
    if (out_size < sizeof(UsbNodeConnectionInformation)) return Fail(kErrorInsufficientBuffer);
    std::uint32_t port;
    std::memcpy(&port, in, sizeof port);
    if (!CheckPort(context, port)) return false;
    UsbNodeConnectionInformationEx info{};
    info.ConnectionIndex = port;
    Node device;
    if (context.tree.DeviceOnPort(context.hub, static_cast<int>(port), &device)) {
        info.DeviceDescriptor = DeviceDescriptor(context.tree, device);
        info.CurrentConfigurationValue =
            static_cast<std::uint8_t>(DecimalAttribute(context.tree, device, "bConfigurationValue", 0xFF));
        std::uint8_t speed = SpeedCode(context.tree, device);
        info.Speed = extended ? speed : (speed == 0 ? 1 : 0);  // the plain form has LowSpeed here
        info.DeviceIsHub = context.tree.IsHub(device) ? 1 : 0;
        info.DeviceAddress = static_cast<std::uint16_t>(DecimalAttribute(context.tree, device, "devnum", 0xFFFF));
        info.ConnectionStatus = kDeviceConnected;
    } else {
        info.ConnectionStatus = kNoDeviceConnected;
    }
    std::memcpy(out, &info, sizeof info);
    *returned = sizeof info;
    return true;
}

bool DriverKeyName(HubContext& context, const void* in, std::uint32_t in_size, void* out, std::uint32_t out_size,
                   std::uint32_t* returned) {
    constexpr std::uint32_t kHeader = offsetof(UsbNodeConnectionDriverkeyName, DriverKeyName);
    if (in_size < sizeof(std::uint32_t)) return Fail(kErrorInvalidParameter);
    if (out_size < sizeof(UsbNodeConnectionDriverkeyName)) return Fail(kErrorInsufficientBuffer);
    std::uint32_t port;
    std::memcpy(&port, in, sizeof port);
    if (!CheckPort(context, port)) return false;
    Node device;
    std::string key;
    if (!context.tree.DeviceOnPort(context.hub, static_cast<int>(port), &device) ||
        !context.tree.DriverKey(device, &key))
        return Fail(kErrorDeviceNotConnected);
    std::u16string name = Utf8ToUtf16(key);
    name.push_back(u'\0');
    std::uint32_t actual = kHeader + static_cast<std::uint32_t>(name.size() * 2);
    auto* bytes = static_cast<std::uint8_t*>(out);
    std::memcpy(bytes, &port, 4);
    std::memcpy(bytes + 4, &actual, 4);
    // As much of the name as fits; the fixed-size first request only learns
    // ActualLength from it.
    std::uint32_t fits = std::min<std::uint32_t>((out_size - kHeader) / 2, static_cast<std::uint32_t>(name.size()));
    for (std::uint32_t i = 0; i < fits; ++i) {
        bytes[kHeader + 2 * i] = static_cast<std::uint8_t>(name[i] & 0xFF);
        bytes[kHeader + 2 * i + 1] = static_cast<std::uint8_t>(name[i] >> 8);
    }
    *returned = std::min(out_size, actual);
    return true;
}

// The string of index i: from the device descriptor's three indexes, a
// configuration's iConfiguration or an interface's iInterface, read from
// the matching sysfs attribute. False when the device names no such string.
bool StringOfIndex(DeviceTree& tree, const Node& device, std::uint8_t index, std::string* text) {
    std::vector<std::uint8_t> image = tree.RawDescriptors(device);
    UsbDeviceDescriptor d{};
    if (DeviceDescriptorFromImage(image, &d)) {
        if (index == d.iManufacturer) return tree.Attribute(device, "manufacturer", text);
        if (index == d.iProduct) return tree.Attribute(device, "product", text);
        if (index == d.iSerialNumber) return tree.Attribute(device, "serial", text);
    }
    if (ImageHasConfigurationString(image, index)) return tree.Attribute(device, "configuration", text);
    // Interfaces of the active configuration; of the first one when the
    // device does not tell which is active (the connection information then
    // shows configuration 0, and the caller reports it).
    bool known = false;
    std::uint32_t active = DecimalAttribute(tree, device, "bConfigurationValue", 0xFF, &known);
    std::size_t offset = 0, length = 0;
    for (int i = 0; FindConfiguration(image, i, &offset, &length); ++i) {
        if (known && image[offset + 5] != active) continue;
        int number = -1;
        if (!InterfaceOfStringIndex(image.data() + offset, length, index, &number)) return false;
        for (const Node& iface : tree.Interfaces(device))
            if (iface.name.interface == number) return tree.Attribute(iface, "interface", text);
        return false;
    }
    return false;
}

bool DescriptorRequest(HubContext& context, const void* in, std::uint32_t in_size, void* out,
                       std::uint32_t out_size, std::uint32_t* returned) {
    constexpr std::uint32_t kHeader = sizeof(UsbDescriptorRequestHeader);
    if (in_size < kHeader || out_size < kHeader) return Fail(kErrorInvalidParameter);
    UsbDescriptorRequestHeader header;
    std::memcpy(&header, in, kHeader);
    if (!CheckPort(context, header.ConnectionIndex)) return false;
    Node device;
    if (!context.tree.DeviceOnPort(context.hub, static_cast<int>(header.ConnectionIndex), &device))
        return Fail(kErrorDeviceNotConnected);
    std::uint8_t type = static_cast<std::uint8_t>(header.SetupPacket.wValue >> 8);
    std::uint8_t index = static_cast<std::uint8_t>(header.SetupPacket.wValue & 0xFF);
    std::vector<std::uint8_t> data;
    switch (type) {
        case kUsbDeviceDescriptorType: {
            UsbDeviceDescriptor d = DeviceDescriptor(context.tree, device);
            auto* p = reinterpret_cast<const std::uint8_t*>(&d);
            data.assign(p, p + sizeof d);
            break;
        }
        case kUsbConfigurationDescriptorType: {
            std::vector<std::uint8_t> image = context.tree.RawDescriptors(device);
            std::size_t offset = 0, length = 0;
            if (!FindConfiguration(image, index, &offset, &length)) return Fail(kErrorGenFailure);
            data.assign(image.begin() + static_cast<std::ptrdiff_t>(offset),
                        image.begin() + static_cast<std::ptrdiff_t>(offset + length));
            break;
        }
        case kUsbStringDescriptorType: {
            if (index == 0) {
                data = LanguageTableDescriptor();
                break;
            }
            std::string text;
            if (!StringOfIndex(context.tree, device, index, &text)) return Fail(kErrorGenFailure);
            data = EncodeStringDescriptor(text);
            break;
        }
        default:
            return Fail(kErrorGenFailure);  // the device stalls other requests
    }
    std::size_t count = std::min<std::size_t>({data.size(), header.SetupPacket.wLength, out_size - kHeader});
    auto* bytes = static_cast<std::uint8_t*>(out);
    std::memmove(bytes, &header, kHeader);
    if (count != 0) std::memcpy(bytes + kHeader, data.data(), count);
    *returned = kHeader + static_cast<std::uint32_t>(count);
    return true;
}

bool Request(HubContext& context, Handle hub, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned) {
    if (!OpenContext(hub, &context)) return false;
    switch (code) {
        case kIoctlUsbGetNodeInformation:
            return NodeInformation(context, out, out_size, returned);
        case kIoctlUsbGetNodeConnectionInformation:
            return ConnectionInformation(context, false, in, in_size, out, out_size, returned);
        case kIoctlUsbGetNodeConnectionInformationEx:
            return ConnectionInformation(context, true, in, in_size, out, out_size, returned);
        case kIoctlUsbGetNodeConnectionDriverkeyName:
            return DriverKeyName(context, in, in_size, out, out_size, returned);
        case kIoctlUsbGetDescriptorFromNodeConnection:
            return DescriptorRequest(context, in, in_size, out, out_size, returned);
        default:
            return Fail(kErrorNotSupported);
    }
}

}  // namespace

Handle OpenHubDevice(const std::string& name) {
    std::string id, class_text;
    DeviceTree tree;
    Node node;
    if (!IsHubSymbolicName(name) || !ParseSymbolicName(name, &id, &class_text) ||
        !EqualsNoCase(class_text, "f18a0e88-c30c-11d0-8815-00a0c906bed8")) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    if (!tree.Locate(id, &node) || !tree.IsHub(node)) {
        SetLastError(kErrorFileNotFound);
        return kInvalidHandle;
    }
    Handle handle = InsertObject(std::make_shared<HubObject>(DeviceTree::Handle(node)));
    if (handle == kInvalidHandle) SetLastError(kErrorNotEnoughMemory);
    return handle;
}

bool HubDeviceIoControl(Handle hub, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                        std::uint32_t out_size, std::uint32_t* returned) {
    std::uint32_t ignored = 0;
    if (returned == nullptr) returned = &ignored;
    *returned = 0;
    if ((in == nullptr && in_size != 0) || (out == nullptr && out_size != 0)) return Fail(kErrorInvalidParameter);
    auto object = Lookup<HubObject>(hub);
    if (!object) return Fail(kErrorInvalidHandle);
    HubContext context;
    return Request(context, hub, code, in, in_size, out, out_size, returned);
}

}  // namespace eklv::pf::lx
