// A single-function device's symbolic name (no interface in it) reaches its
// tty through the device tree, in a umockdev testbed. (An interface of a
// composite phone is opened by its name on the kernel rig and end to end;
// the testbed's tty nodes answer no termios requests, so opening them is
// left to the pty tests.)
#include <gtest/gtest.h>
#include <umockdev.h>

#include <string>

#include "platform/linux/serial_port.h"

namespace eklv::pf {
namespace {

constexpr char kDevices[] =
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-4\n"
    "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=6b4d\nA: idProduct=0001\nA: bDeviceClass=02\n\n"
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0\n"
    "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n\n"
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/tty/ttyACM1\n"
    "N: ttyACM1\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM1\n";

TEST(SerialDeviceTree, DeviceNameOpensTheTtyOfItsInterface) {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    ASSERT_TRUE(umockdev_in_mock_environment()) << "libumockdev-preload is not loaded";
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, kDevices, &error)) << (error ? error->message : "");

    const std::string guid = "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    EXPECT_EQ(lx::ResolveSerialPath("\\\\?\\usb#vid_6b4d&pid_0001#1-4" + guid), "/dev/ttyACM1");
    EXPECT_EQ(lx::ResolveSerialPath("\\\\?\\usb#vid_6b4d&pid_0001#1-9" + guid), "") << "no such device";
    EXPECT_EQ(lx::ResolveSerialPath("\\\\?\\usb#vid_6b4d&pid_0001&mi_02#1-4:1.2" + guid), "") << "no such interface";

    g_object_unref(testbed);
}

}  // namespace
}  // namespace eklv::pf
