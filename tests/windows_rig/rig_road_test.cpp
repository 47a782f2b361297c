// The road of phones through the unmodified eklv.dll on the Wine rig, as the
// Linux end-to-end suites drive it on umockdev and on the kernel's own USB
// stack: start-up scan, plug, ids by port, TIDs and the hub removal rules,
// the composite filter, two phones, AT both ways, names, pull-outs,
// shutdown with everything released.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <thread>

#include "windows_rig/rig_station.h"
#include "windows_rig/standard_tree.h"

namespace eklv::test {
namespace {

using namespace std::chrono_literals;

// Every phone announced at start on USB 2 hubs and on the USB 3 hubs of
// Windows 8 and later (service USBHUB3, behind every xHCI controller), with
// and without external hubs; names and ports from the tree.
TEST(RigRoad, StartUpScanOnUsb2AndUsb3Hubs) {
    for (const char* service : {"usbhub", "USBHUB3"}) {
        SCOPED_TRACE(service);
        RigStation station;
        StandardTree t(station.tree, service);
        auto [data, uart] = Started(station);
        ASSERT_NE(data, EKLV_NO_DEVICE);
        ASSERT_NE(uart, EKLV_NO_DEVICE);
        EXPECT_NE(data, uart);
        EXPECT_EQ(station.ComPort(data, INF_DATA), "COM11");
        EXPECT_EQ(station.ComPort(uart, INF_UART), "COM12");
        EXPECT_EQ(station.Product(data), "Norvanta Phone");
        // Root TIDs in enumeration order; ports from the hubs.
        const std::string log = station.Log();
        EXPECT_NE(log.find("AllocUSBDeviceID - DevId = (" + std::to_string(data) + "), TID = (0.3.4.2)"),
                  std::string::npos);
        EXPECT_NE(log.find("AllocUSBDeviceID - DevId = (" + std::to_string(uart) + "), TID = (1.1)"),
                  std::string::npos);
    }
}

// A phone plugged while EKLVInitialize's start-up scan runs: the window has
// registered for the broadcasts before the scan lists what is present, so
// the phone is heard of; broadcast and listed both, it is announced once.
TEST(RigRoad, PhonePluggedDuringTheStartUpScanIsAnnouncedOnce) {
    RigStation station;
    StandardTree t(station.tree);
    auto late = station.tree.AddCompositePhone(t.inner_hub, 3, kPhoneVendor, kCompositeProduct,
                                               CompositeFunctions("COM13"));
    station.tree.Unplug(late);
    int registered = -1;
    station.tree.WhenListed(kRigClassComPort, [&] {
        registered = station.tree.Registrations();
        station.PlugIn(late);
    });
    ASSERT_EQ(station.Start(), 0u);
    EXPECT_EQ(registered, 2) << "registrations when the scan listed the COM ports";
    ASSERT_EQ(station.host.WaitFor(3).size(), 3u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(station.host.Messages().size(), 3u);
    EXPECT_EQ(CountOf(station.Log(), "HandleDeviceNotification - Already announced"), 1);
}

// Plug and pull: a phone on another port gets another id, the same port
// the same id; a device that is no phone is never announced; the ids of a
// hub's ports (the configured one too) go with the hub.
TEST(RigRoad, IdsByPortAndTheHubRemovalRules) {
    RigStation station;
    StandardTree t(station.tree);
    auto ftdi = station.tree.AddSinglePhone(t.root1, 1, 0x0403, 0x6001, RigInterface::Serial("COM14", "FT232R"));
    auto second = station.tree.AddCompositePhone(t.inner_hub, 3, kPhoneVendor, kCompositeProduct,
                                                 CompositeFunctions("COM13"));
    station.tree.Unplug(second);
    station.WriteConnectivityConfig("[STATION]\n0.3.4.3=42,\n");
    auto [data, uart] = Started(station);
    (void)ftdi;

    station.PlugIn(second);
    EXPECT_EQ(station.Nth(3), (HostMessage{true, 42, INF_DATA})) << "the configured id of port 0.3.4.3";
    EXPECT_EQ(station.ComPort(42, INF_DATA), "COM13");
    station.Pull(second);
    EXPECT_EQ(station.Nth(4), (HostMessage{false, 42, INF_DATA}));
    station.PlugIn(second);
    EXPECT_EQ(station.Nth(5), (HostMessage{true, 42, INF_DATA})) << "the same port, the same id";

    // The inner hub goes with both phones below it: each removal once.
    station.Pull(t.inner_hub);
    auto messages = station.host.WaitFor(7);
    ASSERT_EQ(messages.size(), 7u);
    for (HostMessage m : {HostMessage{false, data, INF_DATA}, HostMessage{false, 42, INF_DATA}})
        EXPECT_EQ(std::count(messages.begin() + 5, messages.end(), m), 1) << m.device_id;
    // Back: the ids of its ports went with it, the configured one too; the
    // phone at port 2 takes the lowest free id again, the one at port 3 the
    // next.
    station.PlugIn(t.inner_hub);
    messages = station.host.WaitFor(9);
    ASSERT_EQ(messages.size(), 9u);
    std::vector<std::uint32_t> back = {messages[7].device_id, messages[8].device_id};
    std::sort(back.begin(), back.end());
    EXPECT_EQ(back, (std::vector<std::uint32_t>{data, std::max(data, uart) + 1}));
    EXPECT_EQ(station.ComPort(uart, INF_UART), "COM12") << "the phone on the other root hub stayed";
    EXPECT_EQ(station.Log().find("vid_0403"), station.Log().find("vid_0403&pid_6001")) << "no phone";
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(station.host.Messages().size(), 9u);
}

// Each composite phone answers its own COM port, also where Windows' in-box
// CDC driver (usbser, "USB Serial Device") serves a phone's modem and a
// phone with the maker's driver follows it on the hub.
TEST(RigRoad, TwoCompositePhonesEachTheirOwnComPort) {
    RigStation station;
    StandardTree t(station.tree);
    RigInterface inbox = RigInterface::Modem("COM13");
    inbox.description = "USB Serial Device";
    auto first = station.tree.AddCompositePhone(t.inner_hub, 1, kPhoneVendor, kCompositeProduct,
                                                {inbox, RigInterface::Mtp(), RigInterface::Data()});
    ASSERT_EQ(station.Start(), 0u);
    ASSERT_EQ(station.host.WaitFor(3).size(), 3u);
    std::map<std::string, std::string> ports;  // by the modem's instance id
    for (const HostMessage& m : station.host.Messages())
        if (m.type == INF_DATA) ports[station.ComPort(m.device_id, INF_DATA)] += "x";
    EXPECT_EQ(ports, (std::map<std::string, std::string>{{"COM11", "x"}, {"COM13", "x"}}));
    EXPECT_EQ(CountOf(station.Log(), "GetDeviceInstanceIDFromSymlic failed"), 0);
    (void)first;
}

// A read of the modem's interface that waits: AT sent to a modem that has
// gone silent. Answers the read's code once it returns.
std::future<std::uint32_t> WaitingRead(RigStation& station, std::uint32_t id, EKLV_HANDLE h) {
    EXPECT_TRUE(station.modems.Silent("COM12", true));
    EXPECT_EQ(station.lib.WriteData(id, h, "AT\r", 3), 0u);
    auto read = std::async(std::launch::async, [&station, id, h] {
        char buffer[64];
        std::uint32_t size = sizeof buffer;
        return station.lib.ReadData(id, h, buffer, &size);
    });
    std::this_thread::sleep_for(300ms);
    return read;
}

// AT through a blocking and an overlapped open, ERROR passed through, the
// baud rate; then the phone pulled out while a read waits: the read fails
// before its own time-out, the removal is announced, the id is gone.
TEST(RigRoad, AtBothWaysAndAPhonePulledDuringARead) {
    RigStation station;
    StandardTree t(station.tree);
    auto [data, uart] = Started(station);
    ASSERT_NE(data, EKLV_NO_DEVICE);
    LoadedLibrary& lib = station.lib;

    ExpectBlockingAtAndBaud(lib, data, INF_DATA);

    EKLV_HANDLE h = 0;
    ASSERT_EQ(lib.OpenDevice(uart, INF_UART, &h, 0), 0u);
    EXPECT_NE(Transact(lib, uart, h, "AT\r").find("OK"), std::string::npos);
    char reply[64];
    std::uint32_t length = sizeof reply;
    ASSERT_EQ(lib.WriteData(uart, h, "AT+FAIL\r", 8), 0u);
    EXPECT_EQ(lib.ReadData(uart, h, reply, &length), 0u);
    EXPECT_NE(std::string(reply, length).find("ERROR"), std::string::npos);

    auto read = WaitingRead(station, uart, h);
    station.Pull(t.single);
    ASSERT_EQ(read.wait_for(7s), std::future_status::ready) << "before the read's own 8-second time-out";
    EXPECT_EQ(read.get(), 5u);
    EXPECT_EQ(station.Nth(3), (HostMessage{false, uart, INF_UART}));
    EXPECT_NE(lib.WriteData(uart, h, "AT\r", 3), 0u);
    EXPECT_TRUE(Eventually([&] { return station.Product(uart) == "result 3"; }));
    EXPECT_EQ(station.ComPort(data, INF_DATA), "COM11") << "the other phone stays";
}

// EKLVCloseDevice from another host thread while a read waits on the
// overlapped interface: the read answers 5 at once, not after its own
// 8 s time-out, and the interface opens and talks again. (A blocking read
// is cancelled through CancelIoEx and CancelSynchronousIo, which Windows'
// serial drivers honour and Wine 8's serial ports do not: there the close
// waits its 2 s for the read and then closes the handle under it.)
TEST(RigRoad, CloseWakesAWaitingRead) {
    RigStation station;
    StandardTree t(station.tree);
    const std::uint32_t uart = Started(station).second;
    ASSERT_NE(uart, EKLV_NO_DEVICE);
    LoadedLibrary& lib = station.lib;
    EKLV_HANDLE h = 0;
    ASSERT_EQ(lib.OpenDevice(uart, INF_UART, &h, 0), 0u);
    auto read = WaitingRead(station, uart, h);
    EXPECT_EQ(lib.CloseDevice(uart, INF_UART), 0u);
    ASSERT_EQ(read.wait_for(3s), std::future_status::ready) << "the close ends the read";
    EXPECT_EQ(read.get(), 5u);
    ASSERT_TRUE(station.modems.Silent("COM12", false));
    ASSERT_EQ(lib.OpenDevice(uart, INF_UART, &h, 0), 0u);
    EXPECT_NE(Transact(lib, uart, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_EQ(lib.CloseDevice(uart, INF_UART), 0u);
}

// EKLVUninitialize after traffic releases everything: every registration
// unregistered, every hub handle closed, no handle closed twice, and the
// process's handles back to their count before EKLVInitialize.
TEST(RigRoad, UninitializeReleasesEverything) {
    RigStation station;
    StandardTree t(station.tree);
    DWORD before = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        auto [data, uart] = Started(station, 2 * round);
        EKLV_HANDLE h = 0;
        ASSERT_EQ(station.lib.OpenDevice(data, INF_DATA, &h, 0), 0u);
        EXPECT_NE(Transact(station.lib, data, h, "AT\r").find("OK"), std::string::npos);
        ASSERT_EQ(station.lib.OpenDevice(uart, INF_UART, &h, 1), 0u);
        EXPECT_NE(Transact(station.lib, uart, h, "AT\r").find("OK"), std::string::npos);
        EXPECT_EQ(station.Stop(), 0u);
        EXPECT_EQ(station.tree.Registrations(), 0);
        EXPECT_EQ(station.tree.OpenHubHandles(), 0);
        EXPECT_EQ(station.tree.FailedCloses(), 0);
        DWORD after = 0;
        EXPECT_TRUE(Eventually([&] {
            ::GetProcessHandleCount(::GetCurrentProcess(), &after);
            return after <= before;
        })) << after << " handles, " << before << " before";
    }
}

}  // namespace
}  // namespace eklv::test
