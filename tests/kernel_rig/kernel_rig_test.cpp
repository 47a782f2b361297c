// The library and eklvctl on Linux's own USB stack, inside the rig's guest:
// phones are configfs gadgets on dummy_hcd seen through cdc_acm, the FTDI is
// qemu's usb-serial seen through ftdi_sio, and the uevents are the kernel's.
#include <gtest/gtest.h>

#include <libudev.h>
#include <poll.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "e2e/e2e_helpers.h"
#include "kernel_rig/kernel_rig_support.h"

namespace eklv::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kFtdiTty = "/dev/ttyUSB0";

GadgetSetup Phone(std::uint16_t pid, const std::string& product, const std::string& serial) {
    GadgetSetup setup;
    setup.product_id = pid;
    setup.product = product;
    setup.serial = serial;
    return setup;
}

// Waits until the host window has n messages (the start-up scan under
// software emulation takes seconds).
std::vector<HostMessage> WaitMessages(HostWindow& host, std::size_t n, int seconds = 60) {
    std::vector<HostMessage> m;
    for (int i = 0; i < seconds / 10 && (m = host.WaitFor(n)).size() < n; ++i) {
    }
    return m;
}

// eklvctl's command line with the library copy of station.
std::string Eklvctl(const LoadedLibrary& station) {
    return std::string(std::getenv("EKLVCTL_PATH")) + " --library " + station.File(TempFolder::kLibraryName);
}

std::string Text(LoadedLibrary& lib, std::uint32_t id, bool com_port, std::uint32_t type = INF_DATA) {
    EKLVString s;
    EKLVStringInit(&s);
    std::uint32_t r = com_port ? lib.GetComPort(id, type, &s) : lib.GetProductStringDescriptor(id, &s);
    std::string text = r == 0 ? EKLVStringGet(&s) : "result " + std::to_string(r);
    EKLVStringFree(&s);
    return text;
}

// The defect this rig was built to catch: with several phones present at
// start, eklvctl paired only the first announcement with its block, so
// every later interface came out without name, port and product id.
TEST(KernelRig, EklvctlWithSeveralPhonesPresentAtStart) {
    ServedPhone a("eklvctl_a", Phone(0x2001, "Norvanta Phone A", "A001"));
    ServedPhone b("eklvctl_b", Phone(0x2002, "Norvanta Phone B", "B001"));
    ASSERT_TRUE(a.phone.ok() && b.phone.ok() && a.phone.Plug(0) && b.phone.Plug(1));
    ASSERT_TRUE(WaitForPaths({"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM2", "/dev/ttyACM3", kFtdiTty}, 60s));
    SharedConfig shared;
    LoadedLibrary station(RigIni());  // the copy eklvctl loads
    const std::string eklvctl = Eklvctl(station);

    CommandResult list = RunCommand(eklvctl + " list --json --settle 5000");
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(CountOf(list.output, "\"device_id\""), 3) << list.output;
    EXPECT_EQ(CountOf(list.output, "\"name\":\"\\\\\\\\?\\\\usb#vid_"), 5) << list.output;
    EXPECT_EQ(CountOf(list.output, "\"port\":\"\""), 0) << list.output;
    EXPECT_EQ(CountOf(list.output, "\"product_id\":\"\""), 0) << list.output;
    for (const char* text : {"Norvanta Phone A", "Norvanta Phone B", "pid_2001", "pid_2002", "pid_6001",
                             "\"port\":\"1-1\"", "\"port\":\"2-1\"", "ttyUSB0"})
        EXPECT_NE(list.output.find(text), std::string::npos) << text << " in " << list.output;

    CommandResult watch = RunCommand(eklvctl + " watch --count 5 --duration 60");
    EXPECT_EQ(watch.status, 0) << watch.output;
    EXPECT_EQ(CountOf(watch.output, "  arrival  "), 5) << watch.output;
    EXPECT_EQ(CountOf(watch.output, "  port "), 5) << watch.output;

    std::size_t at_a = list.output.rfind("\"device_id\":", list.output.find("Norvanta Phone A"));
    ASSERT_NE(at_a, std::string::npos) << list.output;
    const std::string id_a = std::to_string(std::atoi(list.output.c_str() + at_a + 12));
    CommandResult at = RunCommand(eklvctl + " at " + id_a + " AT ATI --settle 5000");
    EXPECT_EQ(at.status, 0) << at.output;
    EXPECT_EQ(CountOf(at.output, "OK"), 2) << at.output;
    CommandResult at_sync = RunCommand(eklvctl + " at " + id_a + " AT+FAIL --sync --timeout 10 --settle 5000");
    EXPECT_EQ(at_sync.status, 8) << at_sync.output;
    EXPECT_NE(at_sync.output.find("ERROR"), std::string::npos) << at_sync.output;
    CommandResult info = RunCommand(eklvctl + " info " + id_a + " --json --settle 5000");
    EXPECT_EQ(info.status, 0) << info.output;
    for (const char* text : {"Norvanta Phone A", "\"com_port\":\"ttyACM", "\"port\":\"1-1\""})
        EXPECT_NE(info.output.find(text), std::string::npos) << text << " in " << info.output;
}

