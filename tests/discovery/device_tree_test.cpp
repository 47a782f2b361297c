// The device tree on the umockdev rig: node walks, properties, present
// interfaces, COM ports, and the tree queries of CKLVUSBUtilities.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "discovery/device_enumeration.h"
#include "discovery/name_rules.h"
#include "discovery/standard_rig.h"
#include "discovery/usb_utilities.h"
#include "platform/devtree.h"
#include "platform/linux/usb_place.h"

namespace eklv {
namespace {

using test::DiscoveryFolder;
using test::kRigClassModem;
using test::kRigClassUsbDevice;
using test::StandardRig;

const pf::Guid kComPort = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
const pf::Guid kModem = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};
const pf::Guid kUsbDevice = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

std::string Id(pf::DevInst node) {
    char buffer[512] = {};
    if (pf::CM_Get_Device_IDA(node, buffer, sizeof buffer, 0) != pf::kCrSuccess) return "<none>";
    return buffer;
}

std::string Property(pf::DevInst node, std::uint32_t property) {
    char buffer[256] = {};
    std::uint32_t size = sizeof buffer;
    std::uint32_t cr = pf::CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &size, 0);
    return cr == pf::kCrSuccess ? buffer : "<cr " + std::to_string(cr) + ">";
}

pf::DevInst Locate(const std::string& id) {
    pf::DevInst node = 0;
    EXPECT_EQ(pf::CM_Locate_DevNodeA(&node, id.c_str(), 0), pf::kCrSuccess) << id;
    return node;
}

// The parent ('p'), first child ('c') or next sibling ('s') of a node.
std::string Relative(pf::DevInst node, char relation) {
    pf::DevInst other = 0;
    std::uint32_t cr = relation == 'p'   ? pf::CM_Get_Parent(&other, node, 0)
                       : relation == 'c' ? pf::CM_Get_Child(&other, node, 0)
                                         : pf::CM_Get_Sibling(&other, node, 0);
    return cr == pf::kCrSuccess ? Id(other) : "<none>";
}

TEST(DeviceTree, WalksTheRigAsAWindowsTree) {
    StandardRig s;
    EXPECT_EQ(Id(Locate("")), "htree\\root\\0");
    // A composite device is a parent with one child per interface. (The
    // walks up and the pre-order walk of UsbQueries below take the rest.)
    const char* mi1 = "usb\\vid_6b4d&pid_2001&mi_01\\1-3.4.2:1.1";
    const std::vector<std::vector<std::string>> walks = {
        {"", "p", "<none>"},
        {"", "c", "pci\\0000:00:14.0"},
        {"usb\\vid_1d6b&pid_0002\\usb1", "s", "usb\\vid_1d6b&pid_0002\\usb2"},
        {"usb\\vid_1d6b&pid_0002\\usb2", "s", "<none>"},
        {"usb\\vid_1d6b&pid_0002\\usb1", "c", "usb\\vid_1a40&pid_0101\\1-3"},
        {mi1, "s", "usb\\vid_6b4d&pid_2001&mi_02\\1-3.4.2:1.2"},
        {mi1, "c", "<none>"},
    };
    for (const auto& w : walks) EXPECT_EQ(Relative(Locate(w[0]), w[1][0]), w[2]) << w[0] << " " << w[1];
    pf::DevInst phone = Locate(s.rig.InstanceId(s.phone));

    // A single-function device is one node; its interface is no node.
    EXPECT_EQ(Relative(Locate("usb\\vid_6b4d&pid_2002\\2-1"), 'c'), "<none>");
    pf::DevInst missing = 0;
    EXPECT_EQ(pf::CM_Locate_DevNodeA(&missing, "usb\\vid_6b4d&pid_2002&mi_00\\2-1:1.0", 0), pf::kCrNoSuchDevNode);
    // Ids compare without case; a kernel name with another vendor does not match.
    EXPECT_EQ(pf::CM_Locate_DevNodeA(&missing, "USB\\VID_6B4D&PID_2002\\2-1", 0), pf::kCrSuccess);
    EXPECT_EQ(pf::CM_Locate_DevNodeA(&missing, "usb\\vid_1234&pid_2002\\2-1", 0), pf::kCrNoSuchDevNode);
    EXPECT_EQ(pf::CM_Locate_DevNodeA(&missing, "no backslash", 0), pf::kCrInvalidDeviceId);

    // Services (the bound driver's name) and descriptions.
    pf::DevInst mi0 = Locate("usb\\vid_6b4d&pid_2001&mi_00\\1-3.4.2:1.0");
    EXPECT_EQ(Property(phone, pf::kCmDrpService), "usbccgp");
    EXPECT_EQ(Property(mi0, pf::kCmDrpService), "cdc_acm");
    EXPECT_EQ(Property(Locate(mi1), pf::kCmDrpService), "<cr 37>");  // no driver bound
    EXPECT_EQ(Property(mi0, pf::kCmDrpDeviceDesc), "MTK USB Modem Port");

    // Two-step reads: size first, then a buffer that is one short.
    std::uint32_t size = 0;
    EXPECT_EQ(pf::CM_Get_DevNode_Registry_PropertyA(phone, pf::kCmDrpService, nullptr, nullptr, &size, 0),
              pf::kCrBufferSmall);
    EXPECT_EQ(size, 8u);
    char small[8];
    EXPECT_EQ(pf::CM_Get_DevNode_Registry_PropertyA(phone, pf::kCmDrpService, nullptr, small, &(size = 7), 0),
              pf::kCrBufferSmall);
    char id[10];
    EXPECT_EQ(pf::CM_Get_Device_IDA(phone, id, sizeof id, 0), pf::kCrBufferSmall);
    EXPECT_EQ(std::string(id), "usb\\vid_6");

    // A node that goes away answers "no such node" from then on.
    pf::DevInst mi1_node = Locate(mi1);
    s.rig.Unplug(s.phone);
    EXPECT_EQ(Id(phone), "<none>");
    EXPECT_EQ(Relative(mi1_node, 'p'), "<none>");
    EXPECT_EQ(Relative(Locate("usb\\vid_05e3&pid_0608\\1-3.4"), 'c'), "<none>");
    s.rig.Plug(s.phone);
    EXPECT_EQ(Id(phone), s.rig.InstanceId(s.phone));
}

