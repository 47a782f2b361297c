// Hub requests on the umockdev rig: the raw structures, the port search
// and the descriptor requests of CKLVUSBUtilities, and hostile sysfs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/standard_rig.h"
#include "discovery/usb_utilities.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/usb_hub.h"

namespace eklv {
namespace {

using test::DiscoveryFolder;
using test::StandardRig;

pf::Handle OpenHub(const std::string& name) {
    return pf::CreateFileA(name.c_str(), pf::kGenericRead | pf::kGenericWrite, pf::kFileShareRead | pf::kFileShareWrite,
                           pf::kOpenExisting, 0);
}

struct HubHandle {
    explicit HubHandle(const std::string& name) : handle(OpenHub(name)) {}
    ~HubHandle() {
        if (pf::IsValidHandle(handle)) pf::CloseHandle(handle);
    }
    pf::Handle handle;
};

std::string Utf16(const std::uint8_t* bytes, std::size_t units) {
    std::string text;
    for (std::size_t i = 0; i < units; ++i) text += static_cast<char>(bytes[2 * i]);
    return text;
}

TEST(HubRequests, AnswersInTheWindowsLayouts) {
    StandardRig s;
    HubHandle hub(s.rig.HubName(s.inner_hub));
    ASSERT_TRUE(pf::IsValidHandle(hub.handle));
    std::uint32_t returned = 0;

    pf::UsbNodeInformation info{};
    ASSERT_TRUE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeInformation, &info, 76, &info, 76, &returned,
                                    nullptr));
    EXPECT_EQ(returned, 76u);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(&info)[6], 4);  // bNumberOfPorts at byte 6

    std::uint8_t connection[35] = {2};
    ASSERT_TRUE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionInformation, connection, 35, connection,
                                    35, &returned, nullptr));
    EXPECT_EQ(returned, 35u);
    EXPECT_EQ(connection[31], pf::kDeviceConnected);
    EXPECT_EQ(std::memcmp(connection + 4, s.rig.Descriptors(s.phone).data(), 18), 0);
    EXPECT_EQ(connection[22], 1);  // CurrentConfigurationValue
    EXPECT_EQ(connection[24], 0);  // DeviceIsHub
    std::uint8_t empty_port[35] = {1};
    ASSERT_TRUE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionInformationEx, empty_port, 35,
                                    empty_port, 35, &returned, nullptr));
    EXPECT_EQ(empty_port[31], pf::kNoDeviceConnected);
    std::uint8_t bad_port[35] = {5};
    EXPECT_FALSE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionInformation, bad_port, 35, bad_port,
                                     35, &returned, nullptr));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidParameter);
    EXPECT_FALSE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionInformation, connection, 35,
                                     connection, 34, &returned, nullptr));

    // Driver key name: the fixed 10 bytes learn the length, then the name.
    const std::string key = "{36fc9e60-c465-11cf-8056-444553540000}\\1-3.4.2";
    pf::UsbNodeConnectionDriverkeyName fixed{2, 0, {0}};
    ASSERT_TRUE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionDriverkeyName, &fixed, 10, &fixed, 10,
                                    &returned, nullptr));
    EXPECT_EQ(returned, 10u);
    EXPECT_EQ(fixed.ActualLength, 8 + 2 * (key.size() + 1));
    std::vector<std::uint8_t> full(fixed.ActualLength + 10, 0);
    full[0] = 2;
    ASSERT_TRUE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionDriverkeyName, full.data(),
                                    static_cast<std::uint32_t>(full.size()), full.data(),
                                    static_cast<std::uint32_t>(full.size()), &returned, nullptr));
    EXPECT_EQ(returned, fixed.ActualLength);
    EXPECT_EQ(Utf16(full.data() + 8, key.size()), key);
    pf::UsbNodeConnectionDriverkeyName unplugged{3, 0, {0}};
    EXPECT_FALSE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionDriverkeyName, &unplugged, 10,
                                     &unplugged, 10, &returned, nullptr));

    // Descriptor requests count the 12-byte header in the bytes returned.
    std::uint8_t request[12 + 259] = {};
    auto ask = [&](std::uint16_t value, std::uint16_t length) {
        std::memset(request, 0, sizeof request);
        pf::UsbDescriptorRequestHeader header{2, {0, 0, value, 0x0409, length}};
        std::memcpy(request, &header, 12);
        returned = 0;
        return pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetDescriptorFromNodeConnection, request, 12 + length,
                                   request, 12 + length, &returned, nullptr);
    };
    ASSERT_TRUE(ask(0x0100, 18));
    EXPECT_EQ(returned, 30u);
    std::vector<std::uint8_t> raw = s.rig.Descriptors(s.phone);
    ASSERT_TRUE(ask(0x0200, 255));
    EXPECT_EQ(returned, 12 + raw.size() - 18);
    EXPECT_EQ(std::memcmp(request + 12, raw.data() + 18, raw.size() - 18), 0);
    ASSERT_TRUE(ask(0x0300, 255));
    EXPECT_EQ(std::vector<std::uint8_t>(request + 12, request + 16), (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    ASSERT_TRUE(ask(0x0302, 255));  // iProduct
    EXPECT_EQ(request[12], 2 + 2 * 14);
    EXPECT_EQ(Utf16(request + 14, 14), "Norvanta Phone");
    ASSERT_TRUE(ask(0x0305, 255));  // iInterface of mi_00
    EXPECT_EQ(Utf16(request + 14, 18), "MTK USB Modem Port");
    EXPECT_FALSE(ask(0x0309, 255));  // no such string: the device stalls
    EXPECT_FALSE(ask(0x0600, 10));   // device qualifier: not answered

    EXPECT_TRUE(pf::CloseHandle(hub.handle));
    EXPECT_FALSE(pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeInformation, &info, 76, &info, 76, &returned,
                                     nullptr));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidHandle);
    hub.handle = pf::kInvalidHandle;
    // A device that is no hub, and a hub that is not there.
    EXPECT_EQ(OpenHub(s.rig.DeviceName(s.phone, test::kRigClassUsbHub)), pf::kInvalidHandle);
    EXPECT_EQ(OpenHub("\\\\?\\usb#vid_1a40&pid_0101#9-9#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"), pf::kInvalidHandle);
}