// The road of phones through the exported functions: start-up scan, plug,
// AT both ways, names, pull-outs while in use, ids by port, a gadget no
// type matches, shutdown and restart.
TEST(KernelRig, LibraryOnTheKernelsUsbStack) {
    ASSERT_GE(KernelPhone::UdcCount(), 3);
    ServedPhone a("road_a", Phone(0x2001, "Norvanta Phone A", "A002"));
    ServedPhone b("road_b", Phone(0x2002, "Norvanta Phone B", "B002"));
    ASSERT_TRUE(a.phone.Plug(0));
    ASSERT_TRUE(WaitForPaths({"/dev/ttyACM1", kFtdiTty}, 60s));
    SharedConfig shared;
    LoadedLibrary lib(VerboseLogIni(RigIni()));
    ASSERT_TRUE(lib.ok());
    HostWindow host;
    const int threads_before = ThreadCount();
    EKLVInitParams params = HostParams(host.hwnd());
    ASSERT_EQ(lib.Initialize(&params), 0u);

    // Start-up scan: the phone's two ACM functions and the FTDI.
    auto messages = WaitMessages(host, 3);
    ASSERT_EQ(messages.size(), 3u);
    std::uint32_t id_a = EKLV_NO_DEVICE, id_ftdi = EKLV_NO_DEVICE;
    for (const auto& m : messages) (m.type == INF_UART ? id_ftdi : id_a) = m.device_id;
    ASSERT_TRUE(id_a != EKLV_NO_DEVICE && id_ftdi != EKLV_NO_DEVICE);
    EXPECT_EQ(Text(lib, id_a, false), "Norvanta Phone A");
    EXPECT_EQ(Text(lib, id_a, true), "ttyACM0");
    EXPECT_EQ(Text(lib, id_ftdi, true, INF_UART), "ttyUSB0");

    // Plug: another port, another id.
    ASSERT_TRUE(b.phone.Plug(1));
    ASSERT_EQ((messages = WaitMessages(host, 5)).size(), 5u);
    const std::uint32_t id_b = messages[3].device_id;
    EXPECT_TRUE(messages[3].arrival && messages[4].arrival);
    EXPECT_EQ(messages[4].device_id, id_b);
    EXPECT_NE(id_b, id_a);
    EXPECT_NE(id_b, id_ftdi);

    // AT blocking (ERROR passing through is checked by eklvctl's at --sync),
    // baud rate.
    ExpectBlockingAtAndBaud(lib, id_a, INF_DATA);

    // AT overlapped: a read answers the whole response.
    EKLV_HANDLE h = 0;
    ASSERT_EQ(lib.OpenDevice(id_b, INF_DATA, &h, 0), 0u);
    EXPECT_NE(Transact(lib, id_b, h, "AT\r").find("OK"), std::string::npos);

    // Pulled out during a read: the read ends with a failure, the removal
    // is announced, the id is no longer attached, and a write fails.
    for (auto& modem : b.modems) modem->SetSilent(true);
    ASSERT_EQ(lib.WriteData(id_b, h, "AT\r", 3), 0u);
    auto read = std::async(std::launch::async, [&] {
        char buffer[64];
        std::uint32_t length = sizeof buffer;
        return lib.ReadData(id_b, h, buffer, &length);
    });
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(b.phone.Pull());
    ASSERT_EQ(read.wait_for(30s), std::future_status::ready);
    EXPECT_NE(read.get(), 0u);
    EXPECT_NE(lib.WriteData(id_b, h, "AT\r", 3), 0u);
    lib.CloseDevice(id_b, INF_DATA);
    // The removal of the interface its session holds is announced (the
    // other one of the same port was announced but never taken in).
    ASSERT_EQ((messages = WaitMessages(host, 6)).size(), 6u);
    EXPECT_EQ(messages[5], (HostMessage{false, id_b, INF_DATA}));
    EXPECT_TRUE(Eventually([&] { return Text(lib, id_b, false) == "result 3"; }));
    EXPECT_NE(lib.OpenDevice(id_b, INF_DATA, &h, 1), 0u);
    for (auto& modem : b.modems) modem->SetSilent(false);

    // Re-plugged into another port: another id (into the same port, the
    // same id: PulledWhileInUse).
    ASSERT_TRUE(b.phone.Plug(2));
    ASSERT_EQ((messages = WaitMessages(host, 8)).size(), 8u);
    EXPECT_TRUE(messages[6].arrival);
    EXPECT_NE(messages[6].device_id, id_b);
    EXPECT_NE(messages[6].device_id, id_a);
    ASSERT_TRUE(b.phone.Pull());
    ASSERT_EQ((messages = WaitMessages(host, 9)).size(), 9u);

    // A phone whose serial function no INF_SETTINGS text matches (a generic
    // serial function without an interface string, bound by the generic
    // usb-serial driver) is not announced; the others stay as they were.
    {
        GadgetSetup odd = Phone(0x2003, "Norvanta Odd", "O001");
        odd.acm_functions = 0;
        odd.mass_storage = false;
        ServedPhone c("road_odd", odd);
        RunCommand("echo 6b4d 2003 > /sys/bus/usb-serial/drivers/generic/new_id");
        ASSERT_TRUE(c.phone.Plug(2));
        ASSERT_TRUE(WaitForPaths({"/dev/ttyUSB1"}, 60s)) << RunCommand("ls /dev; dmesg | tail -20").output;
        EXPECT_TRUE(WaitLog(lib, "Unable to add interface", 1))
            << lib.ReadLogs().substr(lib.ReadLogs().size() > 4000 ? lib.ReadLogs().size() - 4000 : 0);
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(host.Messages().size(), 9u);
        EXPECT_EQ(Text(lib, id_a, false), "Norvanta Phone A");
    }

    // Shutdown stops every library thread; a restart scans again.
    EXPECT_EQ(lib.Uninitialize(), 0u);
    EXPECT_TRUE(WaitThreadCount(threads_before));
    ASSERT_EQ(lib.Initialize(&params), 0u);
    EXPECT_EQ(WaitMessages(host, 12).size(), 12u);
    EXPECT_EQ(lib.Uninitialize(), 0u);
    EXPECT_TRUE(WaitThreadCount(threads_before));
}

