// The library under the abuse of a flashing station: a thousand plug and
// unplug cycles, phones pulled out while host threads use them, and host
// threads calling device functions through a burst of arrivals and
// removals. Runs the statically linked core so that its handle table and
// session list can be counted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/e2e_helpers.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/udev_tree.h"
#include "rig/modem_emulator.h"
#include "session/session_mgr.h"
#include "transport/event_pool.h"

namespace eklv {
namespace {

using Clock = std::chrono::steady_clock;
using test::HostMessage;
using test::Station;

// What a leak would grow.
struct Counts {
    int threads, fds;
    std::size_t handles;
    std::uint32_t sessions;
    bool operator==(const Counts&) const = default;
};

void PrintTo(const Counts& c, std::ostream* os) {
    *os << "threads " << c.threads << ", fds " << c.fds << ", handles " << c.handles << ", sessions " << c.sessions;
}

// The events pooled for host reads and writes are kept for the next calls
// (each an eventfd and a handle), not leaked.
Counts Measure() {
    std::uint32_t sessions = 0;
    if (auto* mgr = CKLVSessionMgr::GetInstance()) {
        sessions = mgr->session_list()->Count() + static_cast<std::uint32_t>(mgr->session_list()->TrashCount());
    }
    const std::size_t pooled = EventPool::IdleCount();
    return {test::ThreadCount(), test::FileCount() - static_cast<int>(pooled), pf::lx::ObjectCount() - pooled,
            sessions};
}

// The counts once threads that were winding down have ended: the same in
// two readings 200 ms apart.
Counts Settled() {
    Counts last = Measure(), now = last;
    test::Eventually([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        now = Measure();
        return std::exchange(last, now) == now;
    });
    return now;
}

// Threads and handles of a removal may still be winding down: waits until
// the counts are back where they were.
Counts CountsBackTo(const Counts& before) {
    Counts after = Measure();
    test::Eventually([&] { return (after = Measure()) == before; });
    return after;
}

int Cycles(int otherwise = 1000) {
    const char* text = std::getenv("EKLV_STRESS_CYCLES");
    return text != nullptr ? std::atoi(text) : otherwise;
}

// AT through an interface answers OK.
bool AtOk(std::uint32_t id, EKLV_HANDLE h) {
    test::StaticCore core;
    return test::Transact(core, id, h, "AT\r").find("OK") != std::string::npos;
}

// One read of up to 64 bytes; answers its result code.
std::uint32_t ReadOnce(std::uint32_t id, EKLV_HANDLE h) {
    char buffer[64];
    std::uint32_t length = sizeof buffer;
    return EKLVReadData(id, h, buffer, &length);
}

// umockdev's preload translates paths through state shared by the testbed's
// own changes and the library's sysfs questions; the rig changes the testbed
// under the device tree's lock, as the kernel changes sysfs without tearing
// a read.
template <class Change>
void UnderSysfsLock(Change change) {
    std::lock_guard<std::recursive_mutex> sysfs(pf::lx::DeviceTreeMutex());
    change();
}

TEST(Stress, PlugUnplugCyclesLeakNothing) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    Station station(test::RoadIni("[CORE_LOGGING]\nLevel=0x6\nFlush=1\n"));  // warnings and errors
    const std::uint32_t id = station.IdOf(INF_DATA);
    ASSERT_NE(id, EKLV_NO_DEVICE);

    // One cycle: unplug, plug, and every tenth time a modem session with
    // its reader thread.
    std::size_t seen = 2;
    auto cycle = [&](int i) {
        s.rig.Unplug(s.phone);
        EXPECT_EQ(station.Nth(++seen), (HostMessage{false, id, INF_DATA})) << "cycle " << i;
        s.rig.Plug(s.phone);
        EXPECT_EQ(station.Nth(++seen), (HostMessage{true, id, INF_DATA})) << "cycle " << i;
        if (i % 10 == 0) {
            EKLV_HANDLE h = 0;
            EXPECT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u) << "cycle " << i;
            EXPECT_TRUE(AtOk(id, h)) << "cycle " << i;
            EXPECT_EQ(EKLVCloseDevice(id, INF_DATA), 0u);
        }
    };
    for (int i = 0; i < 3; ++i) cycle(i * 10);  // first-use allocations settle
    ASSERT_FALSE(testing::Test::HasFailure());