// An open hub handle keeps the resolved hub between requests: requests
// must still see the hub go and come back, and the devices on its ports.
TEST(HubRequests, HubUnpluggedAndPluggedWhileOpen) {
    StandardRig s;
    HubHandle hub(s.rig.HubName(s.inner_hub));
    ASSERT_TRUE(pf::IsValidHandle(hub.handle));
    std::uint32_t returned = 0;
    pf::UsbNodeInformation info{};
    auto node_information = [&] {
        info = {};
        return pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeInformation, &info, 76, &info, 76, &returned,
                                   nullptr);
    };
    std::uint8_t connection[35];
    auto port_two = [&] {
        std::memset(connection, 0, sizeof connection);
        connection[0] = 2;
        return pf::DeviceIoControl(hub.handle, pf::kIoctlUsbGetNodeConnectionInformation, connection, 35,
                                   connection, 35, &returned, nullptr);
    };
    ASSERT_TRUE(node_information());
    ASSERT_TRUE(port_two());
    EXPECT_EQ(connection[31], pf::kDeviceConnected);

    s.rig.Unplug(s.phone);
    ASSERT_TRUE(port_two());
    EXPECT_EQ(connection[31], pf::kNoDeviceConnected);
    s.rig.Plug(s.phone);
    ASSERT_TRUE(port_two());
    EXPECT_EQ(connection[31], pf::kDeviceConnected);

    s.rig.Unplug(s.inner_hub);
    EXPECT_FALSE(node_information());
    EXPECT_EQ(pf::GetLastError(), 1167u);  // ERROR_DEVICE_NOT_CONNECTED
    EXPECT_FALSE(port_two());
    s.rig.Plug(s.inner_hub);
    ASSERT_TRUE(node_information());
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(&info)[6], 4);
    ASSERT_TRUE(port_two());
    EXPECT_EQ(connection[31], pf::kDeviceConnected);
}

