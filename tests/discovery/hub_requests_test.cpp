// Hub requests on the umockdev rig: the raw requests, the port search
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

// GetDeviceConnectionIndex as "<result>:<port>".
std::string ConnectionIndex(const std::string& device, const std::string& hub, bool any_device = false) {
    int port = 0;
    std::uint32_t r = CKLVUSBUtilities::GetDeviceConnectionIndex(device, hub, &port, any_device);
    return std::to_string(r) + ":" + std::to_string(port);
}

// The raw requests where the utilities below cannot tell: sizes answered,
// the error codes of a bad port and a closed handle, what opens as a hub.
// An open hub handle keeps the resolved hub between requests: requests
// must still see the hub go and come back, and the devices on its ports.
TEST(HubRequests, RawRequestsOnAnOpenHub) {
    StandardRig s;
    const pf::Handle hub = OpenHub(s.rig.HubName(s.inner_hub));
    ASSERT_TRUE(pf::IsValidHandle(hub));
    std::uint32_t returned = 0;
    // The hub's port count, and the connection status of a port; -1 when
    // the request fails.
    auto ports = [&] {
        pf::UsbNodeInformation info{};
        bool ok = pf::DeviceIoControl(hub, pf::kIoctlUsbGetNodeInformation, &info, 76, &info, 76, &returned, nullptr);
        return ok ? reinterpret_cast<std::uint8_t*>(&info)[6] : -1;
    };
    std::uint8_t c[35];
    auto status = [&](std::uint8_t port, std::uint32_t out = 35) {
        std::memset(c, 0, sizeof c);
        c[0] = port;
        bool ok = pf::DeviceIoControl(hub, pf::kIoctlUsbGetNodeConnectionInformation, c, 35, c, out, &returned, nullptr);
        return ok ? c[31] : -1;
    };
    const int connected = pf::kDeviceConnected, empty = pf::kNoDeviceConnected;
    EXPECT_EQ(ports(), 4);
    EXPECT_EQ(status(2), connected);
    EXPECT_EQ(returned, 35u);
    EXPECT_EQ(c[24], 0);  // DeviceIsHub
    EXPECT_EQ(status(2, 34), -1);
    EXPECT_EQ(status(5), -1);
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidParameter);

    // A device qualifier, and a string the device does not have (it
    // stalls), are not answered (the descriptors a device has are read
    // through the utilities below).
    std::uint8_t request[12 + 18] = {};
    pf::UsbDescriptorRequestHeader header{2, {}};
    for (std::uint16_t value : {0x0600, 0x0309}) {
        header.SetupPacket = {0, 0, value, 0x0409, 18};
        std::memcpy(request, &header, 12);
        EXPECT_FALSE(pf::DeviceIoControl(hub, pf::kIoctlUsbGetDescriptorFromNodeConnection, request, 30,
                                         request, 30, &returned, nullptr))
            << value;
    }

    s.rig.Unplug(s.phone);
    EXPECT_EQ(status(2), empty);
    s.rig.Plug(s.phone);
    EXPECT_EQ(status(2), connected);
    s.rig.Unplug(s.inner_hub);
    EXPECT_EQ(ports(), -1);
    EXPECT_EQ(pf::GetLastError(), 1167u);  // ERROR_DEVICE_NOT_CONNECTED
    EXPECT_EQ(status(2), -1);
    s.rig.Plug(s.inner_hub);
    EXPECT_EQ(ports(), 4);
    EXPECT_EQ(status(2), connected);

    EXPECT_TRUE(pf::CloseHandle(hub));
    EXPECT_EQ(ports(), -1);
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidHandle);
    // A device that is no hub, and a hub that is not there.
    EXPECT_EQ(OpenHub(s.rig.DeviceName(s.phone, test::kRigClassUsbHub)), pf::kInvalidHandle);
    EXPECT_EQ(OpenHub("\\\\?\\usb#vid_1a40&pid_0101#9-9#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"), pf::kInvalidHandle);
}

