// Hubs and their requests on the Wine rig: requests that pend, fail, or
// fail for one port, as Windows hub drivers answer them.
#include <gtest/gtest.h>

#include "windows_rig/rig_station.h"
#include "windows_rig/standard_tree.h"

namespace eklv::test {
namespace {

// Hub requests on handles opened overlapped (the interface descriptor of an
// arrival) answer ERROR_IO_PENDING and complete later, as a hub driver may:
// the request is waited for and its descriptor used; one that fails after
// pending is logged; one that takes longer than the library waits is
// cancelled and waited for. Nothing is left pending, every phone arrives.
TEST(RigHubs, PendingHubRequestsAreWaitedFor) {
    struct Case {
        int delay_ms;
        bool fail;
        const char* logged;
    };
    for (const Case& c : {Case{50, false, "GetStringDescriptor:Found index for interface = 5"},
                          Case{50, true, "IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, Error = 31"},
                          Case{2500, false, "hub request not complete after 2000 ms, cancelled"}}) {
        SCOPED_TRACE(c.logged);
        RigStation station;
        StandardTree t(station.tree);
        station.tree.SetPendingHubRequests(c.delay_ms, c.fail);
        auto [data, uart] = Started(station);
        EXPECT_NE(data, EKLV_NO_DEVICE);
        EXPECT_NE(uart, EKLV_NO_DEVICE);
        EXPECT_EQ(CountOf(station.Log(), c.logged), 2);
        EXPECT_GE(station.tree.PendingHubRequests(), 2);
        EXPECT_EQ(station.tree.AbandonedHubRequests(), 0);
        EXPECT_EQ(station.tree.OpenHubHandles(), 0);
    }
}

// A device on a hub port whose driver-key request fails (one without a
// driver yet, such as a phone in download mode before its driver is
// installed) is passed over with a warning: the phones on later ports of
// the same hub still get their TIDs and are announced, when plugged at
// start and later.
TEST(RigHubs, PortWithoutDriverHidesNoOtherPort) {
    RigStation station;
    StandardTree t(station.tree);
    auto download = station.tree.AddSinglePhone(t.hub, 1, 0x0e8d, 0x0003, RigInterface::Data("Preloader"));
    station.tree.RemoveDriver(download);
    auto later = station.tree.AddCompositePhone(t.hub, 2, kPhoneVendor, kCompositeProduct, CompositeFunctions("COM13"));
    station.tree.Unplug(later);
    ASSERT_EQ(station.Start(), 0u);
    ASSERT_EQ(station.host.WaitFor(2).size(), 2u);
    station.PlugIn(later);
    const HostMessage arrival = station.Nth(3);
    EXPECT_TRUE(arrival.arrival && arrival.type == INF_DATA);
    EXPECT_EQ(station.ComPort(arrival.device_id, INF_DATA), "COM13");
    EXPECT_NE(station.Log().find("AllocUSBDeviceID - DevId = (" + std::to_string(arrival.device_id) + "), TID = (0.3.2)"),
              std::string::npos);
    EXPECT_GE(CountOf(station.Log(), "GetDeviceConnectionIndex - port 1 skipped: "
                                     "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, Error = 1168"),
              1);
    EXPECT_EQ(CountOf(station.Log(), "Failed to match the driver key names"), 0);
}

}  // namespace
}  // namespace eklv::test