TEST(HubRequests, PortsDescriptorsAndStrings) {
    StandardRig s;
    DiscoveryFolder folder(test::kStandardIni);
    int port = 0;
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.ModemName(), s.rig.HubName(s.inner_hub), &port, false),
              kUsbOk);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.SingleName(), s.rig.HubName(s.root2), &port, false), kUsbOk);
    EXPECT_EQ(port, 1);
    // The port of a hub on its parent hub, without the phone filters.
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.rig.HubName(s.inner_hub), s.rig.HubName(s.hub), &port, true),
              kUsbOk);
    EXPECT_EQ(port, 4);
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.rig.HubName(s.inner_hub), s.rig.HubName(s.hub), &port, false),
              kUsbInvalid);
    EXPECT_EQ(port, -1);
    EXPECT_EQ(folder.CountLines("SearchVIDFilter unsupported[" + s.rig.HubName(s.inner_hub) + "]"), 1);
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex - Failed to validate input parameters"), 1);
    // The device is on another hub than the one named.
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.ModemName(), s.rig.HubName(s.root2), &port, false),
              kUsbQueryFailed);
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex: Failed to match the driver key names."), 1);

    pf::Handle hub = CKLVUSBUtilities::OpenParentHub(s.ModemName(), &port);
    ASSERT_TRUE(pf::IsValidHandle(hub));
    pf::UsbDeviceDescriptor device{};
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescDevice, 0, &device), kUsbOk);
    EXPECT_EQ(device.idProduct, 0x2001);
    pf::UsbInterfaceDescriptor iface{};
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescInterface, 1, &iface), kUsbOk);
    EXPECT_EQ(iface.bInterfaceClass, 6);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescInterface, 255, &iface), kUsbOk);
    EXPECT_EQ(iface.bInterfaceNumber, 0);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescInterface, 7, &iface), kUsbQueryFailed);
    pf::UsbEndpointDescriptor endpoint{};
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescEndpoint, 0x02, &endpoint), kUsbOk);
    EXPECT_EQ(endpoint.bLength, 7);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, 0x106, 0, &endpoint), kUsbInvalid);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, 0, kDescDevice, 0, &device), kUsbInvalid);
    std::string text;
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(hub, port, kStringManufacturer, &text, 0), kUsbOk);
    EXPECT_EQ(text, "Norvanta");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(hub, port, kStringByIndex, &text, 0x103), kUsbOk);
    EXPECT_EQ(text, "0123456789ABCDEF");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(hub, port, 0x400, &text, 0), kUsbInvalid);
    pf::CloseHandle(hub);

    // By name: product, configuration, and the interface of the name's mi.
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(s.ModemName(), kStringProduct, &text, 0), kUsbOk);
    EXPECT_EQ(text, "Norvanta Phone");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(s.ModemName(), kStringConfiguration, &text, 0), kUsbOk);
    EXPECT_EQ(text, "Default Configuration");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(s.ModemName(), kStringInterface, &text, 0), kUsbOk);
    EXPECT_EQ(text, "MTK USB Modem Port");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(s.MtpName(), kStringInterface, &text, 0), kUsbOk);
    EXPECT_EQ(text, "MTP");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(s.SingleName(), kStringInterface, &text, 0), kUsbOk);
    EXPECT_EQ(text, "Gadget CDC VCOM Port");  // no mi: the first interface
    // Strings are trimmed.
    s.rig.SetAttribute(s.phone, "product", "  Padded Phone \t");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(s.ModemName(), kStringProduct, &text, 0), kUsbOk);
    EXPECT_EQ(text, "Padded Phone");
    // A hub name is no supported phone: the hub cannot be opened for it.
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(s.rig.HubName(s.hub), kStringProduct, &text, 0), kUsbInvalid);

    pf::UsbConfigurationDescriptor configuration{};
    EXPECT_EQ(CKLVUSBUtilities::GetConfigurationDescriptor(s.ModemName(), &configuration), kUsbOk);
    EXPECT_EQ(configuration.bNumInterfaces, 3);
    EXPECT_EQ(CKLVUSBUtilities::GetInterfaceDescriptor(s.MtpName(), &iface), kUsbOk);
    EXPECT_EQ(iface.bInterfaceNumber, 1);
    EXPECT_EQ(CKLVUSBUtilities::GetNodeDeviceDescriptor(s.SingleName(), &device), kUsbOk);
    EXPECT_EQ(device.idProduct, 0x2002);
}