// Present interfaces through the scan's enumeration (every class, phones
// unfiltered; the hubs are the device-id tests' TID map), and by device
// instance.
TEST(DeviceTree, PresentInterfacesOfEachClass) {
    StandardRig s;
    DiscoveryFolder folder(test::kStandardIni);
    auto Names = [](const pf::Guid& interface_class) { return EnumDeviceInterfaces(interface_class, false); };
    std::vector<std::string> serial = {s.ModemName(), s.SingleName()};
    EXPECT_EQ(Names(kComPort), serial);
    EXPECT_EQ(Names(kModem), (std::vector<std::string>{s.rig.InterfaceName(s.phone, 0, kRigClassModem),
                                                        s.rig.DeviceName(s.single, kRigClassModem)}));
    std::vector<std::string> devices = Names(kUsbDevice);
    EXPECT_EQ(devices.size(), 6u);
    EXPECT_EQ(devices[3], s.rig.DeviceName(s.phone, kRigClassUsbDevice));

    // The scan's enumeration applies the phone filters when asked.
    EXPECT_EQ(EnumDeviceInterfaces(kComPort, true), serial);
    folder.WriteIni("[VID_FILTER]\nVID_0=vid_1234\n");
    EXPECT_TRUE(EnumDeviceInterfaces(kComPort, true).empty());
    EXPECT_EQ(folder.CountLines("SearchVIDFilter unsupported[" + s.ModemName() + "]"), 1);

    EXPECT_EQ(CKLVUSBUtilities::IsInterfaceTypePresent(s.rig.InstanceId(s.hub), &kGuidUsbHubInterface), kUsbOk);
    EXPECT_EQ(CKLVUSBUtilities::IsInterfaceTypePresent(s.rig.InstanceId(s.phone), &kGuidUsbHubInterface),
              kUsbQueryFailed);
    EXPECT_EQ(CKLVUSBUtilities::IsInterfaceTypePresent("", &kGuidUsbHubInterface), kUsbInvalid);
    EXPECT_EQ(folder.CountLines("IsInterfaceTypePresent : Invalid Parameter passed"), 1);
    EXPECT_EQ(folder.CountLines("SetupDiGetClassdevs failed"), 0);  // "no more items" is not logged
}

