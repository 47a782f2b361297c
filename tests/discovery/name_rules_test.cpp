// Text rules without a device tree: symbolic names, instance ids, product
// ids, the four eklv.ini filters, and the backend's kernel-name and
// descriptor helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/discovery_folder.h"
#include "discovery/usb_descriptors.h"
#include "discovery/usb_utilities.h"
#include "platform/codepage.h"
#include "platform/linux/hub_descriptors.h"
#include "platform/linux/udev_names.h"

namespace eklv {
namespace {

using test::DiscoveryFolder;

const std::string kModem = "\\\\?\\usb#vid_6b4d&pid_abcd&mi_01#6&1a2b3c4d&0&0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

TEST(SymbolicNames, LengthAndInstanceIdRules) {
    DiscoveryFolder folder;
    EXPECT_EQ(CKLVUSBUtilities::ValidateSymbolicName(std::string(16, 'x')), kUsbInvalid);
    EXPECT_EQ(CKLVUSBUtilities::ValidateSymbolicName(std::string(17, 'x')), kUsbOk);
    EXPECT_EQ(CKLVUSBUtilities::ValidateSymbolicName(std::string(513, 'x')), kUsbInvalid);
    EXPECT_EQ(folder.CountLines("Invalid symbolic - (" + std::string(16, 'x') + ")"), 1);

    // "<result code>:<text left in a string that held 'kept'>".
    auto answer = [](auto query, const std::string& name) {
        std::string text = "kept";
        return std::to_string(query(name, &text)) + ":" + text;
    };
    const auto instance_id = &CKLVUSBUtilities::GetDeviceInstanceID, pid = &CKLVUSBUtilities::GetPIDFromSymbolicName;
    EXPECT_EQ(answer(instance_id, kModem), "0:usb\\vid_6b4d&pid_abcd&mi_01\\6&1a2b3c4d&0&0001");
    EXPECT_EQ(answer(instance_id, "\\\\?\\usb#vid_6b4d&pid_abcd#no-class"), "0:");
    EXPECT_EQ(answer(instance_id, "short#{x}"), "2:kept");
    EXPECT_EQ(folder.CountLines("GetDeviceInstanceID - Failed to validate input parameter (short#{x})"), 1);
    EXPECT_EQ(answer(pid, kModem), "0:pid_abcd");
    EXPECT_EQ(answer(pid, "\\\\?\\USB#VID_6B4D&PID_00FF"), "0:pid_00ff");
    EXPECT_EQ(answer(pid, "tiny"), "2:");

    EXPECT_EQ(InterfaceNumberFromName(kModem), 1u);
    EXPECT_EQ(InterfaceNumberFromName("\\\\?\\usb#vid_6b4d&pid_abcd#x"), 255u);
    EXPECT_EQ(InterfaceNumberFromName("\\\\?\\mi_03#vid_6b4d&pid_abcd#x"), 255u);  // "mi" before character 15
    EXPECT_EQ(InterfaceNumberFromName("\\\\?\\usb#vid_6b4d&pid_abcd&mi"), 0u);
    EXPECT_EQ(InterfaceNumberFromName("\\\\?\\usb#vid_6b4d&pid_abcd&mi_99999999999999"), 0x7FFFFFFFu);
}

TEST(Filters, VendorProductAndMtkRules) {
    DiscoveryFolder folder("[VID_FILTER]\nVID_0=vid_1234\nVID_2=vid_6b4d\n");
    // The list ends at the first absent key: VID_2 is never read.
    EXPECT_FALSE(CKLVUSBUtilities::SearchVIDFilter(kModem));
    EXPECT_TRUE(CKLVUSBUtilities::SearchVIDFilter("\\\\?\\USB#VID_1234&PID_0001#X#{G}"));
    folder.WriteIni("[VID_FILTER]\nVID_0=;only a comment\nVID_1=VID_6B4D\nVID_2=vid_6b4d\n");
    EXPECT_TRUE(CKLVUSBUtilities::SearchVIDFilter(kModem));  // an empty value is passed over, upper case never matches
    folder.WriteIni("");
    EXPECT_FALSE(CKLVUSBUtilities::SearchVIDFilter(kModem));
    EXPECT_FALSE(CKLVUSBUtilities::SearchVIDFilter(""));

    folder.WriteIni("[VID_FILTER]\nVID_0=vid_6b4d\n[PID_FILTER]\npid_abcd=mi_00\n[MTK_SMART_PID_FILTER]\nPID_LIST=1111 abcd\n");
    const std::string mi00 = "\\\\?\\usb#vid_6b4d&pid_abcd&mi_00#x#{g}";
    EXPECT_TRUE(CKLVUSBUtilities::SearchPIDFilter(mi00));
    EXPECT_FALSE(CKLVUSBUtilities::SearchPIDFilter(kModem));
    EXPECT_EQ(folder.CountLines("SearchPIDFilter - Can't find key[mi_00] from [" + kModem + "]"), 1);
    EXPECT_TRUE(CKLVUSBUtilities::SearchPIDFilter("\\\\?\\usb#vid_6b4d&pid_9999&mi_05#x#{g}"));  // no key: all
    EXPECT_FALSE(CKLVUSBUtilities::SearchPIDFilter(""));
    EXPECT_EQ(folder.CountLines("CKLVUSBUtilities::SearchPIDFilter - Empty SymbolicName"), 1);

    EXPECT_TRUE(CKLVUSBUtilities::SearchMTKSmartPIDFilter(mi00));
    EXPECT_FALSE(CKLVUSBUtilities::SearchMTKSmartPIDFilter("\\\\?\\usb#vid_6b4d&pid_2222#x#{g}"));
    EXPECT_TRUE(CKLVUSBUtilities::SearchMTKSmartPIDFilter("\\\\?\\usb#vid_1234&pid_2222#x#{g}"));  // other vendor
    EXPECT_FALSE(CKLVUSBUtilities::SearchMTKSmartPIDFilter("\\\\?\\usb#vid_6b4d&pid"));  // no four digits

    EXPECT_EQ(CKLVUSBUtilities::IsDeviceSupported(mi00), kUsbOk);
    for (std::string name : {kModem, std::string("\\\\?\\usb#vid_6b4d&pid_2222#x#{g}"),
                             std::string("\\\\?\\usb#vid_7777&pid_2222#x#{g}"), std::string("x")})
        EXPECT_EQ(CKLVUSBUtilities::IsDeviceSupported(name), kUsbInvalid) << name;
    std::string log = folder.ReadLogs();
    EXPECT_NE(log.find("[------] SearchPIDFilter unsupported[" + kModem + "]"), std::string::npos);
    EXPECT_NE(log.find("SearchMTKSmartPIDFilter unsupported[\\\\?\\usb#vid_6b4d&pid_2222#x#{g}]"), std::string::npos);
    EXPECT_NE(log.find("SearchVIDFilter unsupported[\\\\?\\usb#vid_7777&pid_2222#x#{g}]"), std::string::npos);

    folder.WriteIni("[COMPOSITEDEVICE_FILTER]\npid_abcd=1\npid_0002=0\n");
    EXPECT_TRUE(CKLVUSBUtilities::IsCompositeDevice(kModem));
    EXPECT_FALSE(CKLVUSBUtilities::IsCompositeDevice("\\\\?\\usb#vid_6b4d&pid_0002#x#{g}"));
    EXPECT_FALSE(CKLVUSBUtilities::IsCompositeDevice("\\\\?\\usb#vid_6b4d&pid_0003#x#{g}"));
    EXPECT_EQ(folder.CountLines("CKLVUSBUtilities::IsCompositeDevice - Composite Device[" + kModem + "]"), 1);
    // No product id and no such device node to ask.
    EXPECT_FALSE(CKLVUSBUtilities::IsCompositeDevice("\\\\?\\usb#vid_0000&nothing#99-99#{g}"));
    EXPECT_EQ(folder.CountLines("IsCompositeDevice - Get PID failed[\\\\?\\usb#vid_0000&nothing#99-99#{g}]"), 1);
}

TEST(BackendNames, KernelNamesIdsAndOrder) {
    auto parsed = [](const char* text) {
        pf::lx::UsbName n;
        EXPECT_TRUE(pf::lx::ParseUsbName(text, &n)) << text;
        return n;
    };
    pf::lx::UsbName n = parsed("3-1.4:1.2");
    EXPECT_TRUE(n.bus == 3 && n.ports == (std::vector<int>{1, 4}) && n.interface == 2);
    n = parsed("2-0:1.0");
    EXPECT_TRUE(n.root_hub && n.IsInterface());
    for (const char* bad : {"", "usb", "usbx", "1", "1-", "1-0", "1-2.", "1-2.0", "1-2:1", "1-2:1.", "1-2:1.0x",
                            "1-1.1.1.1.1.1.1.1", "12345-1", "1-1234", "0000:00:14.0", "tty", "1-2 "})
        EXPECT_FALSE(pf::lx::ParseUsbName(bad, &n)) << bad;

    const auto hub = parsed("1-3"), child = parsed("1-3.10"), other = parsed("1-3.9"), iface = parsed("1-3:1.0");
    EXPECT_TRUE(pf::lx::IsChildDevice(hub, child));
    EXPECT_FALSE(pf::lx::IsChildDevice(child, hub));
    EXPECT_TRUE(pf::lx::IsInterfaceOf(hub, iface));
    EXPECT_TRUE(pf::lx::UsbNameLess(other, child));  // ports compare as numbers
    EXPECT_TRUE(pf::lx::UsbNameLess(hub, other));    // a hub before its ports
    EXPECT_EQ(pf::lx::PortOnHub(child), 10);

    EXPECT_EQ(pf::lx::InterfaceInstanceId(0x6B4D, 0xABCD, 10, "1-3:1.10"), "usb\\vid_6b4d&pid_abcd&mi_0a\\1-3:1.10");
    pf::lx::InstanceIdParts parts;
    EXPECT_TRUE(pf::lx::SplitInstanceId("USB\\VID_1&PID_2\\1-3", &parts) && parts.enumerator == "usb");
    EXPECT_FALSE(pf::lx::SplitInstanceId("usb\\1-3", &parts));
    EXPECT_FALSE(pf::lx::SplitInstanceId("\\a\\b", &parts));
    std::string name = pf::lx::SymbolicNameFromInstanceId("usb\\vid_1&pid_2\\1-3", "f18a0e88-c30c-11d0-8815-00a0c906bed8");
    EXPECT_EQ(name, "\\\\?\\usb#vid_1&pid_2#1-3#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    std::string id, cls;
    EXPECT_FALSE(pf::lx::ParseSymbolicName("usb#1-3#{x}", &id, &cls));
    EXPECT_FALSE(pf::lx::ParseSymbolicName("\\\\?\\usb#1-3#{x", &id, &cls));

    std::uint32_t v = 0;
    EXPECT_TRUE(pf::lx::ParseHexAttribute("6b4d\n", 0xFFFF, &v) && v == 0x6b4d) << v;
    EXPECT_FALSE(pf::lx::ParseHexAttribute("10000", 0xFFFF, &v));
    EXPECT_FALSE(pf::lx::ParseHexAttribute("zz", 0xFFFF, &v));
    EXPECT_TRUE(pf::lx::ParseDecimalAttribute(" 7", 255, &v));
    EXPECT_FALSE(pf::lx::ParseDecimalAttribute("256", 255, &v));
}

TEST(HubDescriptors, ImagesAndStrings) {
    // Device descriptor, then two configurations of 9 + 9 and 9 bytes.
    std::vector<std::uint8_t> image = {18, 1, 0, 2, 0, 0, 0, 64, 0x4d, 0x6b, 1, 0x20, 0, 1, 1, 2, 3, 2};
    std::vector<std::uint8_t> c0 = {9, 2, 18, 0, 1, 1, 4, 0x80, 50, 9, 4, 0, 0, 0, 0xff, 0, 0, 7};
    std::vector<std::uint8_t> c1 = {9, 2, 9, 0, 0, 2, 6, 0x80, 50};
    image.insert(image.end(), c0.begin(), c0.end());
    image.insert(image.end(), c1.begin(), c1.end());
    std::size_t offset = 0, length = 0;
    ASSERT_TRUE(pf::lx::FindConfiguration(image, 1, &offset, &length));
    EXPECT_TRUE(offset == 36 && length == 9) << offset << " " << length;
    EXPECT_FALSE(pf::lx::FindConfiguration(image, 2, &offset, &length));
    // (Which string indexes an image holds is read through the rig's
    // configuration and interface strings.)
    // A configuration longer than the image is answered cut; one shorter
    // than its own header, or a device descriptor of bLength 0, is not.
    std::vector<std::uint8_t> cut(image.begin(), image.begin() + 30);
    ASSERT_TRUE(pf::lx::FindConfiguration(cut, 0, &offset, &length));
    EXPECT_EQ(length, 12u);
    auto with = [&image](std::size_t at, std::uint8_t value) { auto copy = image; copy[at] = value; return copy; };
    EXPECT_FALSE(pf::lx::FindConfiguration(with(20, 3), 0, &offset, &length));
    EXPECT_FALSE(pf::lx::FindConfiguration(with(0, 0), 0, &offset, &length));

    EXPECT_EQ(pf::lx::EncodeStringDescriptor("Ab"), (std::vector<std::uint8_t>{6, 3, 'A', 0, 'b', 0}));
    EXPECT_EQ(pf::lx::EncodeStringDescriptor("\xc3\xa9"), (std::vector<std::uint8_t>{4, 3, 0xe9, 0}));
    EXPECT_EQ(pf::lx::EncodeStringDescriptor("\xf0\x9f\x93\xb1"), (std::vector<std::uint8_t>{6, 3, 0x3d, 0xd8, 0xf1, 0xdc}));
    EXPECT_EQ(pf::lx::EncodeStringDescriptor("\xff"), (std::vector<std::uint8_t>{4, 3, 0xfd, 0xff}));
    EXPECT_EQ(pf::lx::EncodeStringDescriptor("\xc3"), (std::vector<std::uint8_t>{4, 3, 0xfd, 0xff}));
    EXPECT_EQ(pf::lx::EncodeStringDescriptor(std::string(200, 'x')).size(), 254u);

    // Back to the code page: up to the first zero unit, at most 254 bytes.
    std::string text;
    const std::uint8_t hello[] = {'h', 0, 'i', 0, 0, 0, 'x', 0};
    EXPECT_TRUE(StringFromDescriptorText(hello, sizeof hello, &text) && text == "hi") << text;
    std::vector<std::uint8_t> wide;
    for (int i = 0; i < 127; ++i) wide.insert(wide.end(), {0xe9, 0x00});  // 127 x U+00E9: 254 bytes in UTF-8
    EXPECT_TRUE(StringFromDescriptorText(wide.data(), wide.size(), &text));
    wide.insert(wide.end(), {'a', 0});
    EXPECT_FALSE(StringFromDescriptorText(wide.data(), wide.size(), &text));
    const char16_t lone[] = {0xd800, u'a'};
    EXPECT_TRUE(pf::WideToSystemCodePage(lone, 2, 10, &text) && text == "?a") << text;
}

}  // namespace
}  // namespace eklv