TEST(HubRequests, PhoneWithoutProductString) {
    test::UsbRig rig;
    DiscoveryFolder folder(test::kStandardIni);
    auto root = rig.AddRootHub(rig.AddPciController(), 1);
    test::RigStrings strings;
    strings.product.clear();
    auto phone = rig.AddSinglePhone(root, 2, 0x6b4d, 0x2002, test::RigInterface::Modem("ttyACM7"), strings);
    std::string text = "kept";
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(rig.DeviceName(phone, test::kRigClassComPort), kStringProduct,
                                                    &text, 0),
              kUsbOk);
    EXPECT_EQ(text, "");
    EXPECT_EQ(folder.CountLines("CKLVUSBUtilities::GetStringDescriptor No String descriptor string present."), 1);
}

TEST(HubRequests, HostileSysfs) {
    StandardRig s;
    DiscoveryFolder folder(test::kStandardIni);
    int port = 0;
    std::string text;

    // Descriptors cut after the device descriptor: no configuration.
    std::vector<std::uint8_t> raw = s.rig.Descriptors(s.phone);
    s.rig.SetBinaryAttribute(s.phone, "descriptors", std::vector<std::uint8_t>(raw.begin(), raw.begin() + 18));
    pf::Handle hub = CKLVUSBUtilities::OpenParentHub(s.ModemName(), &port);
    ASSERT_TRUE(pf::IsValidHandle(hub));
    pf::UsbInterfaceDescriptor iface{};
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescInterface, 0, &iface), kUsbQueryFailed);
    EXPECT_EQ(folder.CountLines("Could not get configuration descritor in order to get interface descriptor"), 1);

    // Hostile walks inside a configuration are DescriptorWalk's (the same
    // walk, on exact-size buffers).

    // No descriptors at all: the device descriptor comes from the single
    // attributes, a configuration request fails.
    s.rig.RemoveAttribute(s.phone, "descriptors");
    pf::UsbDeviceDescriptor device{};
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescDevice, 0, &device), kUsbOk);
    EXPECT_EQ(device.idVendor, 0x6b4d);
    EXPECT_EQ(device.bcdUSB, 0x0200);
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(hub, port, kStringConfiguration, &text, 0), kUsbQueryFailed);

    // The phone goes between two requests on an open hub.
    s.rig.Unplug(s.phone);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescDevice, 0, &device), kUsbQueryFailed);
    EXPECT_EQ(folder.CountLines("IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, Error = 1167"), 1);
    pf::CloseHandle(hub);
    s.rig.Plug(s.phone);

    // A hub that reports no ports, then one without the attribute.
    s.rig.SetAttribute(s.inner_hub, "maxchild", "0");
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.ModemName(), s.rig.HubName(s.inner_hub), &port, false),
              kUsbQueryFailed);
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex: Invalid number of ports: 0 from hub: " +
                                s.rig.HubName(s.inner_hub)),
              1);
    s.rig.RemoveAttribute(s.inner_hub, "maxchild");
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.ModemName(), s.rig.HubName(s.inner_hub), &port, false),
              kUsbQueryFailed);
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex - IOCTL_USB_GET_NODE_INFORMATION, Error = 31"), 1);

    // Names of every bad length, and a hub name that is no name at all.
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.ModemName(), std::string(513, 'h'), &port, false),
              kUsbInvalid);
    EXPECT_EQ(CKLVUSBUtilities::GetDeviceConnectionIndex(s.ModemName(), std::string(512, 'h'), &port, false),
              kUsbQueryFailed);
    EXPECT_EQ(folder.CountLines("Could not create hub handle. Error: 2"), 1);
}

}  // namespace
}  // namespace eklv