TEST(DeviceTree, PortNamesAndInterfaceProperties) {
    StandardRig s;
    DiscoveryFolder folder(test::kStandardIni);
    std::string port = "kept";
    EXPECT_FALSE(CKLVUSBUtilities::GetCOMFromDeviceInstanceID("usb\\vid_6b4d&pid_2001&mi_01\\1-3.4.2:1.1", &port));
    EXPECT_EQ(port, "kept");
    EXPECT_FALSE(CKLVUSBUtilities::GetCOMFromDeviceInstanceID("usb\\vid_6b4d&pid_2001\\7-7", &port));
    EXPECT_EQ(folder.CountLines("GetCOMFromDeviceInstanceID failed[LastError=2][usb\\vid_6b4d&pid_2001&mi_01"), 1);
    EXPECT_EQ(folder.CountLines("GetCOMFromDeviceInstanceID failed[LastError=-536870389][usb\\vid_6b4d&pid_2001\\7-7]"),
              1);

    std::uint8_t* value = nullptr;
    std::uint32_t size = 0, type = 0;
    ASSERT_EQ(CKLVUSBUtilities::GetCustomInterfaceProperty(s.ModemName(), "PortName", &value, &size, &type, 3), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(value), size), std::string("ttyACM0", 8));
    delete[] std::exchange(value, nullptr);
    EXPECT_EQ(CKLVUSBUtilities::GetCustomInterfaceProperty(s.ModemName(), "FriendlyName", &value, &size, &type, 3), 1u);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(CKLVUSBUtilities::GetCustomInterfaceProperty(s.MtpName(), "PortName", &value, &size, &type, 1000), 1u);
    EXPECT_EQ(folder.CountLines("[DID 3] CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to read or read an "
                                "invalid length- regkey(FriendlyName) length(0) for symbolic name(" +
                                s.ModemName() + "), Error(2)"),
              1);
    // Device ids above 999 are logged as no device.
    EXPECT_EQ(folder.CountLines("[------] CKLVUSBUtilities::GetCustomInterfaceProperty: Failed to open device "
                                "interface for symbolic name(" + s.MtpName()),
              1);
}

// The tree queries of CKLVUSBUtilities; each answers its text, or
// "<r N>" with the result code N (or "<false>") when it fails.
class UsbQueries : public ::testing::Test {
protected:
    static std::string Answer(std::uint32_t r, const std::string& text) {
        return r == kUsbOk ? text : "<r " + std::to_string(r) + ">";
    }
    static std::string Find(const DeviceSearchCriteria& criteria) {
        std::string id;
        return Answer(CKLVUSBUtilities::FindDeviceInstance(criteria, &id), id);
    }
    static std::string ParentHub(const std::string& name) {
        std::string hub = "kept";
        std::uint32_t r = CKLVUSBUtilities::GetParentHubSymbolicName(name, &hub);
        return r == kUsbOk ? hub : Answer(r, "") + hub;
    }
    static std::string SerialFunction(const std::string& name) {
        std::string id = "kept";
        return CKLVUSBUtilities::GetDeviceInstanceIDFromSymlic(name, &id) ? id : "<false>" + id;
    }
    StandardRig s;
    DiscoveryFolder folder{test::kStandardIni};
};

TEST_F(UsbQueries, WalksUpToTheNodeBelowTheHub) {
    DeviceSearchCriteria criteria;
    criteria.SymbolicName = s.ModemName();
    criteria.ServiceText = "hub";
    criteria.InterfaceClass = &kGuidUsbHubInterface;
    EXPECT_EQ(Find(criteria), s.rig.InstanceId(s.phone));
    // Counting steps only: two parents up from the modem function.
    criteria.MatchService = 0;
    criteria.MaxSteps = 2;
    EXPECT_EQ(Find(criteria), s.rig.InstanceId(s.inner_hub));
    // Sibling walk to the interface whose driver is cdc_acm: none after mi_00.
    criteria.MatchService = 1;
    criteria.MaxSteps = 0xFFFFFFFFu;
    criteria.Direction = 1;
    criteria.ServiceText = "cdc_acm";
    criteria.InterfaceClass = nullptr;
    EXPECT_EQ(Find(criteria), "<r 1>");

    // (A phone's parent hub makes its TID: the device-id tests.)
    EXPECT_EQ(ParentHub(s.rig.HubName(s.hub)), s.rig.HubName(s.root1));

    // No product id in the name: the node below the hub is asked; a
    // controller has none.
    std::string pid;
    EXPECT_EQ(CKLVUSBUtilities::GetPIDFromSymbolicName("\\\\?\\pci#0000:00:14.0#{0}", &pid), kUsbQueryFailed);
    EXPECT_EQ(folder.CountLines("GetPIDFromSymbolicName: Unable to get parent instance ID. (\\\\?\\pci#0000:00:14.0#{0})"),
              1);
}

