// The standard phones (support/standard_phones.h) on the Wine rig's tree,
// as the Linux rigs build them (tests/discovery/standard_rig.h).
#pragma once

#include <string>
#include <utility>

#include "support/standard_phones.h"
#include "windows_rig/rig_station.h"
#include "windows_rig/usb_tree.h"

namespace eklv::test {

// The standard phones (support/standard_phones.h) on a tree of the given
// hub service: a composite phone behind two external hubs of root hub 1, a
// single-function phone on root hub 2, each root hub on a host controller
// of its own (as each xHCI controller has one on Windows).
struct StandardTree {
    explicit StandardTree(UsbTree& tree, const std::string& service = "USBHUB3") {
        pci = tree.AddPciController();
        pci2 = tree.AddPciController();
        root1 = tree.AddRootHub(pci, 4, service);
        root2 = tree.AddRootHub(pci2, 4, service);
        hub = tree.AddHub(root1, 3, 4, service);
        inner_hub = tree.AddHub(hub, 4, 4, service);
        phone = tree.AddCompositePhone(inner_hub, 2, kPhoneVendor, kCompositeProduct, CompositeFunctions("COM11"));
        single = tree.AddSinglePhone(root2, 1, kPhoneVendor, kSingleProduct, SingleFunction("COM12"));
    }
    UsbTree::NodeId pci, pci2, root1, root2, hub, inner_hub, phone, single;
};

// Both standard phones announced by a start after seen earlier messages;
// answers their ids (data, uart).
inline std::pair<std::uint32_t, std::uint32_t> Started(RigStation& station, std::size_t seen = 0) {
    EXPECT_EQ(station.Start(), 0u);
    auto messages = station.host.WaitFor(seen + 2);
    EXPECT_EQ(messages.size(), seen + 2);
    std::pair<std::uint32_t, std::uint32_t> ids{EKLV_NO_DEVICE, EKLV_NO_DEVICE};
    for (std::size_t i = seen; i < messages.size(); ++i)
        (messages[i].type == INF_UART ? ids.second : ids.first) = messages[i].device_id;
    return ids;
}

}  // namespace eklv::test