// Host-fed mode with the symbolic names the kernel's devices really have,
// by the exported function and by eklvctl.
TEST(KernelRig, HostFedNames) {
    ServedPhone a("fed_a", Phone(0x2001, "Norvanta Phone A", "A003"));
    ASSERT_TRUE(a.phone.Plug(0));
    ASSERT_TRUE(WaitForPaths({"/dev/ttyACM0", kFtdiTty}, 60s));
    const std::string modem = "\\\\?\\usb#vid_6b4d&pid_2001&mi_00#1-1:1.0#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    SharedConfig shared;
    LoadedLibrary lib(VerboseLogIni(RigIni()));
    HostWindow host;
    EKLVInitParams params = HostParams(host.hwnd(), nullptr, false);
    ASSERT_EQ(lib.Initialize(&params), 0u);
    EKLVNotificationBlock block{};
    block.device_id = 7;
    std::snprintf(block.device_name, sizeof block.device_name, "%s", modem.c_str());
    block.class_guid = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    block.event = EKLV_DBT_DEVICEARRIVAL;
    EXPECT_EQ(lib.Notification(&block), 0u);
    ASSERT_EQ(WaitMessages(host, 1), (std::vector<HostMessage>{{true, 7, INF_DATA}}));
    EXPECT_EQ(Text(lib, 7, true), "ttyACM0");
    EXPECT_EQ(Text(lib, 7, false), "Norvanta Phone A");
    EKLV_HANDLE h = 0;
    ASSERT_EQ(lib.OpenDevice(7, INF_DATA, &h, 1), 0u);
    EXPECT_NE(Transact(lib, 7, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_EQ(lib.CloseDevice(7, INF_DATA), 0u);
    EXPECT_EQ(lib.Uninitialize(), 0u);
    CommandResult fed = RunCommand(Eklvctl(lib) + " --host-fed --feed '9=" + modem + "' info 9");
    EXPECT_EQ(fed.status, 0) << fed.output;
    EXPECT_NE(fed.output.find("ttyACM0"), std::string::npos) << fed.output;
}

// Phones pulled while a host thread is inside an open and inside a write,
// and a hub with two FTDIs pulled and plugged back from outside (QMP): each
// call answers a failure the library promises for a vanished device, every
// removal is announced once, ids follow USBConnectivityConfig.ini and the
// port rules, no other phone's announcement is lost, and nothing leaks.
TEST(KernelRig, PulledWhileInUse) {
    ServedPhone a("pull_a", Phone(0x2001, "Norvanta Phone A", "A004"));
    GadgetSetup bare = Phone(0x2002, "Norvanta Phone W", "W004");
    bare.acm_functions = 1;
    bare.mass_storage = bare.generic_serial = false;
    KernelPhone w("pull_w", bare), b("pull_b", bare);  // nobody reads their phone side
    ASSERT_TRUE(a.phone.Plug(0));
    ASSERT_TRUE(WaitForPaths({"/dev/ttyACM1", kFtdiTty}, 60s));
    // The xHCI's root TID is 9, dummy_hcd.1's is 5; a phone there and the
    // second port of hub2 (xHCI port 2) have configured ids.
    SharedConfig shared("[HISTORY]\nwhen=rig\n[ROOT_TID]\npci\\0000:00:05.0=9\npci\\dummy_hcd.1=5\n"
                        "[STATION]\n5.1=50,\n9.2.2=42,\n");
    LoadedLibrary lib(VerboseLogIni(RigIni()));
    HostWindow host;
    const int threads_before = ThreadCount(), files_before = ProcEntries("fd");
    EKLVInitParams params = HostParams(host.hwnd());
    ASSERT_EQ(lib.Initialize(&params), 0u);
    std::size_t seen = 3;
    std::uint32_t id_a = EKLV_NO_DEVICE;
    for (const HostMessage& m : WaitMessages(host, seen))
        if (m.type == INF_DATA) id_a = m.device_id;
    ASSERT_NE(id_a, EKLV_NO_DEVICE);
    auto next = [&](std::size_t n = 1) {
        auto m = WaitMessages(host, seen += n);
        return m.size() >= seen ? std::vector<HostMessage>(m.end() - n, m.end()) : std::vector<HostMessage>{};
    };

    // Pulled at several moments after an open began (under emulation an
    // open takes 100-200 ms, so some pulls land inside it): whatever the
    // open answers, the removal comes once and the phone comes back under
    // its id.
    std::uint32_t id_w = EKLV_NO_DEVICE;
    for (int delay_ms : {0, 50, 100, 150, 200, 300}) {
        ASSERT_TRUE(w.Plug(2));
        auto arrival = next();
        ASSERT_EQ(arrival.size(), 1u);
        if (id_w == EKLV_NO_DEVICE) id_w = arrival[0].device_id;
        EXPECT_EQ(arrival[0], (HostMessage{true, id_w, INF_DATA}));
        auto open = std::async(std::launch::async, [&] {
            EKLV_HANDLE h = 0;
            return lib.OpenDevice(id_w, INF_DATA, &h, 1);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        ASSERT_TRUE(w.Pull());
        ASSERT_EQ(open.wait_for(30s), std::future_status::ready);
        const std::uint32_t code = open.get();
        EXPECT_TRUE(code == 0u || code == 3u || code == 7u) << code << " after " << delay_ms << " ms";
        EXPECT_EQ(next(), (std::vector<HostMessage>{{false, id_w, INF_DATA}}));
        lib.CloseDevice(id_w, INF_DATA);
    }

    // Pulled inside a write of 1 MiB that the phone never takes in.
    ASSERT_TRUE(w.Plug(2));
    EXPECT_EQ(next(), (std::vector<HostMessage>{{true, id_w, INF_DATA}}));
    EKLV_HANDLE h = 0;
    ASSERT_EQ(lib.OpenDevice(id_w, INF_DATA, &h, 1), 0u);
    const std::string bulk(1 << 20, 'x');
    auto write = std::async(std::launch::async, [&] { return lib.WriteData(id_w, h, bulk.data(), 1u << 20); });
    ASSERT_EQ(write.wait_for(1s), std::future_status::timeout);
    ASSERT_TRUE(w.Pull());
    ASSERT_EQ(write.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(write.get(), 4u);
    EXPECT_EQ(next(), (std::vector<HostMessage>{{false, id_w, INF_DATA}}));
    lib.CloseDevice(id_w, INF_DATA);

    // hub2 with FTDIs on its ports 1 and 2, plugged one at a time: the
    // first takes the lowest free id, the second its configured 42.
    ASSERT_TRUE(QemuCommand("device_add driver=usb-hub,id=hub2,bus=xhci.0,port=2"));
    auto plug_ftdi = [&](int port) {
        const std::string n = std::to_string(port);
        EXPECT_TRUE(QemuCommand("device_add driver=usb-serial,id=ftdi" + n + ",chardev=ftdi" + n +
                                ",bus=xhci.0,port=2." + n));
        auto m = next();
        return m.size() == 1 && m[0].arrival && m[0].type == INF_UART ? m[0].device_id : EKLV_NO_DEVICE;
    };
    const std::uint32_t id_1 = plug_ftdi(1);
    ASSERT_NE(id_1, EKLV_NO_DEVICE);
    EXPECT_EQ(plug_ftdi(2), 42u);

    // hub2 pulled while phone B is plugged: each FTDI's removal once, B's
    // arrival with its configured id.
    auto pull = std::async(std::launch::async, [] { return QemuCommand("device_del id=hub2"); });
    ASSERT_TRUE(b.Plug(1));
    ASSERT_TRUE(pull.get());
    auto messages = next(3);
    for (HostMessage m : {HostMessage{false, id_1, INF_UART}, {false, 42, INF_UART}, {true, 50, INF_DATA}})
        EXPECT_EQ(std::count(messages.begin(), messages.end(), m), 1) << m.device_id;

    // Back at the same ports: the first FTDI gets its id again; the ids of
    // hub2's ports went with the hub, the configured 42 too, so the second
    // takes the next free one.
    ASSERT_TRUE(QemuCommand("device_add driver=usb-hub,id=hub2,bus=xhci.0,port=2"));
    EXPECT_EQ(plug_ftdi(1), id_1);
    EXPECT_EQ(plug_ftdi(2), id_1 + 1);

    // The phone that stayed still answers; then nothing is left behind.
    ASSERT_EQ(lib.OpenDevice(id_a, INF_DATA, &h, 1), 0u);
    EXPECT_NE(Transact(lib, id_a, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_EQ(lib.CloseDevice(id_a, INF_DATA), 0u);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(host.Messages().size(), seen);
    EXPECT_TRUE(QemuCommand("device_del id=hub2"));
    EXPECT_EQ(lib.Uninitialize(), 0u);
    EXPECT_TRUE(WaitThreadCount(threads_before));
    EXPECT_EQ(ProcEntries("fd"), files_before);
}

}  // namespace
}  // namespace eklv::test
