// The road of phones through the unmodified eklv.dll on the Wine rig, as the
// Linux end-to-end suites drive it on umockdev and on the kernel's own USB
// stack: start-up scan, plug, ids by port, AT both ways, names, pull-outs,
// shutdown.
#include <gtest/gtest.h>

#include "windows_rig/rig_station.h"

namespace eklv::test {
namespace {

// The standard phones (support/standard_phones.h) on a tree of the given
// hub service: a composite phone behind two external hubs of root hub 1, a
// single-function phone on root hub 2.
struct StandardTree {
    explicit StandardTree(UsbTree& tree, const std::string& service = "USBHUB3") {
        pci = tree.AddPciController();
        root1 = tree.AddRootHub(pci, 4, service);
        root2 = tree.AddRootHub(pci, 4, service);
        hub = tree.AddHub(root1, 3, 4, service);
        inner_hub = tree.AddHub(hub, 4, 4, service);
        phone = tree.AddCompositePhone(inner_hub, 2, kPhoneVendor, kCompositeProduct, CompositeFunctions("COM11"));
        single = tree.AddSinglePhone(root2, 1, kPhoneVendor, kSingleProduct, SingleFunction("COM12"));
    }
    UsbTree::NodeId pci, root1, root2, hub, inner_hub, phone, single;
};

TEST(RigRoad, StartUpScanOnUsb2Hubs) {
    RigStation station;
    StandardTree t(station.tree, "usbhub");
    ASSERT_EQ(station.Start(), 0u);
    auto messages = station.host.WaitFor(2);
    ASSERT_EQ(messages.size(), 2u) << station.Log();
    const std::uint32_t data = station.IdOf(INF_DATA, 2), uart = station.IdOf(INF_UART, 2);
    EXPECT_NE(data, EKLV_NO_DEVICE);
    EXPECT_NE(uart, EKLV_NO_DEVICE);
    EXPECT_EQ(station.ComPort(data, INF_DATA), "COM11");
    EXPECT_EQ(station.ComPort(uart, INF_UART), "COM12");
    EXPECT_EQ(station.Product(data), "Norvanta Phone");
}

}  // namespace
}  // namespace eklv::test
