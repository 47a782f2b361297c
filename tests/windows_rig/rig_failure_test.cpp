// Bad input and failures on the Wine rig: hub requests that fail, a
// broadcast for a path the tree does not know, a COM port without PortName,
// phones pulled during an open and a write. Each call answers what the
// library promises, no other phone's announcement is lost, and nothing
// leaks.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "windows_rig/rig_station.h"
#include "windows_rig/standard_tree.h"

namespace eklv::test {
namespace {

using namespace std::chrono_literals;

DWORD ProcessHandles() {
    DWORD n = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &n);
    return n;
}

// After a stop, the station holds nothing of the library's any more.
void ExpectReleased(RigStation& station, DWORD handles_before) {
    EXPECT_EQ(station.Stop(), 0u);
    EXPECT_EQ(station.tree.Registrations(), 0);
    EXPECT_EQ(station.tree.OpenHubHandles(), 0);
    EXPECT_EQ(station.tree.FailedCloses(), 0);
    EXPECT_EQ(station.tree.AbandonedHubRequests(), 0);
    DWORD after = 0;
    EXPECT_TRUE(Eventually([&] { return (after = ProcessHandles()) <= handles_before; }))
        << after << " handles, " << handles_before << " before EKLVInitialize";
}

// A hub whose requests fail keeps the phone plugged below it from a TID
// (it is not announced) and holds up no other phone; a broadcast for a name
// the tree does not know is dropped; once the hub answers again, the phone
// below it arrives.
TEST(RigFailures, FailingHubAndUnknownNames) {
    RigStation station;
    StandardTree t(station.tree);
    auto below = station.tree.AddCompositePhone(t.hub, 1, kPhoneVendor, kCompositeProduct, CompositeFunctions("COM13"));
    auto elsewhere = station.tree.AddSinglePhone(t.root2, 2, kPhoneVendor, kSingleProduct, SingleFunction("COM14"));
    station.tree.Unplug(below);
    station.tree.Unplug(elsewhere);
    const DWORD handles = ProcessHandles();
    auto [data, uart] = Started(station);
    ASSERT_NE(data, EKLV_NO_DEVICE);

    station.tree.FailHubRequests(t.hub, true);
    station.PlugIn(below);
    station.tree.BroadcastUnknown("\\\\?\\USB#VID_6B4D&PID_2001&MI_00#9&DEADBEEF&0&0000#" +
                                      std::string(kRigClassComPort),
                                  true);
    station.PlugIn(elsewhere);
    EXPECT_EQ(station.Nth(3), (HostMessage{true, station.IdOf(INF_UART, 3), INF_UART}));
    EXPECT_EQ(station.ComPort(station.IdOf(INF_UART, 3), INF_UART), "COM14");
    EXPECT_GE(CountOf(station.Log(), "IOCTL_USB_GET_NODE_INFORMATION, Error = 31"), 1);

    station.tree.FailHubRequests(t.hub, false);
    station.Pull(below);
    station.PlugIn(below);
    const HostMessage arrival = station.Nth(4);
    EXPECT_TRUE(arrival.arrival && arrival.type == INF_DATA);
    EXPECT_EQ(station.ComPort(arrival.device_id, INF_DATA), "COM13");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(station.host.Messages().size(), 4u);
    ExpectReleased(station, handles);
}

// A serial function whose device key has no PortName: its COM port cannot
// be named and it cannot be opened (an open asks for the port first); the
// other phone's port answers.
TEST(RigFailures, ComPortWithoutPortName) {
    RigStation station;
    StandardTree t(station.tree);
    station.tree.RemovePortName(t.single, 0);
    const DWORD handles = ProcessHandles();
    auto [data, uart] = Started(station);
    EXPECT_EQ(station.ComPort(uart, INF_UART), "result 1");
    EKLV_HANDLE h = 0;
    EXPECT_EQ(station.lib.OpenDevice(uart, INF_UART, &h, 1), 7u);
    EXPECT_EQ(station.lib.OpenDevice(uart, INF_UART, &h, 0), 7u);
    EXPECT_EQ(station.ComPort(data, INF_DATA), "COM11");
    EXPECT_EQ(station.lib.OpenDevice(data, INF_DATA, &h, 1), 0u);
    EXPECT_NE(Transact(station.lib, data, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_EQ(station.lib.CloseDevice(data, INF_DATA), 0u);
    ExpectReleased(station, handles);
}

// Phones pulled at several moments after an open began, and inside a write
// the phone never takes in: each call answers a failure the library
// promises for a phone that went, every removal comes once, the phone
// comes back under its id, and nothing leaks.
TEST(RigFailures, PhonesPulledDuringOpenAndWrite) {
    RigStation station;
    StandardTree t(station.tree);
    const DWORD handles = ProcessHandles();
    auto [data, uart] = Started(station);
    std::size_t seen = 2;
    for (int delay_ms : {0, 2, 5, 10, 20, 40}) {
        SCOPED_TRACE(delay_ms);
        for (int synchronous : {1, 0}) {
            auto open = std::async(std::launch::async, [&] {
                EKLV_HANDLE h = 0;
                return station.lib.OpenDevice(uart, INF_UART, &h, synchronous);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            station.Pull(t.single);
            ASSERT_EQ(open.wait_for(10s), std::future_status::ready);
            const std::uint32_t code = open.get();
            EXPECT_TRUE(code == 0u || code == 3u || code == 7u) << code;
            EXPECT_EQ(station.Nth(++seen), (HostMessage{false, uart, INF_UART}));
            station.lib.CloseDevice(uart, INF_UART);
            station.PlugIn(t.single);
            EXPECT_EQ(station.Nth(++seen), (HostMessage{true, uart, INF_UART}));
        }
    }

    // A write of 1 MiB that the phone does not take in, both ways.
    const std::string bulk(1 << 20, 'x');
    for (int synchronous : {1, 0}) {
        SCOPED_TRACE(synchronous);
        EKLV_HANDLE h = 0;
        ASSERT_EQ(station.lib.OpenDevice(data, INF_DATA, &h, synchronous), 0u);
        ASSERT_TRUE(station.modems.Pause("COM11", true));
        auto write = std::async(std::launch::async, [&] { return station.lib.WriteData(data, h, bulk.data(), 1u << 20); });
        ASSERT_EQ(write.wait_for(500ms), std::future_status::timeout);
        station.Pull(t.phone);
        ASSERT_EQ(write.wait_for(30s), std::future_status::ready);
        // Failed; or, for a blocking write, Wine's answer for the bytes the
        // pty took before it hung up.
        const std::uint32_t code = write.get();
        EXPECT_TRUE(code == 4u || (synchronous && code == 0u)) << code;
        EXPECT_EQ(station.Nth(++seen), (HostMessage{false, data, INF_DATA}));
        station.lib.CloseDevice(data, INF_DATA);
        station.PlugIn(t.phone);
        EXPECT_EQ(station.Nth(++seen), (HostMessage{true, data, INF_DATA}));
    }
    EXPECT_EQ(station.ComPort(uart, INF_UART), "COM12");
    ExpectReleased(station, handles);
}

}  // namespace
}  // namespace eklv::test
