// eklvctl udev-rules: the phones an eklv.ini supports, and the rule made
// from the example eklv.ini evaluated against the sysfs attributes of a
// umockdev rig, device by device, as udev matches them: the phones' tty
// nodes and USB devices match, no other device does.
#include <gtest/gtest.h>
#include <libudev.h>

#include <map>
#include <regex>
#include <sstream>

#include "rig/usb_rig.h"
#include "udev_rules.h"

namespace eklvctl {
namespace {

using eklv::test::RigInterface;
using eklv::test::UsbRig;

TEST(UdevRules, PhonesAsTheFiltersReadThem) {
    std::vector<std::string> skipped;
    auto phones = SupportedPhones(IniFile::Parse("[vid_filter]\nVID_0=VID_6B4D ; maker\nVID_1=vid_1a86&pid_7523\n"
                                                 "VID_2=usb#serial\nVID_3=vid_2717\n\nVID_5=vid_0bb4\n"
                                                 "[MTK_SMART_PID_FILTER]\nPID_LIST=2001,20a2;2003\n"),
                                  &skipped);
    ASSERT_EQ(phones.size(), 3u);
    EXPECT_EQ(phones[0].vendor, "6b4d");
    EXPECT_EQ(phones[0].products, (std::vector<std::string>{"2001", "20a2"})) << "the comment rule cuts 2003";
    EXPECT_EQ(phones[1].products, std::vector<std::string>{"7523"});
    EXPECT_TRUE(phones[2].products.empty()) << "every product of 2717";
    EXPECT_EQ(skipped, std::vector<std::string>{"VID_2=usb#serial"});
    // VID_4 is missing: the library reads no further, nor does the rule.

    // The maker's products outside PID_LIST are refused by the library.
    EXPECT_TRUE(SupportedPhones(IniFile::Parse("[VID_FILTER]\nVID_0=vid_6b4d\n"), nullptr).empty());
    EXPECT_TRUE(
        SupportedPhones(IniFile::Parse("[VID_FILTER]\nVID_0=vid_6b4d&pid_2009\n[MTK_SMART_PID_FILTER]\nPID_LIST=2001\n"),
                        nullptr)
            .empty());
}

// One device as udev sees it while it runs rules.
struct Device {
    udev_device* dev;

    std::string Value(const char* v) const { return v != nullptr ? v : ""; }
    std::string Subsystem(udev_device* d) const { return Value(udev_device_get_subsystem(d)); }
    std::string Attr(udev_device* d, const std::string& name) const {
        return Value(udev_device_get_sysattr_value(d, name.c_str()));
    }
};

struct Key {
    std::string name, attr, op, value;
};

// Whether every match key of the rule line holds for the device on an "add"
// event (ATTRS keys all on one device of the chain, as udev wants). A key
// this evaluator does not know fails the test.
bool Matches(const std::vector<Key>& keys, const Device& d) {
    std::vector<const Key*> parent_keys;
    for (const Key& k : keys) {
        if (k.op != "==" && k.op != "!=") continue;
        bool holds;
        if (k.name == "ACTION") {
            holds = k.value == "add";
        } else if (k.name == "SUBSYSTEM") {
            holds = d.Subsystem(d.dev) == k.value;
        } else if (k.name == "ENV" && k.attr == "DEVTYPE") {
            holds = d.Value(udev_device_get_devtype(d.dev)) == k.value;
        } else if (k.name == "ATTR") {
            holds = d.Attr(d.dev, k.attr) == k.value;
        } else if (k.name == "ATTRS") {
            parent_keys.push_back(&k);
            continue;
        } else {
            ADD_FAILURE() << "unknown key " << k.name;
            return false;
        }
        if (holds != (k.op == "==")) return false;
    }
    if (parent_keys.empty()) return true;
    for (udev_device* p = d.dev; p != nullptr; p = udev_device_get_parent(p)) {
        bool all = true;
        for (const Key* k : parent_keys) all = all && d.Attr(p, k->attr) == k->value;
        if (all) return true;
    }
    return false;
}

std::vector<std::vector<Key>> ParseRules(const std::string& text) {
    static const std::regex kKey(R"(([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|=)\s*"([^"]*)\")");
    std::vector<std::vector<Key>> rules;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<Key> keys;
        for (std::sregex_iterator it(line.begin(), line.end(), kKey), end; it != end; ++it)
            keys.push_back({(*it)[1], (*it)[2], (*it)[3], (*it)[4]});
        rules.push_back(keys);
    }
    return rules;
}

TEST(UdevRules, ExampleRuleMatchesTheRigsPhonesOnly) {
    UsbRig rig;
    auto pci = rig.AddPciController();
    auto root = rig.AddRootHub(pci, 1);
    auto hub = rig.AddHub(root, 3, 4, 0x6b4d, 0x0101);  // a hub of the phones' vendor
    rig.AddCompositePhone(hub, 1, 0x6b4d, 0x2001, {RigInterface::Modem("ttyACM0"), RigInterface::Mtp()});
    rig.AddSinglePhone(hub, 2, 0x6b4d, 0x2002, RigInterface::Serial("ttyUSB0", "Gadget CDC VCOM Port"));
    rig.AddSinglePhone(hub, 3, 0x6b4d, 0x2003, RigInterface::Serial("ttyUSB1", "Not listed"));
    rig.AddSinglePhone(root, 4, 0x1a86, 0x7523, RigInterface::Serial("ttyUSB2", "Other vendor"));

    auto ini = IniFile::Load(EKLV_SOURCE_DIR "/examples/eklv.ini");
    ASSERT_TRUE(ini);
    std::string text = UdevRulesText(SupportedPhones(*ini, nullptr), "examples/eklv.ini");
    auto rules = ParseRules(text);

    std::map<std::string, std::string> matched;  // sysname -> assignments of the matching rules
    udev* u = udev_new();
    udev_enumerate* e = udev_enumerate_new(u);
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        Device d{udev_device_new_from_syspath(u, udev_list_entry_get_name(entry))};
        if (d.dev == nullptr) continue;
        for (const auto& rule : rules) {
            bool assigns = false;
            std::string what;
            for (const Key& k : rule)
                if (k.op == "=" && k.name != "GOTO" && k.name != "LABEL") {
                    assigns = true;
                    what += k.name + (k.attr.empty() ? "" : "{" + k.attr + "}") + "=" + k.value + " ";
                }
            if (assigns && Matches(rule, d)) matched[udev_device_get_sysname(d.dev)] += what;
        }
        udev_device_unref(d.dev);
    }
    udev_enumerate_unref(e);
    udev_unref(u);

    const std::string tty = "GROUP=dialout MODE=0660 ENV{ID_MM_DEVICE_IGNORE}=1 ";
    const std::string usb = "ENV{ID_MM_DEVICE_IGNORE}=1 ";
    EXPECT_EQ(matched, (std::map<std::string, std::string>{
                           {"ttyACM0", tty}, {"ttyUSB0", tty}, {"1-3.1", usb}, {"1-3.2", usb}}))
        << text;
}

}  // namespace
}  // namespace eklvctl