TEST(HubRequests, PortsDescriptorsAndStrings) {
    StandardRig s;
    DiscoveryFolder folder(test::kStandardIni);
    EXPECT_EQ(ConnectionIndex(s.ModemName(), s.rig.HubName(s.inner_hub)), "0:2");
    // The port of a hub on its parent hub, without the phone filters.
    EXPECT_EQ(ConnectionIndex(s.rig.HubName(s.inner_hub), s.rig.HubName(s.hub), true), "0:4");
    EXPECT_EQ(ConnectionIndex(s.rig.HubName(s.inner_hub), s.rig.HubName(s.hub)), "2:-1");
    EXPECT_EQ(folder.CountLines("SearchVIDFilter unsupported[" + s.rig.HubName(s.inner_hub) + "]"), 1);
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex - Failed to validate input parameters"), 1);
    // The device is on another hub than the one named.
    EXPECT_EQ(ConnectionIndex(s.ModemName(), s.rig.HubName(s.root2)).substr(0, 2), "1:");
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex: Failed to match the driver key names."), 1);

    int port = 0;
    pf::Handle hub = CKLVUSBUtilities::OpenParentHub(s.ModemName(), &port);
    ASSERT_TRUE(pf::IsValidHandle(hub));
    pf::UsbDeviceDescriptor device{};
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescDevice, 0, &device), kUsbOk);
    EXPECT_EQ(device.idProduct, 0x2001);
    pf::UsbInterfaceDescriptor iface{};
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescInterface, 1, &iface), kUsbOk);
    EXPECT_EQ(iface.bInterfaceClass, 6);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, kDescInterface, 7, &iface), kUsbQueryFailed);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, port, 0x106, 0, &iface), kUsbInvalid);
    EXPECT_EQ(CKLVUSBUtilities::GetDescriptor(hub, 0, kDescDevice, 0, &device), kUsbInvalid);
    std::string text;
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(hub, port, kStringByIndex, &text, 0x103), kUsbOk);
    EXPECT_EQ(text, "0123456789ABCDEF");
    EXPECT_EQ(CKLVUSBUtilities::GetStringDescriptor(hub, port, 0x400, &text, 0), kUsbInvalid);
    pf::CloseHandle(hub);

    // By name: configuration, and the interface of the name's mi (the first
    // without one); strings are trimmed.
    auto by_name = [&](const std::string& name, std::uint32_t kind) {
        std::uint32_t r = CKLVUSBUtilities::GetStringDescriptor(name, kind, &text, 0);
        return r == kUsbOk ? text : "<r " + std::to_string(r) + ">";
    };
    EXPECT_EQ(by_name(s.ModemName(), kStringConfiguration), "Default Configuration");
    EXPECT_EQ(by_name(s.ModemName(), kStringInterface), "MTK USB Modem Port");
    EXPECT_EQ(by_name(s.MtpName(), kStringInterface), "MTP");
    EXPECT_EQ(by_name(s.SingleName(), kStringInterface), "Gadget CDC VCOM Port");
    s.rig.SetAttribute(s.phone, "product", "  Padded Phone \t");
    EXPECT_EQ(by_name(s.ModemName(), kStringProduct), "Padded Phone");
    // A phone without a product string answers an empty one.
    test::RigStrings strings;
    strings.product.clear();
    auto bare = s.rig.AddSinglePhone(s.root2, 2, 0x6b4d, 0x2002, test::RigInterface::Modem("ttyACM7"), strings);
    EXPECT_EQ(by_name(s.rig.DeviceName(bare, test::kRigClassComPort), kStringProduct), "");
    EXPECT_EQ(folder.CountLines("CKLVUSBUtilities::GetStringDescriptor No String descriptor string present."), 1);
    // A hub name is no supported phone: the hub cannot be opened for it.
    EXPECT_EQ(by_name(s.rig.HubName(s.hub), kStringProduct), "<r 2>");

    pf::UsbConfigurationDescriptor configuration{};
    EXPECT_EQ(CKLVUSBUtilities::GetConfigurationDescriptor(s.ModemName(), &configuration), kUsbOk);
    EXPECT_EQ(configuration.bNumInterfaces, 3);
    EXPECT_EQ(CKLVUSBUtilities::GetInterfaceDescriptor(s.MtpName(), &iface), kUsbOk);
    EXPECT_EQ(iface.bInterfaceNumber, 1);
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
    EXPECT_EQ(ConnectionIndex(s.ModemName(), s.rig.HubName(s.inner_hub)).substr(0, 2), "1:");
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex: Invalid number of ports: 0 from hub: " +
                                s.rig.HubName(s.inner_hub)),
              1);
    s.rig.RemoveAttribute(s.inner_hub, "maxchild");
    EXPECT_EQ(ConnectionIndex(s.ModemName(), s.rig.HubName(s.inner_hub)).substr(0, 2), "1:");
    EXPECT_EQ(folder.CountLines("GetDeviceConnectionIndex - IOCTL_USB_GET_NODE_INFORMATION, Error = 31"), 1);

    // Names of every bad length, and a hub name that is no name at all.
    EXPECT_EQ(ConnectionIndex(s.ModemName(), std::string(513, 'h')).substr(0, 2), "2:");
    EXPECT_EQ(ConnectionIndex(s.ModemName(), std::string(512, 'h')).substr(0, 2), "1:");
    EXPECT_EQ(folder.CountLines("Could not create hub handle. Error: 2"), 1);
}

}  // namespace
}  // namespace eklv
