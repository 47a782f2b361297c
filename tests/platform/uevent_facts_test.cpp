// A uevent's properties written as the kernel's sysfs files read: only for
// an "add" below /sys/devices, only properties that parse whole.
#include "platform/linux/uevent_facts.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace eklv::pf::lx {
namespace {

using Properties = std::map<std::string, std::string>;

const char* Lookup(void* context, const char* key) {
    auto* properties = static_cast<Properties*>(context);
    auto it = properties->find(key);
    return it == properties->end() ? nullptr : it->second.c_str();
}

// Every fact as "path=content" (files), "path->text" (links) or "path/"
// (device directories), one per line.
std::string Facts(const char* action, const char* syspath, Properties properties) {
    UeventFacts facts = FactsOfUevent(action, syspath, &Lookup, &properties);
    std::string all;
    for (const auto& [path, content] : facts.files) all += path + "=" + content;
    for (const auto& [path, text] : facts.links) all += path + "->" + text + "\n";
    if (!facts.folder.empty()) all += facts.folder + "/\n";
    return all;
}

TEST(UeventFacts, KernelPropertiesInSysfsFormats) {
    const char* device = "/sys/devices/platform/dummy_hcd.2/usb3/3-1";
    EXPECT_EQ(Facts("add", device,
                    {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"PRODUCT", "6b4d/2001/404"},
                     {"TYPE", "239/2/1"}, {"BUSNUM", "003"}, {"DEVNUM", "012"}}),
              std::string(device) + "/idVendor=6b4d\n" + device + "/idProduct=2001\n" + device +
                  "/bDeviceClass=ef\n" + device + "/devnum=12\n" + device +
                  "/subsystem->../../../../../bus/usb\n/sys/bus/usb/devices/3-1->../../../devices/platform/"
                  "dummy_hcd.2/usb3/3-1\n" +
                  device + "/\n");

    const char* iface = "/sys/devices/platform/dummy_hcd.2/usb3/3-1/3-1:1.2";
    EXPECT_EQ(Facts("add", iface,
                    {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"INTERFACE", "10/0/0"},
                     {"MODALIAS", "usb:v6B4Dp2001d0404dcEFdsc02dp01ic0Aisc00ip00in0B"}}),
              std::string(iface) + "/bInterfaceNumber=0b\n" + iface +
                  "/subsystem->../../../../../../bus/usb\n/sys/bus/usb/devices/3-1:1.2->../../../devices/platform/"
                  "dummy_hcd.2/usb3/3-1/3-1:1.2\n" +
                  iface + "/\n");

    const char* tty = "/sys/devices/platform/dummy_hcd.2/usb3/3-1/3-1:1.0/tty/ttyACM0";
    EXPECT_EQ(Facts("add", tty, {{"SUBSYSTEM", "tty"}, {"DEVNAME", "ttyACM0"}}),
              std::string(tty) + "/subsystem->../../../../../../../../class/tty\n" + tty + "/\n");
}

TEST(UeventFacts, AnythingElseTellsNothingOrLess) {
    const char* device = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const std::string where = std::string(device) + "/subsystem->../../../../../bus/usb\n/sys/bus/usb/devices/1-2->"
                              "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2\n" + device + "/\n";
    // Properties cut short, too large, signed, spaced or missing: only the
    // device's place, which the uevent itself gives.
    EXPECT_EQ(Facts("add", device,
                    {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"PRODUCT", "6b4d/2001"}, {"TYPE", "256/0/0"},
                     {"BUSNUM", "-1"}, {"DEVNUM", " 2"}}),
              where);
    EXPECT_EQ(Facts("add", device, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"PRODUCT", "6b4d/2001/1/"}}),
              where);
    EXPECT_EQ(Facts("add", device, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"MODALIAS", "usb:v6B4Din"}}),
              where);
    EXPECT_EQ(Facts("add", device, {{"SUBSYSTEM", "usb"}}), where);
    // Not an add, not a device folder, not a subsystem the monitor names.
    EXPECT_EQ(Facts("bind", device, {{"SUBSYSTEM", "usb"}}), "");
    EXPECT_EQ(Facts("remove", device, {{"SUBSYSTEM", "usb"}}), "");
    EXPECT_EQ(Facts("add", "/sys/bus/usb/devices/1-2", {{"SUBSYSTEM", "usb"}}), "");
    EXPECT_EQ(Facts("add", "/sys/devices/usb1/", {{"SUBSYSTEM", "usb"}}), "");
    EXPECT_EQ(Facts("add", device, {{"SUBSYSTEM", "block"}}), "");
    EXPECT_EQ(Facts("add", device, {}), "");
    EXPECT_EQ(Facts(nullptr, device, {{"SUBSYSTEM", "usb"}}), "");
}

}  // namespace
}  // namespace eklv::pf::lx