    const Counts before = Settled();
    const int cycles = Cycles();
    for (int i = 0; i < cycles && !testing::Test::HasFailure(); ++i) cycle(i);
    EXPECT_EQ(CountsBackTo(before), before) << "after " << cycles << " cycles";
    EXPECT_EQ(before.sessions, 2u);
}

// A phone pulled out while one host thread waits in a read and another
// writes: both return with failure codes instead of hanging, the port is
// released, and the phone works again when it comes back.
TEST(Stress, PhonePulledOutDuringReadWriteAndOpen) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    Station station(test::SelfMonitoringIni());
    const std::uint32_t id = station.IdOf(INF_DATA);

    EKLV_HANDLE h = 0;
    ASSERT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u);
    // Nothing is asked of the modem, so the read waits for an answer that
    // never comes.
    std::atomic<std::uint32_t> read_result{~0u};
    std::atomic<bool> stop_writing{false};
    std::atomic<int> writes{0};
    std::thread reader([&] { read_result = ReadOnce(id, h); });
    std::thread writer([&] {  // no carriage return: the modem has nothing to answer
        while (!stop_writing && EKLVWriteData(id, h, "AT+CSQ", 6) == 0u) ++writes;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto pulled = Clock::now();
    s.rig.Unplug(s.phone);
    EXPECT_EQ(station.Nth(3), (HostMessage{false, id, INF_DATA}));
    reader.join();
    const auto read_returned = Clock::now();
    stop_writing = true;
    writer.join();
    EXPECT_EQ(read_result.load(), 5u) << "the waiting read fails";
    EXPECT_LT(read_returned - pulled, std::chrono::milliseconds(7000)) << "before its own 8-second time-out";
    EXPECT_GT(writes.load(), 0) << "writes went through until the phone was pulled";
    // The host hears of the removal before the session is deleted (the
    // removal's last step): the session is gone shortly after.
    EXPECT_TRUE(test::Eventually([&] { return ReadOnce(id, h) == 3u; })) << "the session is gone";
    EXPECT_EQ(EKLVWriteData(id, h, "AT\r", 3), 3u);
    EXPECT_EQ(EKLVCloseDevice(id, INF_DATA), 3u);

    // Opens racing the phone going and coming: each answers, none hangs.
    std::atomic<bool> stop_opening{false};
    std::set<std::uint32_t> open_codes;
    std::thread opener([&] {
        while (!stop_opening) {
            EKLV_HANDLE handle = 0;
            if (*open_codes.insert(EKLVOpenDevice(id, INF_DATA, &handle, 1)).first == 0u) EKLVCloseDevice(id, INF_DATA);
        }
    });
    std::size_t seen = 3;
    for (int i = 0; i < 10; ++i) {
        i % 2 == 0 ? s.rig.Plug(s.phone) : s.rig.Unplug(s.phone);
        EXPECT_EQ(station.Nth(++seen).arrival, i % 2 == 0) << "change " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop_opening = true;
    opener.join();
    for (std::uint32_t code : open_codes) EXPECT_TRUE(code == 0u || code == 3u || code == 7u) << code;

    // Back in, the modem answers again through the same id.
    s.rig.Plug(s.phone);
    EXPECT_EQ(station.Nth(++seen), (HostMessage{true, id, INF_DATA}));
    ASSERT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u);
    EXPECT_TRUE(AtOk(id, h));
    EXPECT_EQ(EKLVCloseDevice(id, INF_DATA), 0u);
}

// Host threads open, query, write and read every phone they have heard of
// while a hub full of phones is plugged and unplugged: every call answers a
// result code of the interface, and the station ends where it started.
TEST(Stress, HostCallsThroughABurstOfArrivalsAndRemovals) {
    int queue_length = 0;  // how many uevents umockdev's emulated netlink socket can queue
    std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> queue_length;
    if (queue_length < 64)
        GTEST_SKIP() << "umockdev's uevent socket holds only net.unix.max_dgram_qlen messages; "
                        "scripts/test.sh raises it when run as root";
    constexpr int kPhones = 8;
    test::UsbRig rig;
    auto hub = rig.AddHub(rig.AddRootHub(rig.AddPciController(), 1), 1, kPhones);
    std::vector<std::unique_ptr<test::ModemEmulator>> modems;
    for (int port = 1; port <= kPhones; ++port) {
        std::string tty = "ttyACM" + std::to_string(port - 1);
        rig.AddCompositePhone(hub, port, 0x6b4d, 0x2001,
                              {test::RigInterface::Modem(tty), test::RigInterface::Mtp(), test::RigInterface::Data()});
        modems.push_back(std::make_unique<test::ModemEmulator>(rig.TtyFd(tty)));
    }
    rig.Unplug(hub);
    Station station(test::SelfMonitoringIni());
    ASSERT_TRUE(station.started());
    const Counts before = Settled();

    std::atomic<bool> stop{false};
    std::mutex codes_mutex;
    std::set<std::uint32_t> codes;
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t) {
        hosts.emplace_back([&, t] {
            std::set<std::uint32_t> mine;
            for (int round = 0; !stop; ++round) {
                for (const auto& [arrival, id, type] : station.host.Messages()) {
                    if (stop) break;
                    if (!arrival || (id + round + t) % 3 != 0) continue;
                    EKLV_HANDLE h = 0;
                    std::uint32_t open = EKLVOpenDevice(id, INF_DATA, &h, t % 2);
                    mine.insert(open);
                    EKLVString text;
                    EKLVStringInit(&text);
                    mine.insert(EKLVGetComPort(id, INF_DATA, &text));
                    mine.insert(EKLVGetProductStringDescriptor(id, &text));
                    EKLVStringFree(&text);
                    std::uint32_t rate = 115200;
                    mine.insert(EKLVSetBaudRate(id, INF_DATA, &rate));
                    if (open == 0u) {
                        mine.insert(EKLVWriteData(id, h, "AT\r", 3));
                        mine.insert(ReadOnce(id, h));
                        mine.insert(EKLVCloseDevice(id, INF_DATA));
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::lock_guard<std::mutex> lock(codes_mutex);
            codes.insert(mine.begin(), mine.end());
        });
    }

    std::size_t seen = 0;
    for (int change = 0; change < 12; ++change) {
        UnderSysfsLock([&] { change % 2 == 0 ? rig.Plug(hub) : rig.Unplug(hub); });
        seen += kPhones;
        EXPECT_EQ(station.host.WaitFor(seen).size(), seen) << "arrivals or removals of change " << change;
    }
    stop = true;
    for (auto& t : hosts) t.join();

    const std::set<std::uint32_t> allowed = {EKLV_OK,          EKLV_NOT_COMPLETED, EKLV_INVALID_HANDLE,
                                             EKLV_NO_SUCH_DEVICE, EKLV_WRITE_FAILED, EKLV_READ_FAILED,
                                             EKLV_OPEN_FAILED,  EKLV_NO_SUCH_INTERFACE,
                                             EKLV_GET_COMM_STATE_FAILED, EKLV_SET_COMM_STATE_FAILED};
    for (std::uint32_t code : codes) EXPECT_TRUE(allowed.count(code)) << "code " << code;
    EXPECT_TRUE(codes.count(EKLV_OK)) << "some calls reached a phone";
    EXPECT_EQ(CountsBackTo(before), before);
}

// An interface whose type cannot be decided yet is retried between other
// records: a phone plugged meanwhile arrives at once, and the odd interface
// is typed at a later attempt once its description reads as a known one.
TEST(Stress, UndecidedInterfaceHoldsUpNoOtherPhone) {
    test::StandardRig s;
    s.rig.Unplug(s.phone);
    s.rig.SetInterfaceAttribute(s.single, 0, "interface", "Odd Port");
    std::string ini = test::RoadIni();
    const std::string fast = "MODEM_CREATE_RETRY=2\nMODEM_WAIT=100";
    ini.replace(ini.find(fast), fast.size(), "MODEM_CREATE_RETRY=4\nMODEM_WAIT=4000");
    Station station(test::VerboseLogIni(ini));
    ASSERT_TRUE(station.started());
    ASSERT_TRUE(test::Eventually([&] { return test::CountOf(station.Log(), "] Interface undefined") == 1; }));
    UnderSysfsLock([&] { s.rig.Plug(s.phone); });
    const HostMessage phone = station.Nth(1);
    EXPECT_TRUE(phone.arrival && phone.type == INF_DATA);
    EXPECT_EQ(test::CountOf(station.Log(), "Need to check Modem Interface again"), 0) << "the phone waited";
    UnderSysfsLock([&] { s.rig.ChangeInterfaceAttribute(s.single, 0, "interface", "Gadget CDC VCOM Port"); });
    const HostMessage odd = station.Nth(2);
    EXPECT_TRUE(odd.arrival && odd.type == INF_UART);
    const std::string log = station.Log();
    EXPECT_EQ(test::CountOf(log, "Need to check Modem Interface again, time num:1"), 1);
    EXPECT_EQ(test::CountOf(log, "Unable to add interface"), 0);
}

// A phone whose active configuration cannot be read (no
// bConfigurationValue) has its interface strings taken from its first
// configuration, with one warning for each, so its interfaces are typed and
// announced as usual.
TEST(Stress, PhoneWithoutConfigurationValueArrives) {
    test::StandardRig s;
    s.rig.RemoveAttribute(s.single, "bConfigurationValue");
    Station station(test::SelfMonitoringIni());
    std::set<std::uint32_t> types;
    for (const auto& m : station.host.WaitFor(2)) types.insert(m.type);
    EXPECT_EQ(types, (std::set<std::uint32_t>{INF_DATA, INF_UART}));
    EXPECT_EQ(test::CountOf(station.Log(), "configuration value of the device on port 1 unreadable"), 1);
}

// EKLVUninitialize while host threads wait in reads of an overlapped
// interface and feed notifications: the calls inside return at once (a read
// with 5, a notification with 1), nothing is freed under them (run under
// AddressSanitizer and ThreadSanitizer), later calls answer 14 and 1, and
// no host thread keeps a descriptor of the library afterwards.
TEST(Stress, ShutdownWhileHostThreadsAreInside) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    Station station(test::RoadIni("[CORE_LOGGING]\nLevel=0x7\nFlush=1\n"));
    ASSERT_EQ(station.host.WaitFor(2).size(), 2u);
    ASSERT_EQ(station.Stop(), 0u);
    EKLVNotificationBlock block{};
    std::snprintf(block.device_name, sizeof block.device_name, "%s",
                  "\\\\?\\usb#vid_0001&pid_0002#5&1&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    block.event = 0x8000;
    EXPECT_EQ(EKLVNotification(&block), EKLV_NOT_COMPLETED) << "logging it opens the log again";
    const Counts before = Settled();
    std::size_t seen = 2;
    for (int cycle = 0, cycles = Cycles(8); cycle < cycles && !HasFailure(); ++cycle) {
        ASSERT_TRUE(station.Start());
        seen += 2;
        const std::uint32_t id = station.IdOf(INF_DATA, seen);
        EKLV_HANDLE h = 0;
        ASSERT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u);
        EXPECT_TRUE(AtOk(id, h)) << "this thread now has its read wait";

        std::atomic<bool> stop{false};
        std::atomic<int> inside{0};
        std::mutex codes_mutex;
        std::set<std::uint32_t> read_codes, notify_codes;
        std::vector<std::thread> hosts;
        for (int t = 0; t < 4; ++t) {
            hosts.emplace_back([&, t] {
                ++inside;
                for (std::uint32_t code = 0; !stop;) {
                    // Nothing is asked of the modem: the reads wait.
                    code = t == 3 ? EKLVNotification(&block) : ReadOnce(id, h);
                    std::lock_guard<std::mutex> lock(codes_mutex);
                    (t == 3 ? notify_codes : read_codes).insert(code);
                }
            });
        }
        test::Eventually([&] { return inside == 4; });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto stopping = Clock::now();
        EXPECT_EQ(station.Stop(), 0u);
        EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(7000)) << "before the reads' own time-out";
        // A host thread may not have called again between the end of
        // shutdown and here.
        test::Eventually([&] {
            std::lock_guard<std::mutex> lock(codes_mutex);
            return read_codes.count(EKLV_NOT_INITIALIZED) && notify_codes.count(EKLV_NOT_COMPLETED);
        });
        stop = true;
        for (auto& t : hosts) t.join();
        EXPECT_EQ(read_codes, (std::set<std::uint32_t>{EKLV_READ_FAILED, EKLV_NOT_INITIALIZED})) << "cycle " << cycle;
        EXPECT_TRUE(notify_codes.count(EKLV_NOT_COMPLETED)) << "cycle " << cycle;
        EXPECT_EQ(ReadOnce(id, h), EKLV_NOT_INITIALIZED);
        EXPECT_EQ(EKLVNotification(&block), EKLV_NOT_COMPLETED);
    }
    EXPECT_EQ(CountsBackTo(before), before);
}

}  // namespace
}  // namespace eklv