TEST_F(UsbQueries, SerialFunctionSearchIsAPreOrderWalkWithinThePhone) {
    // From the modem itself, and from its composite parent.
    EXPECT_EQ(SerialFunction(s.ModemName()), "usb\\vid_6b4d&pid_2001&mi_00\\1-3.4.2:1.0");
    EXPECT_EQ(SerialFunction(s.rig.DeviceName(s.phone, kRigClassUsbDevice)), "usb\\vid_6b4d&pid_2001&mi_00\\1-3.4.2:1.0");
    // From mi_01 the modem before it is passed over, and the walk never
    // leaves the phone: the single phone on usb2 is not its serial port.
    EXPECT_EQ(SerialFunction(s.MtpName()), "<false>kept");
    // Descriptions compare without case; Windows' own CDC driver's counts.
    s.rig.SetInterfaceAttribute(s.single, 0, "interface", "gadget cdc VCOM port");
    EXPECT_EQ(SerialFunction(s.SingleName()), s.rig.InstanceId(s.single));
    s.rig.SetInterfaceAttribute(s.phone, 0, "interface", "USB Serial Device");
    EXPECT_EQ(SerialFunction(s.rig.DeviceName(s.phone, kRigClassUsbDevice)), "usb\\vid_6b4d&pid_2001&mi_00\\1-3.4.2:1.0");
    s.rig.SetInterfaceAttribute(s.phone, 0, "interface", "Modem");
    EXPECT_EQ(SerialFunction(s.ModemName()), "<false>kept");
    EXPECT_EQ(folder.CountLines("GetDeviceInstanceIDFromSymlic failed[LastError="), 2);
}

TEST_F(UsbQueries, DeviceThatVanishes) {
    EXPECT_EQ(CKLVUSBUtilities::FindIfDeviceExists(s.ModemName()), kUsbOk);
    s.rig.Unplug(s.phone);
    EXPECT_EQ(CKLVUSBUtilities::FindIfDeviceExists(s.ModemName()), kUsbNotPresent);
    EXPECT_EQ(folder.CountLines("CKLVUSBUtilities::FindIfDeviceExists: Failed to locate given device node. Error: 13"), 1);
    EXPECT_EQ(ParentHub(s.ModemName()), "<r 1>");  // and the name emptied
    EXPECT_EQ(CKLVUSBUtilities::FindIfDeviceExists("\\\\?\\usb#1-3#{x}"), kUsbInvalid);
    EXPECT_EQ(folder.CountLines("Invalid symbolic - (\\\\?\\usb#1-3#{x})"), 1);
    EXPECT_EQ(folder.CountLines("FindIfDeviceExists: Failed to get device instance id from- \\\\?\\usb#1-3#{x}"), 1);
}

// The backend's one-question place of a node answers as the core's walk up
// the tree and scan of the hub's ports do: the same hubs and ports, and the
// same failures with the same log lines.
TEST_F(UsbQueries, OneQuestionPlaceAnswersAsTheWalk) {
    pf::UsbPlace place;
    ASSERT_TRUE(pf::UsbPlaceOf(s.rig.InterfaceInstanceId(s.phone, 1).c_str(), &place));
    EXPECT_EQ(place.hub_instance_id + " " + place.device_instance_id + " " + std::to_string(place.port),
              s.rig.InstanceId(s.inner_hub) + " " + s.rig.InstanceId(s.phone) + " 2");

    // Parent hub, the port on it and on the outer hub (wrong for all but
    // the inner hub), and the log lines of the three, without their times.
    auto ask = [&](const std::string& name, bool one_question) {
        pf::lx::SetUsbPlaceAnswers(one_question);
        const std::size_t mark = folder.ReadLogs().size();
        std::string hub = ParentHub(name), answers = hub;
        for (const std::string& on : {hub, s.rig.HubName(s.hub)}) {
            int port = 0;
            answers += " | " + Answer(CKLVUSBUtilities::GetDeviceConnectionIndex(name, LowerCopy(on), &port, true),
                                      std::to_string(port));
        }
        pf::lx::SetUsbPlaceAnswers(true);
        static const std::regex kTimeAndThread(R"(^\S+\s+\[TID \d+\] )", std::regex::multiline);
        return answers + "\n" + std::regex_replace(folder.ReadLogs().substr(mark), kTimeAndThread, "");
    };
    auto compare = [&](const std::string& name) { EXPECT_EQ(ask(name, true), ask(name, false)) << name; };
    ask(s.ModemName(), true);  // the logger's first line comes once
    for (const std::string& name : {s.ModemName(), s.MtpName(), s.SingleName(), s.rig.DeviceName(s.phone, kRigClassUsbDevice),
                                    s.rig.HubName(s.hub), s.rig.HubName(s.inner_hub),
                                    s.rig.HubName(s.root1),  // no hub above a root hub
                                    std::string("\\\\?\\usb#vid_6b4d&pid_2001#9-9#{x}")})  // no such device
        compare(name);
    // A port past the hub's count, a hub that does not tell its count, a
    // device gone.
    s.rig.SetAttribute(s.inner_hub, "maxchild", "1");
    compare(s.ModemName());
    s.rig.RemoveAttribute(s.inner_hub, "maxchild");
    compare(s.ModemName());
    s.rig.Unplug(s.phone);
    compare(s.ModemName());
}

}  // namespace
}  // namespace eklv
