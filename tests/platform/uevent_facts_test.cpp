// What a uevent's properties tell is taken only from an "add" (and a
// driver's "bind") below /sys/devices, and only from properties that
// parse whole. (The formats themselves are checked against the kernel's
// own files on the kernel rig.)
#include "platform/linux/uevent_facts.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace eklv::pf::lx {
namespace {

using Properties = std::map<std::string, std::string>;

// Every fact as "file=content", "link->text" and "folder/", one per line.
std::string Facts(const char* action, const char* syspath, Properties properties) {
    auto lookup = [](void* p, const char* key) -> const char* {
        auto it = static_cast<Properties*>(p)->find(key);
        return it == static_cast<Properties*>(p)->end() ? nullptr : it->second.c_str();
    };
    UeventFacts facts = FactsOfUevent(action, syspath, lookup, &properties);
    std::string all;
    for (const auto& [path, content] : facts.files) all += path.substr(path.rfind('/') + 1) + "=" + content;
    for (const auto& [path, text] : facts.links) all += path + "->" + text + "\n";
    return facts.folder.empty() ? all : all + facts.folder + "/\n";
}

TEST(UeventFacts, OnlyWhatParsesWhole) {
    const char* device = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    const std::string place = std::string(device) + "/subsystem->../../../../../bus/usb\n/sys/bus/usb/devices/1-2->"
                              "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2\n" + device + "/\n";
    const Properties usb = {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}};
    auto with = [&](Properties more) {
        more.insert(usb.begin(), usb.end());
        return more;
    };
    EXPECT_EQ(Facts("add", device, with({{"PRODUCT", "6B4d/2001/404"}, {"TYPE", "9/0/1"}, {"DEVNUM", "012"}})),
              "idVendor=6b4d\nidProduct=2001\nbDeviceClass=09\ndevnum=12\n" + place);
    // Cut short, too large, signed, spaced, trailing: the device's place only.
    EXPECT_EQ(Facts("add", device, with({{"PRODUCT", "6b4d/2001"}, {"TYPE", "256/0/0"}, {"DEVNUM", "-1"}})), place);
    EXPECT_EQ(Facts("add", device, with({{"PRODUCT", "6b4d/2001/1/"}, {"DEVNUM", " 2"}})), place);
    EXPECT_EQ(Facts("add", device, {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"MODALIAS", "usb:vin"}}),
              place);
    // A driver's bind: its link, by a name that is one file name.
    EXPECT_EQ(Facts("bind", device, with({{"DRIVER", "usb"}})),
              std::string(device) + "/driver->../../../../../bus/usb/drivers/usb\n" + device + "/\n");
    for (const char* driver : {"", "../usb"}) EXPECT_EQ(Facts("bind", device, with({{"DRIVER", driver}})), "");
    // Not an add, not a device folder, not a subsystem the monitor names.
    for (const char* action : {"bind", "remove", "change"}) EXPECT_EQ(Facts(action, device, usb), "");
    EXPECT_EQ(Facts(nullptr, device, usb), "");
    EXPECT_EQ(Facts("add", "/sys/bus/usb/devices/1-2", usb), "");
    EXPECT_EQ(Facts("add", "/sys/devices/usb1/", usb), "");
    EXPECT_EQ(Facts("add", device, {{"SUBSYSTEM", "block"}}), "");
    EXPECT_EQ(Facts("add", device, {}), "");
}

}  // namespace
}  // namespace eklv::pf::lx
